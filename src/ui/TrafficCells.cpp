#include "TrafficCells.h"

#include <QFontMetrics>
#include <QFontMetricsF>
#include <QPainter>
#include <QTableView>

#include <algorithm>
#include <cmath>

namespace korvane {

namespace {

/// The cell's rectangle as the table leaves room for it: without the
/// table's own grid it reaches over the grid line, drawn by the table.
QRect cellRect(const QStyleOptionViewItem &option)
{
    const auto *view = qobject_cast<const QTableView *>(option.widget);
    return view && !view->showGrid() ? option.rect.adjusted(0, 0, -1, -1) : option.rect;
}

/// Where the text goes: the cell less a small margin at either side.
QRect roomIn(const QRect &cell)
{
    return cell.adjusted(3, 0, -3, 0);
}

/// The text in place, clipped to the room: what every copy must equal.
void drawInPlace(QPainter *painter, const QRect &cell, const QString &text, const QFont &font, const QColor &ink)
{
    const QRect room = roomIn(cell);
    if (room.width() <= 0)
        return;
    const QFontMetrics fm(font, painter->device());
    painter->save();
    painter->setClipRect(room);
    painter->setFont(font);
    painter->setPen(ink);
    painter->drawText(QPoint(room.left(), room.top() + (room.height() - fm.height()) / 2 + fm.ascent()), text);
    painter->restore();
}

} // namespace

void TrafficCellDelegate::useFont(const QFont &font, const QWidget *widget) const
{
    // Measured, and copies drawn, at the resolution of the view's screen.
    const int dpiX = widget ? widget->logicalDpiX() : 0;
    const int dpiY = widget ? widget->logicalDpiY() : 0;
    if (measured_ && font == font_ && dpiX == dpiX_ && dpiY == dpiY_)
        return;
    measured_ = true;
    font_ = font;
    dpiX_ = dpiX;
    dpiY_ = dpiY;
    pieces_.clear();
    seen_.clear();
    const QFontMetricsF fm = widget ? QFontMetricsF(font, widget) : QFontMetricsF(font);
    for (int c = 0; c < int(advances_.size()); ++c)
        advances_[std::size_t(c)] = fm.horizontalAdvance(QChar(c));
    const QFontMetrics whole = widget ? QFontMetrics(font, widget) : QFontMetrics(font);
    ascent_ = whole.ascent();
    lineHeight_ = whole.height();
}

bool TrafficCellDelegate::copiable(const QString &text) const
{
    // Positions are the sum of the characters' advances only where the
    // text is neither shaped nor kerned: plain Latin-1 in a font that asks
    // for no shaping (the table's), no control characters.
    if (!(font_.styleStrategy() & QFont::PreferNoShaping))
        return false;
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() >= 0x20 && c.unicode() < 0x100; });
}

QString TrafficCellDelegate::shownPart(const QString &text, qreal width) const
{
    qreal x = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c >= advances_.size())
            return text; // not measured here
        if (x >= width)
            return text.left(i + 1);
        x += advances_[c];
    }
    return text;
}

void TrafficCellDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const QRect cell = cellRect(option);
    if (cell.isEmpty())
        return;
    const bool selected = option.state & QStyle::State_Selected;
    const QPalette::ColorGroup group = !(option.state & QStyle::State_Enabled) ? QPalette::Disabled
        : (option.state & QStyle::State_Active)                                 ? QPalette::Normal
                                                                                : QPalette::Inactive;
    const QBrush background = option.palette.brush(group, selected ? QPalette::Highlight : QPalette::Base);
    const QColor ink = option.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text);
    const QString text = index.data(Qt::DisplayRole).toString();
    if (selected)
        painter->fillRect(cell, background);

    // Copies are made at whole device pixels, on a background of one colour.
    const qreal ratio = option.widget ? option.widget->devicePixelRatioF() : 0;
    useFont(option.font, option.widget);
    const Repeats repeats = repeats_.value(index.column(), Repeats::WholeCells);
    if (!reuse_ || !option.widget || ratio != std::round(ratio) || ratio < 1 || background.style() != Qt::SolidPattern
        || !painter->transform().isIdentity() || !copiable(text)) {
        drawInPlace(painter, cell, text, option.font, ink);
        return;
    }
    const QRect room = roomIn(cell);
    if (room.width() <= 0)
        return;
    const QString shown = shownPart(text, room.width());
    if (repeats == Repeats::Never) {
        drawInPlace(painter, cell, shown, option.font, ink);
        return;
    }
    if (repeats == Repeats::Words) {
        drawWords(painter, cell, shown, background.color(), ink);
        return;
    }
    // A whole cell is kept once its look has come a second time: many
    // texts written (numbers, frames) come only once.
    const Piece whole{shown, cell.height(), room.width(), 0, background.color().rgba(), ink.rgba()};
    const size_t look = qHash(whole);
    if (!seen_.contains(look)) {
        if (seen_.size() >= 4096)
            seen_.clear();
        seen_.insert(look);
        drawWords(painter, cell, shown, background.color(), ink);
        return;
    }
    painter->save();
    painter->setClipRect(room);
    painter->drawImage(QPoint(room.left(), cell.top()), piece(whole, ratio));
    painter->restore();
}

void TrafficCellDelegate::drawWords(QPainter *painter, const QRect &cell, const QString &text,
                                    const QColor &background, const QColor &ink) const
{
    const QRect room = roomIn(cell);
    const qreal ratio = painter->device()->devicePixelRatioF();
    const auto advance = [this](QChar c) { return advances_[c.unicode()]; };
    painter->save();
    painter->setClipRect(room);
    qreal x = room.left();
    qsizetype i = 0;
    while (i < text.size() && x <= room.right()) {
        if (text[i] == QLatin1Char(' ')) {
            x += advance(text[i++]);
            continue;
        }
        qsizetype end = i;
        qreal width = 0;
        while (end < text.size() && text[end] != QLatin1Char(' '))
            width += advance(text[end++]);
        // The word's image reaches to where the next word starts (its
        // trailing space and any ink hanging over it), the last one a pixel
        // past its end.
        qreal next = x + width;
        for (qsizetype s = end; s < text.size() && text[s] == QLatin1Char(' '); ++s)
            next += advance(text[s]);
        const int left = int(std::floor(x));
        const int right = end < text.size() ? int(std::floor(next)) : int(std::ceil(x + width)) + 1;
        const Piece word{text.mid(i, end - i), cell.height(), std::max(1, right - left),
                         int(std::lround((x - left) * 64)), background.rgba(), ink.rgba()};
        painter->drawImage(QPoint(left, cell.top()), piece(word, ratio));
        x += width;
        i = end;
    }
    painter->restore();
}

const QImage &TrafficCellDelegate::piece(const Piece &key, qreal ratio) const
{
    if (const QImage *image = pieces_.object(key))
        return *image;
    QImage image(QSize(key.width, key.height) * ratio, QImage::Format_RGB32);
    image.setDevicePixelRatio(ratio);
    image.setDotsPerMeterX(qRound(dpiX_ / 0.0254));
    image.setDotsPerMeterY(qRound(dpiY_ / 0.0254));
    image.fill(QColor::fromRgba(key.background));
    {
        QPainter painter(&image);
        painter.setFont(font_);
        painter.setPen(QColor::fromRgba(key.ink));
        painter.drawText(QPointF(key.offset64 / 64.0, (key.height - lineHeight_) / 2 + ascent_), key.text);
    }
    const qsizetype cost = std::max<qsizetype>(1, image.sizeInBytes() / 1024);
    if (cost > pieces_.maxCost()) {
        // Larger than all that is kept (a column made very wide): used once.
        oversized_ = std::move(image);
        return oversized_;
    }
    auto *kept = new QImage(std::move(image));
    pieces_.insert(key, kept, cost); // kept: it fits, older pieces make room
    return *kept;
}

} // namespace korvane
