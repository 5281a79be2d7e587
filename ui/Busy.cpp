#include "ui/Busy.h"

#include <QPointer>
#include <QWidget>

namespace {
int g_busy = 0;
}

void BusyBegin(QWidget* /*jobWindow*/) { ++g_busy; }

void BusyEnd(QWidget* jobWindow) {
    if (g_busy > 0) --g_busy;
    QWidget* front = jobWindow ? jobWindow->window() : nullptr;
    if (front && front->parentWidget()) front = front->parentWidget()->window();
    if (front && (front->isMinimized() || front->isHidden())) front->showNormal();
}

int BusyCount() { return g_busy; }
