// Each generated hicolor icon is the tray's dial in one colour on an opaque plate well apart from it.
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <algorithm>
#include <string>

#include "app/menu_icon.h"

namespace {

bool near(QRgb a, QRgb b) {
  return std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) + std::abs(qBlue(a) - qBlue(b)) +
             std::abs(qAlpha(a) - qAlpha(b)) <=
         12;
}

TEST(AppIcons, EverySizeShowsTheTrayDialOnAnOpaquePlate) {
  for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
    const QImage img = QImage(QStringLiteral(GT_ICON_DIR "/%1x%1/apps/glowticker.png").arg(size))
                           .convertToFormat(QImage::Format_ARGB32);
    ASSERT_FALSE(img.isNull()) << "missing or unreadable icon at " << size << " px under " GT_ICON_DIR;
    ASSERT_EQ(img.size(), QSize(size, size));
    const int cellPx = std::max(1, (size + 9) / 18);
    const QImage dial = gt::MenuIcon::dialMask(size, cellPx).convertToFormat(QImage::Format_ARGB32);
    const int origin = (size - 16 * cellPx) / 2;
    const QPoint onDial(origin + 6 * cellPx, origin);  // the top row's first filled cell
    const QRgb amber = img.pixel(onDial);
    const QRgb plate = img.pixel(size * 17 / 36, size * 21 / 36);
    ASSERT_EQ(qAlpha(dial.pixel(onDial)), 255);
    ASSERT_EQ(qAlpha(amber), 255);
    ASSERT_EQ(qAlpha(plate), 255) << size;
    EXPECT_GT(std::abs(QColor::fromRgb(amber).lightness() - QColor::fromRgb(plate).lightness()), 100) << size;
    // Inside the margin every pixel is the dial or the plate, except where a small icon's rounded corner
    // blends into an empty cell.
    const int cell = size / 18 + 1;
    int mismatches = 0;
    std::string first;
    for (int y = cell; y < size - cell; ++y) {
      for (int x = cell; x < size - cell; ++x) {
        const bool filled = qAlpha(dial.pixel(x, y)) == 255;
        const bool ok = filled ? near(img.pixel(x, y), amber)
                               : !near(img.pixel(x, y), amber) && (size < 32 || near(img.pixel(x, y), plate));
        if (!ok && mismatches++ == 0) first = "(" + std::to_string(x) + "," + std::to_string(y) + ")";
      }
    }
    EXPECT_EQ(mismatches, 0) << size << " px: first at " << first;
  }
}

}  // namespace
