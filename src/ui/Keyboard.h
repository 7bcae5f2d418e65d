#pragma once
// Keys the window answers besides the usual ones: Enter on a focused button
// and Ctrl+Q. Neither touches the menus, which keep no shortcut keys.

class QAbstractButton;
class QWidget;

namespace korvane {

/// From now on Return or the keypad's Enter presses `button` while it has
/// the focus, as Space does. Its look is unchanged (it does not become an
/// auto-default button, which some styles draw and size differently).
void clickOnEnter(QAbstractButton *button);

/// From now on Ctrl+Q closes `window` the normal way (its close event runs).
void closeOnCtrlQ(QWidget *window);

} // namespace korvane
