#pragma once
// Colours of the window taken from the palette, so that a dark desktop theme
// (Breeze Dark, Adwaita-dark) reads as well as a light one: nothing is drawn
// in a fixed light or dark colour; the few state colours (intact green,
// partly overwritten amber, lost red) are kept only as hues and brought to a
// contrast with the background they are drawn on.
#include <QColor>
#include <QPalette>

namespace theme {

// WCAG relative luminance (0 black .. 1 white) and contrast ratio (1 .. 21).
double Luminance(const QColor& c);
double Contrast(const QColor& a, const QColor& b);
// a and b mixed, t = 0 all a, 1 all b (alpha too).
QColor Mix(const QColor& a, const QColor& b, double t);
// `color` as close to itself as it can stay with at least `ratio` contrast on
// `background`: mixed towards white on a dark background, black on a light one.
QColor Readable(const QColor& color, const QColor& background, double ratio);

// The states the window marks in colour.
enum class State { Intact, Part, Lost, Untried };
// The state's colour on the palette's `on` colour (3:1 at least, as for a
// mark); untried is a grey between that colour and the text.
QColor StateColor(const QPalette& palette, State state, QPalette::ColorRole on = QPalette::Base);

// A dark palette after Breeze Dark, every colour group set (disabled text,
// placeholders, links, tooltips): the screenshots' dark pages and the tests
// of the window on a dark desktop use it.
QPalette DarkPalette();

}  // namespace theme
