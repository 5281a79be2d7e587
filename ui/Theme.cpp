#include "ui/Theme.h"

#include <algorithm>
#include <cmath>

namespace theme {

namespace {

double Linear(double channel) {
    return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
}

// The hue of each state as drawn on a light base.
QColor BaseHue(State state) {
    switch (state) {
        case State::Intact: return QColor(0x43, 0xa0, 0x47);
        case State::Part: return QColor(0xf0, 0xa0, 0x20);
        case State::Lost: return QColor(0xd9, 0x30, 0x25);
        case State::Untried: break;
    }
    return QColor(0x9a, 0x9a, 0x9a);
}

}  // namespace

double Luminance(const QColor& c) {
    const QColor rgb = c.toRgb();
    return 0.2126 * Linear(rgb.redF()) + 0.7152 * Linear(rgb.greenF()) + 0.0722 * Linear(rgb.blueF());
}

double Contrast(const QColor& a, const QColor& b) {
    const double la = Luminance(a), lb = Luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor Mix(const QColor& a, const QColor& b, double t) {
    t = std::clamp(t, 0.0, 1.0);
    const QColor x = a.toRgb(), y = b.toRgb();
    return QColor::fromRgbF(float(x.redF() + (y.redF() - x.redF()) * t), float(x.greenF() + (y.greenF() - x.greenF()) * t),
                            float(x.blueF() + (y.blueF() - x.blueF()) * t),
                            float(x.alphaF() + (y.alphaF() - x.alphaF()) * t));
}

QColor Readable(const QColor& color, const QColor& background, double ratio) {
    const QColor towards = Luminance(background) < 0.2 ? QColor(Qt::white) : QColor(Qt::black);
    // Twenty steps: the least mix that reaches the ratio (full white or
    // black reaches any ratio a colour can have on that background).
    for (int step = 0; step <= 20; ++step) {
        const QColor c = Mix(color, towards, step / 20.0);
        if (Contrast(c, background) >= ratio) return c;
    }
    return towards;
}

QColor StateColor(const QPalette& palette, State state, QPalette::ColorRole on) {
    const QColor base = palette.color(on);
    if (state == State::Untried) return Readable(Mix(base, palette.color(QPalette::Text), 0.45), base, 3.0);
    return Readable(BaseHue(state), base, 3.0);
}

QPalette DarkPalette() {
    const QColor window(0x20, 0x23, 0x26), base(0x14, 0x16, 0x18), alternate(0x1d, 0x1f, 0x22);
    const QColor button(0x29, 0x2c, 0x30), text(0xfc, 0xfc, 0xfc), disabledText(0x7f, 0x83, 0x88);
    QPalette p(text, button, QColor(0x40, 0x46, 0x4c), QColor(0x10, 0x11, 0x12), QColor(0x33, 0x37, 0x3b), text,
               QColor(0xff, 0xff, 0xff), base, window);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::AlternateBase, alternate);
    p.setColor(QPalette::Midlight, QColor(0x33, 0x37, 0x3b));
    p.setColor(QPalette::Shadow, QColor(0x0a, 0x0b, 0x0c));
    p.setColor(QPalette::Highlight, QColor(0x3d, 0xae, 0xe9));
    p.setColor(QPalette::HighlightedText, text);
    p.setColor(QPalette::Link, QColor(0x1d, 0x99, 0xf3));
    p.setColor(QPalette::LinkVisited, QColor(0x9b, 0x59, 0xb6));
    p.setColor(QPalette::ToolTipBase, button);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, QColor(0xa1, 0xa9, 0xb1));
    for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, disabledText);
    p.setColor(QPalette::Disabled, QPalette::Highlight, QColor(0x2a, 0x2e, 0x32));
    p.setColor(QPalette::Disabled, QPalette::HighlightedText, disabledText);
    p.setColor(QPalette::Disabled, QPalette::PlaceholderText, disabledText);
    p.setColor(QPalette::Disabled, QPalette::Base, window);
    return p;
}

}  // namespace theme
