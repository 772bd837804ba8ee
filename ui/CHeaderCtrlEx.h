// The column header of the bid-file list, drawn from our own images: the hot column and the
// pressed column show their own backgrounds, and a click on the first column asks the list to
// tick or clear every row.
#pragma once

#include <QHeaderView>
#include <QImage>

class CHeaderCtrlEx : public QHeaderView
{
    Q_OBJECT

public:
    explicit CHeaderCtrlEx(QWidget* parent = nullptr);

    int HotItem() const { return hotItem; }
    bool IsPressed() const { return pressed; }

signals:
    // The header of the first column was clicked: the list toggles all its check boxes.
    void ToggleAllRequested();

protected:
    void paintEvent(QPaintEvent* event) override;
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QImage background;
    QImage normalItem;
    QImage hotItemImage;
    QImage pressedItem;
    int hotItem = -1;
    int pressedItemIndex = -1;
    bool pressed = false;
};
