#include "app/menu_icon.h"

#include <QIconEngine>
#include <QPainter>
#include <QPixmap>
#include <QStandardPaths>
#include <algorithm>
#include <array>
#include <cmath>

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

// Sizes a tray host commonly asks for. Qt sends those up to 64 px as the StatusNotifierItem pixmaps.
const QList<QSize> kTraySizes = {{16, 16}, {22, 22}, {24, 24}, {32, 32}, {48, 48}, {64, 64}};

QString installedThemeName(const char* name) {
  const QString file = QStringLiteral("icons/hicolor/scalable/status/%1.svg").arg(QLatin1String(name));
  return QStandardPaths::locate(QStandardPaths::GenericDataLocation, file).isEmpty() ? QString()
                                                                                      : QString::fromLatin1(name);
}

// Draws at whatever size the host asks for, so no pixmap is ever scaled by a fraction, and reports the
// theme name that Qt passes on to StatusNotifierItem hosts.
class DialEngine final : public QIconEngine {
 public:
  DialEngine(std::optional<QColor> dot, MenuIcon::Scheme scheme, QString name)
      : dot_(dot), scheme_(scheme), name_(std::move(name)) {}

  void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override {
    const int side = std::min(rect.width(), rect.height());
    painter->drawImage(rect.x() + (rect.width() - side) / 2, rect.y() + (rect.height() - side) / 2,
                       MenuIcon::render(dot_, side, scheme_));
  }
  QPixmap pixmap(const QSize& size, QIcon::Mode, QIcon::State) override {
    const int side = std::min(size.width(), size.height());
    if (side <= 0) return {};
    QImage out(size, QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    QPainter p(&out);
    p.drawImage((size.width() - side) / 2, (size.height() - side) / 2, MenuIcon::render(dot_, side, scheme_));
    p.end();
    return QPixmap::fromImage(std::move(out));
  }
  QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override { return kTraySizes; }
  QString iconName() override { return name_; }
  bool isNull() override { return false; }
  QString key() const override { return QStringLiteral("glowticker-dial"); }
  QIconEngine* clone() const override { return new DialEngine(*this); }

 private:
  std::optional<QColor> dot_;
  MenuIcon::Scheme scheme_;
  QString name_;
};

}  // namespace

namespace MenuIcon {

Colours colours(Scheme scheme) {
  const QColor light(0xF2, 0xF2, 0xF2), dark(0x1C, 0x1C, 0x1C);
  return scheme == Scheme::dark ? Colours{light, dark} : Colours{dark, light};
}

QColor offlineDotColor() { return QColor(0xFF, 0x3B, 0x30); }

bool filled(int row, int col, bool withDot) {
  if (row < 0 || row > 15 || col < 0 || col > 15 || kBitmap[row][col] != '#') return false;
  if (!withDot) return true;
  // Distance from the dot's centre to the nearest point of the cell.
  const double dx = std::clamp(kDotCentre, double(col), col + 1.0) - kDotCentre;
  const double dy = std::clamp(kDotCentre, double(row), row + 1.0) - kDotCentre;
  return std::hypot(dx, dy) >= kDotRadius + 1.0;
}

int cellPixels(int pixelSize) { return std::max(1, pixelSize / 16); }

QImage dialMask(int pixelSize, int cell, bool withDot) {
  if (pixelSize <= 0) return {};
  QImage image(pixelSize, pixelSize, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  const int origin = (pixelSize - 16 * cell) / 2;
  for (int r = 0; r < 16; ++r) {
    for (int c = 0; c < 16; ++c) {
      if (filled(r, c, withDot)) p.fillRect(QRect(origin + c * cell, origin + r * cell, cell, cell), Qt::black);
    }
  }
  return image;
}

QImage render(std::optional<QColor> dot, int pixelSize, Scheme scheme) {
  if (pixelSize <= 0) return {};
  const int cell = cellPixels(pixelSize);
  const QImage mask = dialMask(pixelSize, cell, dot.has_value());
  const Colours col = colours(scheme);
  const auto on = [&](int x, int y) {
    return x >= 0 && y >= 0 && x < pixelSize && y < pixelSize && qAlpha(mask.pixel(x, y)) != 0;
  };
  QImage out(pixelSize, pixelSize, QImage::Format_ARGB32_Premultiplied);
  out.fill(Qt::transparent);
  for (int y = 0; y < pixelSize; ++y) {
    for (int x = 0; x < pixelSize; ++x) {
      if (on(x, y)) {
        out.setPixel(x, y, col.fill.rgba());
        continue;
      }
      bool nextToDial = false;
      for (int dy = -1; dy <= 1 && !nextToDial; ++dy)
        for (int dx = -1; dx <= 1 && !nextToDial; ++dx) nextToDial = on(x + dx, y + dy);
      if (nextToDial) out.setPixel(x, y, col.edge.rgba());
    }
  }
  if (dot) {
    const double origin = (pixelSize - 16 * cell) / 2;
    const QPointF centre(origin + kDotCentre * cell, origin + kDotCentre * cell);
    const double radius = kDotRadius * cell;
    QPainter p(&out);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(Qt::NoPen);
    p.setBrush(col.edge);
    p.drawEllipse(centre, radius + 1, radius + 1);
    p.setBrush(*dot);
    p.drawEllipse(centre, radius, radius);
  }
  return out;
}

QIcon online(Scheme scheme) { return QIcon(new DialEngine(std::nullopt, scheme, installedThemeName(kOnlineName))); }

QIcon offline(Scheme scheme) {
  return QIcon(new DialEngine(offlineDotColor(), scheme, installedThemeName(kOfflineName)));
}

}  // namespace MenuIcon

}  // namespace gt
