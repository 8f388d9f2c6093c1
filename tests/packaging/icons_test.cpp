// The generated application icons: one per hicolor size, each showing the tray's 16-cell dial.
#include <gtest/gtest.h>

#include <QColor>
#include <QFileInfo>
#include <QImage>
#include <array>
#include <cmath>
#include <cstdlib>
#include <string>

namespace {

// The tray bitmap, row 0 at the top; the icons must show exactly these cells.
constexpr std::array<const char*, 16> kDial = {
    "......####......", "....##....##....", "...#........#...", "..#..#....#..#..",
    ".#...#....#...#.", ".#....#..#....#.", ".#.....##.....#.", ".#.....##.....#.",
    ".#............#.", ".#............#.", ".#............#.", ".#............#.",
    "..#..........#..", "...#........#...", "....##....##....", "......####......",
};

constexpr int kSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

QImage loadIcon(int size) {
  return QImage(QStringLiteral(GT_ICON_DIR "/%1x%1/apps/glowticker.png").arg(size))
      .convertToFormat(QImage::Format_ARGB32);
}

// The dial colour, read off a filled cell of the largest icon.
QRgb dialColour(const QImage& big) {
  const double s = big.width() / 18.0;
  return big.pixel(int((6 + 1 + 0.5) * s), int((0 + 1 + 0.5) * s));  // row 0, column 6 is filled
}

bool near(QRgb a, QRgb b) {
  return std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) + std::abs(qBlue(a) - qBlue(b)) +
             std::abs(qAlpha(a) - qAlpha(b)) <=
         12;
}

TEST(AppIcons, EverySizeExistsAndIsSquare) {
  for (int size : kSizes) {
    QImage img = loadIcon(size);
    ASSERT_FALSE(img.isNull()) << "missing or unreadable icon at " << size << " px under " GT_ICON_DIR;
    EXPECT_EQ(img.width(), size);
    EXPECT_EQ(img.height(), size);
    EXPECT_TRUE(img.hasAlphaChannel()) << size;
  }
}

TEST(AppIcons, EveryPixelShowsItsCellOfTheTrayBitmap) {
  QImage big = loadIcon(256);
  ASSERT_FALSE(big.isNull());
  const QRgb dial = dialColour(big);
  const QRgb plate = big.pixel(int(8.5 * 256 / 18.0), int(10.5 * 256 / 18.0));  // row 9, column 7 is empty
  ASSERT_EQ(qAlpha(dial), 255) << "the dial is drawn opaque";
  ASSERT_EQ(qAlpha(plate), 255) << "the plate behind the dial is opaque";
  // Visible on light and on dark menus: the dial stands well apart from its plate.
  QColor d = QColor::fromRgb(dial), p = QColor::fromRgb(plate);
  EXPECT_GT(std::abs(d.lightness() - p.lightness()), 100) << "dial and plate too alike";

  for (int size : kSizes) {
    QImage img = loadIcon(size);
    ASSERT_FALSE(img.isNull()) << size;
    // Cells are drawn without antialiasing: a pixel shows the cell that holds its centre. Sizes are even,
    // so no pixel centre lies on a cell border.
    const double cell = size / 18.0;
    int dialPixels = 0, mismatches = 0;
    std::string first;
    for (int y = 0; y < size; ++y) {
      for (int x = 0; x < size; ++x) {
        const int c = int((x + 0.5) / cell) - 1, r = int((y + 0.5) / cell) - 1;
        const bool inBitmap = r >= 0 && r < 16 && c >= 0 && c < 16;
        const bool filled = inBitmap && kDial[r][c] == '#';
        const QRgb px = img.pixel(x, y);
        bool ok;
        dialPixels += filled;
        // Empty cells show the plate, except where a small icon's rounded corner blends into them; the
        // one-cell margin never shows the dial.
        if (filled)
          ok = near(px, dial);
        else
          ok = !near(px, dial) && (!inBitmap || size < 32 || near(px, plate));
        if (!ok && mismatches++ == 0)
          first = "pixel (" + std::to_string(x) + "," + std::to_string(y) + ") in cell row " + std::to_string(r) +
                  " column " + std::to_string(c) + (filled ? " should show the dial" : " should not show the dial");
      }
    }
    EXPECT_EQ(mismatches, 0) << size << " px: first " << first;
    EXPECT_GT(dialPixels, 0) << size << " px";
  }
}

TEST(AppIcons, FilledCellCountMatchesTheBitmapAtLargeSizes) {
  // 50 filled cells, sampled at their centres where a cell is several pixels across.
  for (int size : {48, 64, 128, 256}) {
    QImage img = loadIcon(size);
    ASSERT_FALSE(img.isNull());
    const QRgb dial = dialColour(loadIcon(256));
    const double cell = size / 18.0;
    int filled = 0;
    for (int r = 0; r < 18; ++r)
      for (int c = 0; c < 18; ++c)
        if (near(img.pixel(int((c + 0.5) * cell), int((r + 0.5) * cell)), dial)) ++filled;
    EXPECT_EQ(filled, 50) << size << " px";
  }
}

}  // namespace
