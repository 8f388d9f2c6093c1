#pragma once
#include <QColor>
#include <QIcon>
#include <QImage>
#include <optional>

// The tray icon: a 16x16-cell pixel dial in an 18-cell square (one empty cell of margin on each side),
// drawn in code at any size, with an optional dot in the lower right corner.
namespace gt::MenuIcon {

// The dot colour of the offline form.
QColor offlineDotColor();

// Connected: the dial alone, marked as a mask so hosts that tint symbolic icons may recolour it.
QIcon online();
// Unpaired or offline: black dial with a red dot; shown in its own colours.
QIcon offline();

// Pure function of its arguments: a pixelSize x pixelSize transparent image, cell = pixelSize / 18,
// black cells, and when `dot` is given a circle pixelSize / 3 across in the lower right corner, drawn
// over the dial. Also used to generate the desktop icons.
QImage render(std::optional<QColor> dot, int pixelSize);

}  // namespace gt::MenuIcon
