#include "PortDevicesDialog.h"

#include "serial/DeviceFolderWatcher.h"
#include "serial/SerialComponent.h"
#include "serial/TcpDevice.h"
#include "settings/modINI.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QEvent>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardItemModel>
#include <QVBoxLayout>

#include <algorithm>

namespace korvane {

namespace {

constexpr int LabelRole = Qt::UserRole + 1;
const QString Dash = QStringLiteral(" \u2014 ");

// The list shows "path — what it is"; choosing an entry puts only the path
// into the field, which an editable combo box takes from the edit role.
class DeviceListModel : public QStandardItemModel {
public:
    using QStandardItemModel::QStandardItemModel;
    QVariant data(const QModelIndex &index, int role) const override
    {
        if (role == Qt::DisplayRole) {
            const QVariant label = QStandardItemModel::data(index, LabelRole);
            if (label.isValid())
                return label;
        }
        return QStandardItemModel::data(index, role);
    }
};

QString described(const SerialDevice &d)
{
    const QString what = identification(d);
    return what.isEmpty() ? QStringLiteral("serial device") : what;
}

} // namespace

QString PortDevicesDialog::notPresentMark()
{
    return QStringLiteral("not present");
}

QString PortDevicesDialog::inUseMark()
{
    return QStringLiteral("in use by KORVANE");
}

PortDevicesDialog::PortDevicesDialog(const QStringList &current, DeviceSource source, const QString &heldDevice,
                                     QWidget *parent, const QStringList &watchedFolders)
    : QDialog(parent)
    , current_(current)
    , source_(std::move(source))
    , held_(heldDevice.trimmed())
    , watcher_(new DeviceFolderWatcher(watchedFolders, this))
{
    setObjectName(QStringLiteral("PortDevicesDialog"));
    setWindowTitle(QStringLiteral("Port Devices"));
    setModal(true);
    while (current_.size() < Ports)
        current_ << QString();

    // Why OK did not close the dialog; hidden until then.
    problem_ = new QLabel(this);
    problem_->setObjectName(QStringLiteral("lblProblem"));
    problem_->setWordWrap(true);
    QPalette warning = problem_->palette();
    warning.setColor(QPalette::WindowText, Qt::darkRed);
    problem_->setPalette(warning);
    problem_->hide();

    auto *intro = new QLabel(QStringLiteral("Choose or type the device each port opens. "
                                            "An empty field means the port's default device."),
                             this);
    intro->setWordWrap(true);
    auto *grid = new QGridLayout;
    for (int row = 0; row < Ports; ++row) {
        const int port = row + 1;
        auto *label = new QLabel(QStringLiteral("COM%1").arg(port), this);
        auto *box = new QComboBox(this);
        box->setObjectName(QStringLiteral("cboDevice%1").arg(port));
        box->setModel(new DeviceListModel(box));
        box->setEditable(true);
        box->setInsertPolicy(QComboBox::NoInsert);
        // No completion: it would finish "/dev/ttyUSB1" as "/dev/ttyUSB10",
        // and ignore case, which device paths do not.
        box->setCompleter(nullptr);
        box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        box->setMinimumContentsLength(40);
        box->lineEdit()->setMaxLength(int(modINI::maxValueLength));
        box->lineEdit()->setPlaceholderText(
            QStringLiteral("%1 (default)").arg(SerialComponent::defaultPortDevice(port)));
        box->view()->setTextElideMode(Qt::ElideMiddle);
        // A refresh waits while the list is open; its hiding lets it go on.
        box->view()->installEventFilter(this);
        label->setBuddy(box);
        auto *info = new QLabel(this);
        info->setObjectName(QStringLiteral("lblDevice%1").arg(port));
        // Long identifications wrap rather than widen the dialog past the screen.
        info->setWordWrap(true);
        info->setMinimumWidth(200);
        info->setMaximumWidth(280);
        boxes_[row] = box;
        infos_[row] = info;
        grid->addWidget(label, row, 0);
        grid->addWidget(box, row, 1);
        grid->addWidget(info, row, 2);
        connect(box, &QComboBox::editTextChanged, this, [this, row] {
            describe(row);
            problem_->hide(); // it spoke of the text before
        });
    }
    grid->setColumnStretch(1, 1);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    refresh_ = buttons->addButton(QStringLiteral("&Refresh"), QDialogButtonBox::ActionRole);
    refresh_->setObjectName(QStringLiteral("btnRefresh"));
    refresh_->setToolTip(QStringLiteral("Look for serial devices again"));
    connect(refresh_, &QPushButton::clicked, this, &PortDevicesDialog::refresh);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addLayout(grid);
    layout->addWidget(problem_);
    layout->addWidget(buttons);

    present_ = withHeld(source_ ? source_() : QList<SerialDevice>());
    heldIndex_ = indexOfDevice(present_, held_);
    for (int row = 0; row < Ports; ++row) {
        fill(row);
        boxes_[row]->setEditText(current_[row]);
        describe(row);
    }

    // Devices come and go while the dialog is open (an adapter plugged in).
    connect(watcher_, &DeviceFolderWatcher::changed, this, &PortDevicesDialog::refresh);
}

PortDevicesDialog::~PortDevicesDialog() = default;

QStringList PortDevicesDialog::devices() const
{
    QStringList out;
    for (const QComboBox *box : boxes_)
        out << box->currentText().trimmed();
    return out;
}

void PortDevicesDialog::refresh()
{
    // Not while a list is open under the operator's pointer (an entry would
    // move under it): once it closes.
    for (const QComboBox *box : boxes_) {
        if (box->view()->isVisible()) {
            refreshWaiting_ = true;
            return;
        }
    }
    refreshWaiting_ = false;
    QList<SerialDevice> now = withHeld(source_ ? source_() : QList<SerialDevice>());
    if (now == present_)
        return;
    present_ = std::move(now);
    heldIndex_ = indexOfDevice(present_, held_);
    for (int row = 0; row < Ports; ++row) {
        QLineEdit *edit = boxes_[row]->lineEdit();
        const QString text = edit->text();
        const int cursor = edit->cursorPosition();
        const int selStart = edit->selectionStart();
        const int selLength = edit->selectedText().size();
        fill(row);
        boxes_[row]->setEditText(text);
        if (selStart >= 0)
            edit->setSelection(selStart, selLength);
        else
            edit->setCursorPosition(cursor);
        describe(row);
    }
}

void PortDevicesDialog::accept()
{
    const QStringList chosen = devices();
    for (int row = 0; row < Ports; ++row) {
        if (const auto character = modINI::firstCharacterNotInWindows1252(chosen[row])) {
            refuse(row, *character);
            return;
        }
    }
    QDialog::accept();
}

void PortDevicesDialog::refuse(int row, char32_t character)
{
    // A lone surrogate cannot be shown: its code alone names it.
    const QString shown = QChar::isSurrogate(character) ? QString() : QString::fromUcs4(&character, 1);
    const QString code = QStringLiteral("U+%1").arg(uint(character), 4, 16, QLatin1Char('0')).toUpper();
    problem_->setText(QStringLiteral("COM%1 cannot be stored: its device holds the character %2, which the "
                                     "settings file (written in Windows-1252) cannot hold; it would be stored "
                                     "as \"?\". Type the device without it, for example by its node in /dev.")
                          .arg(row + 1)
                          .arg(shown.isEmpty() ? code : QStringLiteral("\"%1\" (%2)").arg(shown, code)));
    problem_->show();
    // The operator corrects it where it is: the character selected.
    QLineEdit *edit = boxes_[row]->lineEdit();
    edit->setFocus(Qt::OtherFocusReason);
    const QString text = edit->text();
    const QString wanted = shown.isEmpty() ? QString(QChar(char16_t(character))) : shown;
    const qsizetype at = text.indexOf(wanted);
    if (at >= 0)
        edit->setSelection(int(at), int(wanted.size()));
}

bool PortDevicesDialog::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Hide && refreshWaiting_)
        QMetaObject::invokeMethod(this, &PortDevicesDialog::refresh, Qt::QueuedConnection);
    return QDialog::eventFilter(watched, event);
}

