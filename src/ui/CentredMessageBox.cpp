#include "CentredMessageBox.h"

#include <QScreen>
#include <QShowEvent>

#include <algorithm>

namespace korvane {

QPoint centredPosition(const QRect &over, const QSize &size, const QRect &screen)
{
    auto place = [](int start, int length, int inner, int screenStart, int screenLength) {
        const int centred = start + (length - inner) / 2;
        return std::max(screenStart, std::min(centred, screenStart + screenLength - inner));
    };
    return QPoint(place(over.x(), over.width(), size.width(), screen.x(), screen.width()),
                  place(over.y(), over.height(), size.height(), screen.y(), screen.height()));
}

void CentredMessageBox::showEvent(QShowEvent *event)
{
    // Sizes the box to its texts (and places it Qt's way).
    QMessageBox::showEvent(event);
    QWidget *owner = parentWidget() ? parentWidget()->window() : nullptr;
    if (event->spontaneous() || !owner || !owner->isVisible())
        return;
    // The box will get the frame its window has (none without a window
    // manager); positions of windows are those of their frames.
    const QRect over = owner->frameGeometry();
    const QSize frame = over.size() - owner->size();
    QScreen *screen = owner->screen();
    const QRect room = screen ? screen->availableGeometry() : over;
    move(centredPosition(over, size() + frame, room));
}

} // namespace korvane
