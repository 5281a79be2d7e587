// A window's stored placement (the WindowPos key of its layout section):
// left, top, width, height and the maximised flag, five signed 32-bit values.
#pragma once

class QWidget;

// Applies the stored placement to window; false (the window untouched) when
// the section has none or it is not plausible. maximized tells the flag.
bool RestoreWindowPos(QWidget& window, const char* section, bool* maximized = nullptr);
void StoreWindowPos(const QWidget& window, const char* section);