QList<SerialDevice> PortDevicesDialog::withHeld(QList<SerialDevice> devices) const
{
    if (held_.isEmpty() || isTcpDevice(held_) || indexOfDevice(devices, held_) >= 0)
        return devices;
    SerialDevice own;
    own.path = own.systemLocation = resolvedDevicePath(held_);
    const auto at = std::find_if(devices.begin(), devices.end(),
                                 [&](const SerialDevice &d) { return own.path < d.path; });
    devices.insert(at, own);
    return devices;
}

QString PortDevicesDialog::whatIs(qsizetype index) const
{
    const QString what = described(present_[index]);
    return index == heldIndex_ ? what + QStringLiteral(", ") + inUseMark() : what;
}

void PortDevicesDialog::fill(int row)
{
    QComboBox *box = boxes_[row];
    const QSignalBlocker quiet(box);
    box->clear();
    // The row's own device first, also when it is not present now.
    const QString own = current_[row].trimmed();
    const qsizetype ownIndex = indexOfDevice(present_, own);
    if (!own.isEmpty() && (ownIndex < 0 || present_[ownIndex].path != own)) {
        QString label = own;
        QString tip;
        if (ownIndex >= 0) {
            tip = whatIs(ownIndex);
            label += Dash + tip;
        } else if (devicePresence(present_, own) == DevicePresence::Unlisted) {
            tip = QStringLiteral("Not in the system's list of serial devices (for example a pseudo-terminal)");
        } else if (devicePresence(present_, own) == DevicePresence::Server) {
            tip = describeTcpDevice(own);
            label += Dash + tip;
        } else {
            tip = notPresentMark();
            label += Dash + tip;
        }
        box->addItem(own);
        box->setItemData(box->count() - 1, label, LabelRole);
        box->setItemData(box->count() - 1, tip, Qt::ToolTipRole);
    }
    for (qsizetype i = 0; i < present_.size(); ++i) {
        const SerialDevice &d = present_[i];
        const QString what = whatIs(i);
        box->addItem(d.path);
        box->setItemData(box->count() - 1, d.path + Dash + what, LabelRole);
        box->setItemData(box->count() - 1, what, Qt::ToolTipRole);
    }
    box->setCurrentIndex(-1);
    // The popup is as wide as its longest entry.
    int width = 0;
    const QFontMetrics metrics(box->view()->font());
    for (int i = 0; i < box->count(); ++i)
        width = std::max(width, metrics.horizontalAdvance(box->itemData(i, LabelRole).toString()));
    box->view()->setMinimumWidth(width + 40);
}

void PortDevicesDialog::describe(int row)
{
    const QString text = boxes_[row]->currentText().trimmed();
    const QString device = text.isEmpty() ? SerialComponent::defaultPortDevice(row + 1) : text;
    QString what;
    switch (devicePresence(present_, device)) {
    case DevicePresence::Listed:
        what = whatIs(indexOfDevice(present_, device));
        break;
    case DevicePresence::Unlisted:
        what = QStringLiteral("not a listed serial device");
        break;
    case DevicePresence::Absent:
        what = notPresentMark();
        break;
    case DevicePresence::Server:
        what = describeTcpDevice(device);
        // A server connection is held open too.
        if (device == held_)
            what += QStringLiteral(", ") + inUseMark();
        break;
    }
    infos_[row]->setText(text.isEmpty() ? QStringLiteral("default %1: %2").arg(device, what) : what);
    infos_[row]->setToolTip(infos_[row]->text());
    // A long path does not fit the field: its tool tip shows it whole.
    boxes_[row]->setToolTip(text);
}

} // namespace korvane
