#pragma once
// The font the window is drawn in, shipped with the program so that every
// caption fits its control the same way on every machine.

#include <QFont>

namespace korvane {

/// Registers the shipped font (once) and returns its family name.
QString uiFontFamily();

/// The shipped font at the given pixel size (the window's default text is
/// 11 px, which is 8.25 point at 96 dots per inch).
QFont uiFont(int pixelSize = 11, bool bold = false);

/// `font` as it is when `text` fits into `width` pixels; otherwise one
/// pixel size smaller at a time until it fits or reaches smallestPixelSize.
QFont fontToFit(QFont font, const QString &text, int width, int smallestPixelSize);

} // namespace korvane
