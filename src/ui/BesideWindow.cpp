#include "BesideWindow.h"

#include <algorithm>

namespace korvane {

namespace {

qint64 area(const QSize &s)
{
    return qint64(std::max(0, s.width())) * std::max(0, s.height());
}

/// r moved, not resized, to lie within `within` (r is not larger).
QRect movedInside(QRect r, const QRect &within)
{
    r.moveLeft(std::clamp(r.left(), within.left(), within.right() + 1 - r.width()));
    r.moveTop(std::clamp(r.top(), within.top(), within.bottom() + 1 - r.height()));
    return r;
}

} // namespace

QRect besideWindow(const QRect &available, const QRect &mainFrame, const QSize &preferred,
                   const QMargins &frameMargins, const QSize &minimum)
{
    // Sizes of the whole frame from here on, none larger than the screen.
    const QSize frame(frameMargins.left() + frameMargins.right(), frameMargins.top() + frameMargins.bottom());
    const QSize most = (preferred.expandedTo(minimum) + frame).boundedTo(available.size());
    const QSize least = (minimum + frame).boundedTo(most);
    const QRect main = mainFrame.intersected(available);
    if (main.isEmpty()) {
        QRect centred(QPoint(), most);
        centred.moveCenter(available.center());
        return movedInside(centred, available).marginsRemoved(frameMargins);
    }

    enum Side { Right, Left, Below, Above };
    struct Free {
        Side side;
        QSize room;
    };
    const Free parts[] = {
        {Right, {available.right() - main.right(), available.height()}},
        {Left, {main.left() - available.left(), available.height()}},
        {Below, {available.width(), available.bottom() - main.bottom()}},
        {Above, {available.width(), main.top() - available.top()}},
    };
    // The part where the window is largest among those that hold the
    // minimum; failing that, the one that holds most of the minimum.
    const auto holds = [&](const Free &f) {
        return f.room.width() >= least.width() && f.room.height() >= least.height();
    };
    const auto score = [&](const Free &f) {
        return holds(f) ? area(most.boundedTo(f.room)) : area(least.boundedTo(f.room));
    };
    const Free *best = &parts[0];
    for (const Free &f : parts) {
        if ((holds(f) != holds(*best)) ? holds(f) : (score(f) > score(*best)))
            best = &f;
    }
    const QSize size = holds(*best) ? most.boundedTo(best->room) : least;

    QRect placed(QPoint(), size);
    const int centredX = main.left() + (main.width() - size.width()) / 2;
    switch (best->side) {
    case Right: placed.moveTopLeft({main.right() + 1, main.top()}); break;
    case Left: placed.moveTopLeft({main.left() - size.width(), main.top()}); break;
    case Below: placed.moveTopLeft({centredX, main.bottom() + 1}); break;
    case Above: placed.moveTopLeft({centredX, main.top() - size.height()}); break;
    }
    return movedInside(placed, available).marginsRemoved(frameMargins);
}

} // namespace korvane
