// Each generated hicolor icon is the tray's dial in one colour on an opaque plate well apart from it.
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>

#include "app/menu_icon.h"

namespace {

TEST(AppIcons, EverySizeShowsTheTrayDialOnAnOpaquePlate) {
  auto near = [](QRgb a, QRgb b) {
    return std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) + std::abs(qBlue(a) - qBlue(b)) +
               std::abs(qAlpha(a) - qAlpha(b)) <=
           12;
  };
  for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
    const QImage img = QImage(QStringLiteral(GT_ICON_DIR "/%1x%1/apps/glowticker.png").arg(size))
                           .convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(img.size(), QSize(size, size)) << "missing or unreadable icon under " GT_ICON_DIR;
    const int cell = std::max(1, (size + 9) / 18), origin = (size - 16 * cell) / 2, margin = size / 18 + 1;
    const QImage dial = gt::MenuIcon::dialMask(size, cell);
    // The top row's first filled cell, and a point of the plate inside the dial.
    const QRgb amber = img.pixel(origin + 6 * cell, origin), plate = img.pixel(size * 17 / 36, size * 21 / 36);
    ASSERT_EQ(qAlpha(dial.pixel(origin + 6 * cell, origin)) + qAlpha(amber) + qAlpha(plate), 3 * 255) << size;
    EXPECT_GT(std::abs(QColor(amber).lightness() - QColor(plate).lightness()), 100) << size;
    // Inside the margin every pixel is the dial or the plate, except where a small icon's rounded corner
    // blends into an empty cell.
    int mismatches = 0;
    for (int y = margin; y < size - margin; ++y) {
      for (int x = margin; x < size - margin; ++x) {
        const QRgb p = img.pixel(x, y);
        mismatches +=
            qAlpha(dial.pixel(x, y)) == 255 ? !near(p, amber) : near(p, amber) || (size >= 32 && !near(p, plate));
      }
    }
    EXPECT_EQ(mismatches, 0) << size << " px";
  }
}

}  // namespace
