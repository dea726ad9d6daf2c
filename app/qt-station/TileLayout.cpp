#include "app/qt-station/TileLayout.h"

#include <QPainter>
#include <QTextLayout>
#include <QWidget>

#include <algorithm>

namespace zq {

CTileLayout::CTileLayout(QWidget* parent) : QLayout(parent) {}

CTileLayout::~CTileLayout()
{
    while (QLayoutItem* item = takeAt(0))
        delete item;
}

void CTileLayout::addItem(QLayoutItem* item) { items_.append(item); }

QLayoutItem* CTileLayout::itemAt(int index) const
{
    return index >= 0 && index < items_.size() ? items_.at(index) : nullptr;
}

QLayoutItem* CTileLayout::takeAt(int index)
{
    return index >= 0 && index < items_.size() ? items_.takeAt(index) : nullptr;
}

// Every tile gets the largest tile's smallest size, so columns line up.
QSize CTileLayout::Cell() const
{
    QSize cell(0, 0);
    for (const QLayoutItem* item : items_)
        if (!item->isEmpty())
            cell = cell.expandedTo(QSize(item->minimumSize().width(), item->sizeHint().height()));
    return cell;
}

int CTileLayout::ColumnsFor(int width) const
{
    const QSize cell = Cell();
    const QMargins m = contentsMargins();
    const int space = std::max(0, spacing());
    const int inner = width - m.left() - m.right();
    if (cell.width() <= 0)
        return 1;
    return std::max(1, (inner + space) / (cell.width() + space));
}

int CTileLayout::Arrange(const QRect& rect, bool apply) const
{
    const QMargins m = contentsMargins();
    const QRect inner = rect.marginsRemoved(m);
    const int space = std::max(0, spacing());
    const QSize cell = Cell();
    const int columns = ColumnsFor(rect.width());
    const int width = std::max(cell.width(), (inner.width() - space * (columns - 1)) / columns);
    int shown = 0;
    for (QLayoutItem* item : items_) {
        if (item->isEmpty())
            continue;
        const int row = shown / columns;
        const int column = shown % columns;
        if (apply)
            item->setGeometry(QRect(inner.x() + column * (width + space), inner.y() + row * (cell.height() + space),
                                    width, cell.height()));
        ++shown;
    }
    const int rows = (shown + columns - 1) / columns;
    return m.top() + m.bottom() + (rows > 0 ? rows * cell.height() + (rows - 1) * space : 0);
}

int CTileLayout::heightForWidth(int width) const { return Arrange(QRect(0, 0, width, 0), false); }

void CTileLayout::setGeometry(const QRect& rect)
{
    QLayout::setGeometry(rect);
    Arrange(rect, true);
}

// One tile: the height a width needs comes from heightForWidth, else a
// scroll area would take the one-column height as the least it may give.
QSize CTileLayout::minimumSize() const
{
    const QMargins m = contentsMargins();
    const QSize cell = Cell();
    return QSize(cell.width() + m.left() + m.right(), cell.height() + m.top() + m.bottom());
}

QSize CTileLayout::sizeHint() const
{
    // Three tiles abreast when the screen allows.
    const QMargins m = contentsMargins();
    const int width = 3 * Cell().width() + 2 * std::max(0, spacing()) + m.left() + m.right();
    return QSize(width, heightForWidth(width));
}

CFittedLabel::CFittedLabel(int lines, Qt::TextElideMode mode, QWidget* parent)
    : QWidget(parent), lines_(std::max(1, lines)), mode_(mode)
{
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
}

void CFittedLabel::setText(const QString& text)
{
    if (text == text_)
        return;
    text_ = text;
    UpdateToolTip();
    update();
}

QSize CFittedLabel::sizeHint() const
{
    const QFontMetrics fm = fontMetrics();
    return QSize(fm.horizontalAdvance(text_), lines_ * fm.lineSpacing());
}

QSize CFittedLabel::minimumSizeHint() const { return QSize(0, lines_ * fontMetrics().lineSpacing()); }

void CFittedLabel::SetHint(const QString& hint)
{
    hint_ = hint;
    UpdateToolTip();
}

void CFittedLabel::UpdateToolTip()
{
    bool cut = false;
    Fit(width(), &cut);
    setToolTip(cut ? text_ : hint_);
}

QStringList CFittedLabel::Fit(int width, bool* cut) const
{
    QStringList out;
    if (cut)
        *cut = false;
    if (text_.isEmpty() || width <= 0)
        return out;
    const QFontMetrics fm = fontMetrics();
    if (lines_ == 1) {
        out << fm.elidedText(text_, mode_, width);
        if (cut)
            *cut = out.back() != text_;
        return out;
    }
    QTextLayout layout(text_, font());
    layout.beginLayout();
    for (;;) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(width);
        if (out.size() == lines_ - 1) {
            // The last line shown takes the rest of the text, cut to fit.
            const QString rest = text_.mid(line.textStart());
            out << fm.elidedText(rest, Qt::ElideRight, width);
            if (cut)
                *cut = out.back() != rest;
            break;
        }
        out << text_.mid(line.textStart(), line.textLength()).trimmed();
    }
    layout.endLayout();
    return out;
}

void CFittedLabel::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    UpdateToolTip();
}

void CFittedLabel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setPen(palette().color(foregroundRole()));
    const QFontMetrics fm = fontMetrics();
    int y = fm.ascent();
    for (const QString& line : Fit(width())) {
        painter.drawText(0, y, line);
        y += fm.lineSpacing();
    }
}

}  // namespace zq
