// The ports' tiles in rows of equal columns, as many columns as the width
// holds; the height follows the width, so the grid reflows inside a scroll
// area as the window is resized.
#pragma once

#include <QLayout>
#include <QList>
#include <QWidget>

namespace zq {

class CTileLayout : public QLayout {
public:
    explicit CTileLayout(QWidget* parent = nullptr);
    ~CTileLayout() override;

    void addItem(QLayoutItem* item) override;
    int count() const override { return int(items_.size()); }
    QLayoutItem* itemAt(int index) const override;
    QLayoutItem* takeAt(int index) override;
    QSize sizeHint() const override;
    QSize minimumSize() const override;
    Qt::Orientations expandingDirections() const override { return Qt::Horizontal; }
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    void setGeometry(const QRect& rect) override;

    // Columns the width holds.
    int ColumnsFor(int width) const;

private:
    QSize Cell() const;
    int Arrange(const QRect& rect, bool apply) const;

    QList<QLayoutItem*> items_;
};

// Text that never spills: cut to its first lines, the last one ending in
// "...", the whole text in the tooltip when it was cut.
class CFittedLabel : public QWidget {
public:
    explicit CFittedLabel(int lines, Qt::TextElideMode mode = Qt::ElideRight, QWidget* parent = nullptr);
    void setText(const QString& text);
    const QString& text() const { return text_; }
    // The tooltip while the text is whole.
    void SetHint(const QString& hint);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QStringList Fit(int width, bool* cut = nullptr) const;
    void UpdateToolTip();

    int lines_;
    Qt::TextElideMode mode_;
    QString text_;
    QString hint_;
};

}  // namespace zq
