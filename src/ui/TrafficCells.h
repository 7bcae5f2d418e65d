#pragma once
// How the traffic table draws its cells: one line of plain text each, cut
// at the cell's edge (a note's tool tip shows it whole).
//
// A shown traffic window draws a row per exchange, and drawing text glyph by
// glyph is most of what that costs. Most of a row repeats earlier rows: the
// port, the command, the frames, the status word, and the words of a note.
// So the pixels drawn for such a text are kept and copied where it appears
// again: a whole cell once its text has been seen before, otherwise word by
// word. The copies are the pixels the text would get if drawn in place (the
// same glyphs at the same sub-pixel positions on the same background);
// setReuseDrawings(false) draws everything in place, to compare.

#include <QCache>
#include <QFont>
#include <QHash>
#include <QImage>
#include <QSet>
#include <QStyledItemDelegate>

#include <array>

namespace korvane {

class TrafficCellDelegate : public QStyledItemDelegate {
public:
    /// How a column's texts repeat: as whole cells (the default), only
    /// word by word (notes), or not at all (times).
    enum class Repeats { WholeCells, Words, Never };
    explicit TrafficCellDelegate(QObject *parent = nullptr) : QStyledItemDelegate(parent) {}
    void setRepeats(int column, Repeats repeats) { repeats_[column] = repeats; }

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;

    /// Off: every cell is drawn in place, whole, as the reference.
    void setReuseDrawings(bool on) { reuse_ = on; }

    /// The text up to the first character that starts at or beyond the
    /// width, and that one: those after it would be laid out only to be
    /// clipped away. Needs advances(font) for the same font first.
    QString shownPart(const QString &text, qreal width) const;

private:
    struct Piece {
        QString text;
        int height;
        int width;     // of the image
        int offset64;  // where the text starts in it, in 1/64 pixel
        QRgb background, ink;
        bool operator==(const Piece &o) const = default;
        friend size_t qHash(const Piece &p, size_t seed = 0)
        {
            return qHashMulti(seed, p.text, p.height, p.width, p.offset64, p.background, p.ink);
        }
    };

    void useFont(const QFont &font, const QWidget *widget) const;
    bool copiable(const QString &text) const;
    void drawWords(QPainter *painter, const QRect &cell, const QString &text, const QColor &background,
                   const QColor &ink) const;
    const QImage &piece(const Piece &key, qreal ratio) const;

    QHash<int, Repeats> repeats_;
    bool reuse_ = true;
    mutable QFont font_;
    mutable int dpiX_ = 0, dpiY_ = 0;
    mutable bool measured_ = false;
    mutable std::array<qreal, 256> advances_{};
    mutable int ascent_ = 0, lineHeight_ = 0;
    mutable QCache<Piece, QImage> pieces_{512};  // kB: the words, frames and cells that repeat
    mutable QSet<size_t> seen_;             // cells drawn once, by their look
    mutable QImage oversized_;
};

} // namespace korvane
