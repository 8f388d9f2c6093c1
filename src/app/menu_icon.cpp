#include "app/menu_icon.h"

#include <QPainter>
#include <QPixmap>
#include <array>

namespace gt {
namespace {

constexpr std::array<const char*, 16> kBitmap = {
    "......####......",  //
    "....##....##....",  //
    "...#........#...",  //
    "..#..#....#..#..",  //
    ".#...#....#...#.",  //
    ".#....#..#....#.",  //
    ".#.....##.....#.",  //
    ".#.....##.....#.",  //
    ".#............#.",  //
    ".#............#.",  //
    ".#............#.",  //
    ".#............#.",  //
    "..#..........#..",  //
    "...#........#...",  //
    "....##....##....",  //
    "......####......",  //
};

// Sizes a tray host or a launcher commonly asks for; 18 and 36 are the icon's 1x and 2x.
constexpr std::array<int, 10> kIconSizes = {16, 18, 22, 24, 32, 36, 48, 64, 128, 256};

QIcon makeIcon(std::optional<QColor> dot, bool mask) {
  QIcon icon;
  for (int size : kIconSizes) icon.addPixmap(QPixmap::fromImage(MenuIcon::render(dot, size)));
  icon.setIsMask(mask);
  return icon;
}

}  // namespace

namespace MenuIcon {

QColor offlineDotColor() { return QColor(0xFF, 0x3B, 0x30); }

QImage render(std::optional<QColor> dot, int pixelSize) {
  if (pixelSize <= 0) return {};
  QImage image(pixelSize, pixelSize, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setPen(Qt::NoPen);
  const double w = pixelSize;
  const double s = w / 18.0;
  // Cells are axis-aligned squares: no antialiasing, so whole-pixel cells stay crisp.
  p.setRenderHint(QPainter::Antialiasing, false);
  p.setBrush(Qt::black);
  for (int r = 0; r < 16; ++r) {
    for (int c = 0; c < 16; ++c) {
      if (kBitmap[r][c] == '#') p.drawRect(QRectF(s * (c + 1), s * (r + 1), s, s));
    }
  }
  if (dot) {
    // 6 of the icon's 18 units across, touching the bottom and right edges.
    const double d = w / 3.0;
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setBrush(*dot);
    p.drawEllipse(QRectF(w - d, w - d, d, d));
  }
  return image;
}

QIcon online() { return makeIcon(std::nullopt, true); }

QIcon offline() { return makeIcon(offlineDotColor(), false); }

}  // namespace MenuIcon

}  // namespace gt
