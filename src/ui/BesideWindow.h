#pragma once
// Where a second window opens beside the main window: in the largest free
// part of the screen, so that it covers none of the main window.

#include <QMargins>
#include <QRect>
#include <QSize>

namespace korvane {

/// The client geometry (frame excluded, as QWidget::setGeometry takes it)
/// for a window that would like `preferred` and needs at least `minimum`,
/// with a window frame of `frameMargins`, beside `mainFrame` (the main
/// window's frame) on the `available` part of the screen.
///
/// Of the free parts right of, left of, below and above the main window,
/// the one where the window can be largest (at most `preferred`) wins; on
/// a tie, that order decides. The window stands next to the main window,
/// level with its top (right or left) or centred on it (below or above),
/// and inside `available`. Where no free part holds `minimum`, the one
/// that holds most of it is taken and the window gets `minimum`, moved onto
/// the screen: it then overlaps the main window, as little as that part
/// allows. With no main window on the screen, the window is centred on it.
QRect besideWindow(const QRect &available, const QRect &mainFrame, const QSize &preferred,
                   const QMargins &frameMargins, const QSize &minimum);

} // namespace korvane
