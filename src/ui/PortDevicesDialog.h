#pragma once
// "Port Devices": which device each of COM1 to COM6 opens. Each row offers
// the serial devices present (by stable path, with what identifies them) and
// takes any typed path; an empty row means the port's default device.
//
// The devices present are asked for when the dialog opens, on "Refresh" and
// when a device node comes or goes, never on a timer: asking the system
// opens serial ports to probe them, which pulses the modem lines of ports
// that other programs use.

#include "serial/PortDevices.h"

#include <QDialog>

#include <array>

class QComboBox;
class QLabel;
class QPushButton;

namespace korvane {

class DeviceFolderWatcher;

class PortDevicesDialog : public QDialog {
    Q_OBJECT
public:
    static constexpr int Ports = 6;

    /// current: the device each port is mapped to now (index 0 is COM1;
    /// empty: the default). source: the devices present, asked when the
    /// dialog is made, on "Refresh" and when a name appears in or
    /// disappears from one of watchedFolders. heldDevice: the device of the
    /// port KORVANE has open (empty when none); it is always listed, marked
    /// inUseMark(), also when the source misses it (the system's list
    /// cannot probe a port that is held open).
    PortDevicesDialog(const QStringList &current, DeviceSource source, const QString &heldDevice,
                      QWidget *parent = nullptr, const QStringList &watchedFolders = deviceNodeFolders());
    ~PortDevicesDialog() override;

    /// The device typed or chosen for each port, blanks trimmed; empty
    /// means the default.
    QStringList devices() const;

    /// Asks the source again and updates the lists where it changed,
    /// keeping what has been typed. While a row's list is open under the
    /// operator's pointer it waits until the list closes.
    void refresh();

    /// The combo box of port n (1..6), and the label beside it that says
    /// what the text in it names.
    QComboBox *deviceBox(int port) const { return boxes_[port - 1]; }
    QLabel *deviceInfo(int port) const { return infos_[port - 1]; }
    QPushButton *refreshButton() const { return refresh_; }

    /// Shown in the list for a row's device that is not present now.
    static QString notPresentMark();
    /// Shown for the device of the port KORVANE has open.
    static QString inUseMark();

    /// Closes the dialog with its rows taken, unless a row holds a character
    /// that the settings file cannot hold (it is written in Windows-1252 and
    /// would store "?"): then the dialog stays open, problemLabel() names the
    /// port and the character, and the character is selected in its row.
    void accept() override;
    /// Says why OK did not close the dialog; hidden until then, and again
    /// once a row's text changes.
    QLabel *problemLabel() const { return problem_; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QList<SerialDevice> withHeld(QList<SerialDevice> devices) const;
    QString whatIs(qsizetype index) const;
    void fill(int row);
    void describe(int row);
    void refuse(int row, char32_t character);

    QStringList current_;
    DeviceSource source_;
    QString held_;
    QList<SerialDevice> present_;
    qsizetype heldIndex_ = -1;
    bool refreshWaiting_ = false;
    std::array<QComboBox *, Ports> boxes_{};
    std::array<QLabel *, Ports> infos_{};
    QPushButton *refresh_ = nullptr;
    QLabel *problem_ = nullptr;
    DeviceFolderWatcher *watcher_;
};

} // namespace korvane
