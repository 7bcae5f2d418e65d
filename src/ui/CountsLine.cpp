#include "CountsLine.h"

#include <QEvent>
#include <QPaintEvent>
#include <QPainter>

#include <algorithm>

namespace korvane {

CountsLine::CountsLine(QWidget *parent)
    : QWidget(parent)
{
    // Every pixel is painted here, so nothing behind it is painted again.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

int CountsLine::roomFor(int index, const QString &piece) const
{
    const int width = fontMetrics().horizontalAdvance(piece);
    return index % 2 == 1 ? std::max(width, fontMetrics().horizontalAdvance(QStringLiteral("00000"))) : width;
}

bool CountsLine::fits(const QString &piece, int room) const
{
    // A count is digits; no digit is wider than the widest one, so most
    // counts fit without measuring them (measuring shapes the text).
    if (widestDigit_ < 0) {
        widestDigit_ = 0;
        for (char16_t d = u'0'; d <= u'9'; ++d)
            widestDigit_ = std::max(widestDigit_, fontMetrics().horizontalAdvance(QChar(d)));
    }
    const bool digits = std::all_of(piece.begin(), piece.end(), [](QChar c) { return c.isDigit() && c.unicode() < 128; });
    if (digits && piece.size() * widestDigit_ <= room)
        return true;
    return fontMetrics().horizontalAdvance(piece) <= room;
}

void CountsLine::layOutPieces() const
{
    left_.assign(std::size_t(pieces_.size()), 0);
    room_.assign(std::size_t(pieces_.size()), 0);
    int x = 0;
    for (int i = 0; i < pieces_.size(); ++i) {
        left_[std::size_t(i)] = x;
        room_[std::size_t(i)] = roomFor(i, pieces_[i]);
        x += room_[std::size_t(i)];
    }
    laidOut_ = true;
}

void CountsLine::setPieces(const QStringList &pieces)
{
    if (pieces == pieces_)
        return;
    setAccessibleName(pieces.join(QString()));
    // Measuring text costs as much as drawing it: a hidden line is laid out
    // when it is next shown, and a shown one measures only what changed.
    if (!laidOut_ || !isVisible() || pieces.size() != pieces_.size()) {
        pieces_ = pieces;
        laidOut_ = false;
        update();
        return;
    }
    for (int i = 0; i < pieces.size(); ++i) {
        if (pieces[i] == pieces_[i])
            continue;
        if (!fits(pieces[i], room_[std::size_t(i)])) {
            pieces_ = pieces;
            laidOut_ = false;
            update();
            return;
        }
        update(QRect(left_[std::size_t(i)], 0, room_[std::size_t(i)], height()));
    }
    pieces_ = pieces;
}

QSize CountsLine::sizeHint() const
{
    if (!laidOut_)
        layOutPieces();
    const int width = left_.empty() ? 0 : left_.back() + room_.back();
    return QSize(width, fontMetrics().height());
}

QSize CountsLine::minimumSizeHint() const
{
    return QSize(0, fontMetrics().height());
}

void CountsLine::paintEvent(QPaintEvent *event)
{
    if (!laidOut_)
        layOutPieces();
    QPainter painter(this);
    painter.fillRect(event->rect(), palette().window());
    painter.setPen(palette().color(QPalette::WindowText));
    const QFontMetrics fm = fontMetrics();
    const int baseline = (height() - fm.height()) / 2 + fm.ascent();
    for (int i = 0; i < pieces_.size(); ++i) {
        const QRect place(left_[std::size_t(i)], 0, room_[std::size_t(i)], height());
        if (event->region().intersects(place))
            painter.drawText(QPoint(place.left(), baseline), pieces_[i]);
    }
}

void CountsLine::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        laidOut_ = false;
        widestDigit_ = -1;
        updateGeometry();
        update();
    }
}

} // namespace korvane
