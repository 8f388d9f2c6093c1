// Writes the application icons for the hicolor theme from the tray icon's own drawing code, so the
// launcher, the package and the tray always show the same dial.
//
//   gen_icons OUTDIR   ->   OUTDIR/<n>x<n>/apps/glowticker.png for every size the desktop asks for
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <cstdio>
#include <optional>

#include "app/menu_icon.h"

namespace {

constexpr int kSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

// The tray's online form is a black mask that the panel tints; a launcher shows images as they are, on
// light and dark menus alike, so the dial is drawn in a warm amber on a dark rounded plate.
const QColor kPlate(0x20, 0x25, 0x2B);
const QColor kDial(0xFF, 0xC2, 0x4A);

QImage appIcon(int size) {
  QImage dial = gt::MenuIcon::render(std::nullopt, size);
  {
    QPainter tint(&dial);
    tint.setCompositionMode(QPainter::CompositionMode_SourceIn);
    tint.fillRect(dial.rect(), kDial);
  }
  QImage out(size, size, QImage::Format_ARGB32_Premultiplied);
  out.fill(Qt::transparent);
  QPainter p(&out);
  p.setRenderHint(QPainter::Antialiasing, true);
  p.setPen(Qt::NoPen);
  p.setBrush(kPlate);
  // Small enough that the corners stay clear of the 16-cell picture.
  const double radius = size * 0.18;
  p.drawRoundedRect(QRectF(0, 0, size, size), radius, radius);
  p.drawImage(0, 0, dial);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  // Only images are drawn: no display is needed, even at build time on a headless machine.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "Usage: gen_icons OUTDIR\n");
    return 2;
  }
  const QString outDir = QString::fromLocal8Bit(argv[1]);
  for (int size : kSizes) {
    const QString dir = QStringLiteral("%1/%2x%2/apps").arg(outDir).arg(size);
    if (!QDir().mkpath(dir)) {
      std::fprintf(stderr, "gen_icons: cannot create %s\n", qPrintable(dir));
      return 1;
    }
    const QString file = dir + QStringLiteral("/glowticker.png");
    if (!appIcon(size).save(file, "PNG")) {
      std::fprintf(stderr, "gen_icons: cannot write %s\n", qPrintable(file));
      return 1;
    }
  }
  return 0;
}
