#include "ui/WindowPos.h"

#include <QWidget>
#include <cstdint>

#include "app/Profile.h"

namespace {

struct WindowPos {
    int32_t left = 0, top = 0, width = 0, height = 0, maximized = 0;
};

}  // namespace

bool RestoreWindowPos(QWidget& window, const char* section, bool* maximized) {
    WindowPos pos;
    size_t got = 0;
    if (!CXMLProfile::Instance().ReadBinary(section, "WindowPos", &pos, sizeof pos, &got) || got != sizeof pos ||
        pos.width < 200 || pos.height < 150 || pos.width > 16384 || pos.height > 16384)
        return false;
    window.setGeometry(pos.left, pos.top, pos.width, pos.height);
    if (maximized) *maximized = pos.maximized != 0;
    return true;
}

void StoreWindowPos(const QWidget& window, const char* section) {
    const QRect g = window.normalGeometry().isValid() ? window.normalGeometry() : window.geometry();
    WindowPos pos{g.left(), g.top(), g.width(), g.height(), window.isMaximized() ? 1 : 0};
    CXMLProfile::Instance().WriteBinary(section, "WindowPos", &pos, sizeof pos);
}
