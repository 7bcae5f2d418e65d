#pragma once
// The traffic window ("KORVANE Traffic"): a separate, non-modal window with
// one row per exchange (the frames in hex, the status word and a note on
// what happened), the counts, the port's state, "Clear" and "Save…".

#include "TrafficModel.h"

#include <QList>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <optional>

class QFileDialog;
class QLabel;
class QPushButton;
class QTableView;

namespace korvane {

class SerialComponent;

class TrafficWindow : public QWidget {
    Q_OBJECT
public:
    /// The size it opens at where the screen has room beside the main
    /// window, and the least it opens at.
    static constexpr QSize PreferredSize{1200, 360};
    static constexpr QSize SmallestSize{400, 150};

    /// port: whose state the window shows (not owned; must outlive it).
    /// parent: the main window, beside which it opens.
    explicit TrafficWindow(const SerialComponent *port, QWidget *parent = nullptr);

    TrafficModel *model() const { return model_; }

    void addRecord(const ExchangeRecord &record);
    void addLateBytes(quint64 number, const QByteArray &bytes, int msAfterSend);
    /// Shows the port's state: "COM1 /dev/ttyUSB0 open, 9600,n,8,2" or "closed".
    void refreshPortState();
    /// Empties the table and the counts; while a request waits, once it ends.
    void clear();
    /// Copies the selected rows to the clipboard as tab-separated text.
    void copySelection();
    /// Asks for a file and writes the whole table to it; says why if that
    /// fails. Neither the file dialog nor the warning waits in an event
    /// loop of its own. While a request waits, this (and the dialog's own
    /// "Save", whose question whether to replace a file does wait in a loop
    /// of its own) is carried out once the request has ended.
    void save();
    /// Writes the whole table to path, atomically (a failed save leaves an
    /// existing file as it was). The reason on failure.
    std::optional<QString> saveTo(const QString &path) const;

    /// A request waits for its reply (true) or has ended (false). "Clear"
    /// and "Save…" chosen meanwhile are held and carried out, in the order
    /// chosen, right after the request has shown its status (what follows
    /// "Save…" once its file dialog has closed).
    void setWaiting(bool waiting);
    bool isWaiting() const { return waiting_; }

    /// The first time it is shown, it opens beside its parent (the main
    /// window), see besideWindow(); from then on where it was last.
    void setVisible(bool visible) override;

    QTableView *table;
    QLabel *lblCounts; ///< "Exchanges: 5   Success: 4   CRC Err: 0   Error: 1"
    QLabel *lblPort;
    QPushButton *cmdClear, *cmdSave;

    /// Where "Save…" asks for the file (default: a file dialog); an empty
    /// path cancels.
    std::function<QString()> chooseSaveFile;
    /// Where a failed save is reported (default: a warning box).
    std::function<void(const QString &text, const QString &reason)> warn;

signals:
    /// The window was shown or hidden (also by its own close button).
    void visibilityChanged(bool visible);

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    enum class Held { Save, Clear, SaveChosen };

    void refreshCounts();
    void saveChosen(const QString &path);
    void placeBesideParent();
    /// True (and `what` noted) while a request waits.
    bool held(Held what);
    void carryOutHeld();

    const SerialComponent *port_;
    TrafficModel *model_;
    bool placed_ = false;
    /// Hidden at the end of the table: shown again, it follows new rows.
    bool followWhileHidden_ = true;
    bool waiting_ = false;
    QList<Held> held_;
    QPointer<QFileDialog> saveDialog_; ///< the last one "Save…" opened
};

} // namespace korvane
