#pragma once
// "Find Device": searches the chosen ports, baud rates, data formats and
// slave addresses for the counter/display (DeviceSearch), shows how far it
// has come and what it found, says per port in plain words what it heard,
// and hands the chosen result to the window ("Use").

#include "serial/PortDevices.h"
#include "session/DeviceSearch.h"
#include "settings/modINI.h"

#include <QDialog>

#include <array>

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTableWidget;

namespace korvane {

class PortSession;

class FindDeviceDialog : public QDialog {
    Q_OBJECT
public:
    static constexpr int Ports = 6;

    /// session: the window's port, searched through it and given back at
    /// the end (not owned; must outlive the dialog). slave: the address in
    /// use (0: none). ini: where turning on echo removal is stored.
    FindDeviceDialog(PortSession &session, int slave, const IniFile &ini, DeviceSource source,
                     QWidget *parent = nullptr);
    ~FindDeviceDialog() override;

    /// The search as the choices stand.
    SearchOptions options() const;
    /// The engine (for the component factory in tests).
    DeviceSearch &search() { return search_; }

    /// Starts the search with the choices; nothing when they cannot be searched.
    void startSearch();
    void stopSearch();

    QCheckBox *portBox(int port) const { return ports_[port - 1]; }
    QCheckBox *baudBox(int index) const { return bauds_[index]; }
    QCheckBox *formatBox(int index) const { return formats_[index]; }
    QSpinBox *firstAddress, *lastAddress, *probeWait;
    QCheckBox *stopAtFirst;
    QPushButton *cmdStart, *cmdUse, *cmdEcho;
    QLabel *lblProblem, *lblProbe, *lblTime, *lblWait;
    QProgressBar *progress;
    QTableWidget *results;
    QPlainTextEdit *verdicts;

signals:
    /// A search started (true) or ended (false).
    void searchingChanged(bool searching);
    /// "Use": the window takes this device's port, settings and address.
    void useDevice(const korvane::FoundDevice &device);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void updateStartButton();
    void showProgress(const SearchProgress &p);
    void addResult(const FoundDevice &device);
    void searchEnded(const SearchReport &report);
    void turnOnEchoRemoval();

    PortSession &session_;
    int slave_;
    IniFile ini_;
    DeviceSearch search_;
    std::array<QCheckBox *, Ports> ports_{};
    std::array<QCheckBox *, 3> bauds_{};
    std::array<QCheckBox *, 3> formats_{};
    QList<FoundDevice> found_;
    QList<int> echoPorts_; ///< COM numbers where the last search heard echoes
};

} // namespace korvane
