#pragma once
// A message box that stands centred over the window it belongs to.

#include <QMessageBox>

namespace korvane {

/// Centred over its parent's window when shown. Qt's own placement assumes
/// a frame of 10 x 40 pixels wherever the window has none, and a box shown
/// before its window was placed went to the screen's top-left.
class CentredMessageBox : public QMessageBox {
public:
    using QMessageBox::QMessageBox;

protected:
    void showEvent(QShowEvent *event) override;
};

/// The top-left corner for a window of `size` centred over `over`, moved
/// inside `screen` where it would stand outside it.
QPoint centredPosition(const QRect &over, const QSize &size, const QRect &screen);

} // namespace korvane
