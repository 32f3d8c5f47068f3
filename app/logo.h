// The maker's logo and the program's name colour as the windows show them, on
// a light or a dark palette.
#pragma once

#include <QColor>
#include <QPixmap>

class QPalette;
class QSize;

// Whether the palette draws dark windows (a dark theme).
bool IsDarkPalette(const QPalette& palette);

// The logo scaled to fit size. Its lettering is navy: on a dark palette it
// sits on a light plate of its own so that it stays readable.
QPixmap MakerLogo(const QSize& size, const QPalette& palette);

// The colour wanted on a light palette, or its light counterpart (same hue,
// mirrored lightness) on a dark one.
QColor ReadableOn(const QPalette& palette, const QColor& wanted);
