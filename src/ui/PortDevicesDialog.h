#pragma once
// "Port Devices": which device each of COM1 to COM6 opens. Each row offers
// the serial devices present (by stable path, with what identifies them) and
// takes any typed path; an empty row means the port's default device.

#include "serial/PortDevices.h"

#include <QDialog>

#include <array>

class QComboBox;
class QLabel;
class QTimer;

namespace korvane {

class PortDevicesDialog : public QDialog {
    Q_OBJECT
public:
    static constexpr int Ports = 6;

    /// current: the device each port is mapped to now (index 0 is COM1;
    /// empty: the default). source: the devices present, asked again once
    /// a second while the dialog is shown.
    PortDevicesDialog(const QStringList &current, DeviceSource source, QWidget *parent = nullptr);
    ~PortDevicesDialog() override;

    /// The device typed or chosen for each port, blanks trimmed; empty
    /// means the default.
    QStringList devices() const;

    /// Asks the source again and updates the lists where it changed,
    /// keeping what has been typed.
    void refresh();

    /// The combo box of port n (1..6), and the label beside it that says
    /// what the text in it names.
    QComboBox *deviceBox(int port) const { return boxes_[port - 1]; }
    QLabel *deviceInfo(int port) const { return infos_[port - 1]; }

    /// Shown in the list for a row's device that is not present now.
    static QString notPresentMark();

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void fill(int row);
    void describe(int row);

    QStringList current_;
    DeviceSource source_;
    QList<SerialDevice> present_;
    std::array<QComboBox *, Ports> boxes_{};
    std::array<QLabel *, Ports> infos_{};
    QTimer *poll_;
};

} // namespace korvane
