// Writes the hicolor theme's icons from the tray icon's own cell table, so the launcher, the package and
// the tray always show the same dial.
//
//   gen_icons OUTDIR   ->   OUTDIR/<n>x<n>/apps/glowticker.png for every size the desktop asks for, and
//                           OUTDIR/scalable/status/glowticker-{connected,offline}-symbolic.svg
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <algorithm>
#include <cstdio>
#include <optional>

#include "app/menu_icon.h"

namespace {

constexpr int kSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

// A launcher shows images as they are, on light and dark menus alike, so the dial is drawn in a warm
// amber on a dark rounded plate.
const QColor kPlate(0x20, 0x25, 0x2B);
const QColor kDial(0xFF, 0xC2, 0x4A);

QImage appIcon(int size) {
  // Whole-pixel cells, the dial about 16/18 of the plate (it may reach the plate's straight edges).
  QImage dial = gt::MenuIcon::dialMask(size, std::max(1, (size + 9) / 18));
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

// The symbolic form: one path of the dial's cells, and the offline form's dot. Plasma colours the classes
// from its stylesheet, GTK's loader recolours the path to the panel's text colour and `error` red.
QByteArray symbolicSvg(bool withDot) {
  QByteArray path;
  for (int r = 0; r < 16; ++r) {
    for (int c = 0; c < 16;) {
      int n = 0;
      while (c + n < 16 && gt::MenuIcon::filled(r, c + n, withDot)) ++n;
      if (n > 0) path += QStringLiteral("M%1 %2h%3v1h-%3z").arg(c).arg(r).arg(n).toLatin1();
      c += n > 0 ? n : 1;
    }
  }
  QByteArray svg =
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"16\" height=\"16\" viewBox=\"0 0 16 16\">\n"
      "<style type=\"text/css\" id=\"current-color-scheme\">.ColorScheme-Text{color:#bebebe}"
      ".ColorScheme-NegativeText{color:#ff3b30}</style>\n"
      "<path class=\"ColorScheme-Text\" fill=\"currentColor\" d=\"" + path + "\"/>\n";
  if (withDot) {
    svg += QStringLiteral("<circle class=\"ColorScheme-NegativeText error\" fill=\"currentColor\" cx=\"%1\" "
                          "cy=\"%1\" r=\"%2\"/>\n")
               .arg(gt::MenuIcon::kDotCentre)
               .arg(gt::MenuIcon::kDotRadius)
               .toLatin1();
  }
  return svg + "</svg>\n";
}

bool writeSymbolic(const QString& outDir) {
  const QString dir = outDir + QStringLiteral("/scalable/status");
  if (!QDir().mkpath(dir)) return false;
  for (bool withDot : {false, true}) {
    QFile file(dir + QLatin1Char('/') +
               QLatin1String(withDot ? gt::MenuIcon::kOfflineName : gt::MenuIcon::kOnlineName) +
               QStringLiteral(".svg"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(symbolicSvg(withDot)) < 0) return false;
  }
  return true;
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
  if (!writeSymbolic(outDir)) {
    std::fprintf(stderr, "gen_icons: cannot write the symbolic icons under %s\n", qPrintable(outDir));
    return 1;
  }
  return 0;
}
