#pragma once
#include <QColor>
#include <QIcon>
#include <QImage>
#include <optional>

// The tray icon: a 16x16-cell pixel dial with an optional dot in its lower right corner. Two forms:
// online (the dial alone) and offline (with a red dot, also used while unpaired).
//
// A panel may be any colour, and only some hosts recolour icons: StatusNotifierItem hosts get the name
// of a symbolic theme icon (shipped in hicolor, recoloured to the panel by Plasma and GNOME), and every
// host also gets pixmaps, drawn here in a colour that follows the desktop's colour scheme and with a
// one-pixel edge in the opposite colour, so the dial shows on a panel of any colour.
namespace gt::MenuIcon {

enum class Scheme { light, dark };

// Dial colour and edge colour for a scheme: dark strokes on a light desktop, light ones on a dark one.
struct Colours {
  QColor fill;
  QColor edge;
};
Colours colours(Scheme scheme);

// The dot colour of the offline form.
QColor offlineDotColor();

// Theme names of the two forms: symbolic SVGs under share/icons/hicolor/scalable/status.
inline constexpr const char* kOnlineName = "glowticker-connected-symbolic";
inline constexpr const char* kOfflineName = "glowticker-offline-symbolic";

// Icons for the tray: pixmaps drawn at the size asked for, and the theme name when that icon is
// installed where the desktop looks (XDG_DATA_DIRS), so a host never gets a name it cannot find.
QIcon online(Scheme scheme);
QIcon offline(Scheme scheme);

// The dot, in cells of the 16-cell grid: a circle of radius 3 centred at (13, 13). Cells of the dial
// within one cell of it are left out of the offline form, so the dot stands apart from the ring.
inline constexpr double kDotCentre = 13.0;
inline constexpr double kDotRadius = 3.0;

// Whether the cell at (row, col) of the 16x16 grid is drawn, in the offline form when `withDot`.
bool filled(int row, int col, bool withDot);

// Whole pixels per cell at `pixelSize`: the largest whole number that fits the 16 cells, at least 1, so
// every stroke is whole pixels wide at 16, 22, 24 and 32 px alike.
int cellPixels(int pixelSize);

// The dial's cells, `cell` pixels each, centred in a pixelSize square: black on transparent.
QImage dialMask(int pixelSize, int cell, bool withDot = false);

// Pure function of its arguments: the tray drawing at pixelSize, cells of cellPixels(pixelSize), in the
// scheme's fill colour, every empty pixel next to a filled one in the edge colour, and when `dot` is
// given the dot in that colour with an edge ring of its own.
QImage render(std::optional<QColor> dot, int pixelSize, Scheme scheme);

}  // namespace gt::MenuIcon
