// The generated application icons: one per hicolor size, each showing the tray's 16-cell dial.
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <array>
#include <string>

namespace {

// The tray bitmap, row 0 at the top; the icons must show exactly these cells inside a one-cell margin.
constexpr std::array<const char*, 16> kDial = {
    "......####......", "....##....##....", "...#........#...", "..#..#....#..#..",
    ".#...#....#...#.", ".#....#..#....#.", ".#.....##.....#.", ".#.....##.....#.",
    ".#............#.", ".#............#.", ".#............#.", ".#............#.",
    "..#..........#..", "...#........#...", "....##....##....", "......####......",
};

QImage loadIcon(int size) {
  return QImage(QStringLiteral(GT_ICON_DIR "/%1x%1/apps/glowticker.png").arg(size))
      .convertToFormat(QImage::Format_ARGB32);
}

bool near(QRgb a, QRgb b) {
  return std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) + std::abs(qBlue(a) - qBlue(b)) +
             std::abs(qAlpha(a) - qAlpha(b)) <=
         12;
}

TEST(AppIcons, EverySizeExistsAndEveryPixelShowsItsCellOfTheTrayBitmap) {
  QImage big = loadIcon(256);
  ASSERT_FALSE(big.isNull()) << "missing or unreadable icon under " GT_ICON_DIR;
  const QRgb dial = big.pixel(int(7.5 * 256 / 18), int(1.5 * 256 / 18));    // row 0, column 6 is filled
  const QRgb plate = big.pixel(int(8.5 * 256 / 18), int(10.5 * 256 / 18));  // row 9, column 7 is empty
  ASSERT_EQ(qAlpha(dial), 255) << "the dial is drawn opaque";
  ASSERT_EQ(qAlpha(plate), 255) << "the plate behind the dial is opaque";
  // Visible on light and on dark menus: the dial stands well apart from its plate.
  EXPECT_GT(std::abs(QColor::fromRgb(dial).lightness() - QColor::fromRgb(plate).lightness()), 100);

  for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
    QImage img = loadIcon(size);
    ASSERT_FALSE(img.isNull()) << "missing or unreadable icon at " << size << " px under " GT_ICON_DIR;
    EXPECT_EQ(img.width(), size);
    EXPECT_EQ(img.height(), size);
    EXPECT_TRUE(img.hasAlphaChannel()) << size;
    // Cells are drawn without antialiasing: a pixel shows the cell that holds its centre. Sizes are even,
    // so no pixel centre lies on a cell border.
    const double cell = size / 18.0;
    int dialPixels = 0, mismatches = 0;
    std::string first;
    for (int y = 0; y < size; ++y) {
      for (int x = 0; x < size; ++x) {
        const int c = int((x + 0.5) / cell) - 1, r = int((y + 0.5) / cell) - 1;
        const bool inBitmap = r >= 0 && r < 16 && c >= 0 && c < 16, filled = inBitmap && kDial[r][c] == '#';
        const QRgb px = img.pixel(x, y);
        dialPixels += filled;
        // Empty cells show the plate, except where a small icon's rounded corner blends into them.
        bool ok = filled ? near(px, dial) : !near(px, dial) && (!inBitmap || size < 32 || near(px, plate));
        if (!ok && mismatches++ == 0)
          first = "pixel (" + std::to_string(x) + "," + std::to_string(y) + ") in cell row " + std::to_string(r) +
                  " column " + std::to_string(c) + (filled ? " should show the dial" : " should not show the dial");
      }
    }
    EXPECT_EQ(mismatches, 0) << size << " px: first " << first;
    EXPECT_GT(dialPixels, 0) << size << " px";
  }
}

}  // namespace
