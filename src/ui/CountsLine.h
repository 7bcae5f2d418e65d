#pragma once
// One line of text made of pieces, drawn so that a change repaints only the
// pieces that changed: below the traffic table, each exchange changes two
// numbers of the counts, not the whole line.

#include <QStringList>
#include <QWidget>

#include <vector>

namespace korvane {

class CountsLine : public QWidget {
public:
    explicit CountsLine(QWidget *parent = nullptr);

    /// The line's pieces, e.g. "Exchanges: ", "12", "   Success: ", "11".
    /// A piece keeps its place while its text fits there; a number piece
    /// (odd index) has room for at least five digits.
    void setPieces(const QStringList &pieces);
    /// The whole line.
    QString text() const { return pieces_.join(QString()); }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    int roomFor(int index, const QString &piece) const;
    bool fits(const QString &piece, int room) const;
    void layOutPieces() const;

    QStringList pieces_;
    // Each piece's place, worked out when first needed (see setPieces).
    mutable std::vector<int> left_, room_;
    mutable bool laidOut_ = false;
    mutable int widestDigit_ = -1;
};

} // namespace korvane
