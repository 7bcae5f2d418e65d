#include "Keyboard.h"

#include <QAbstractButton>
#include <QKeyEvent>
#include <QShortcut>

namespace korvane {

namespace {

class EnterClicks : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::KeyPress)
            return false;
        auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter)
            return false;
        if (key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
            return false;
        auto *button = static_cast<QAbstractButton *>(watched);
        // A held key repeats; like Space, it presses the button once.
        if (!key->isAutoRepeat() && button->isEnabled())
            button->click();
        return true;
    }
};

} // namespace

void clickOnEnter(QAbstractButton *button)
{
    button->installEventFilter(new EnterClicks(button));
}

void closeOnCtrlQ(QWidget *window)
{
    auto *quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), window);
    quit->setContext(Qt::WindowShortcut);
    QObject::connect(quit, &QShortcut::activated, window, &QWidget::close);
}

} // namespace korvane
