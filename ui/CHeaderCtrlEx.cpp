#include "CHeaderCtrlEx.h"

#include "NinePart.h"

#include <QMouseEvent>
#include <QPainter>

CHeaderCtrlEx::CHeaderCtrlEx(QWidget* parent)
    : QHeaderView(Qt::Horizontal, parent)
{
    background = LoadRibbonImage(QStringLiteral("header_bg"));
    normalItem = LoadRibbonImage(QStringLiteral("header_item"));
    hotItemImage = LoadRibbonImage(QStringLiteral("header_item_hot"));
    pressedItem = LoadRibbonImage(QStringLiteral("header_item_pressed"));
    setMouseTracking(true);
    setSectionsClickable(true);
    setHighlightSections(false);
    setMinimumHeight(26);
}

void CHeaderCtrlEx::paintEvent(QPaintEvent* event)
{
    {
        QPainter painter(viewport());
        DrawNinePart(painter, viewport()->rect(), background, background.rect(), 2);
    }
    QHeaderView::paintEvent(event);
}

void CHeaderCtrlEx::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const
{
    if (!rect.isValid())
        return;
    const bool isPressed = pressed && logicalIndex == pressedItemIndex;
    const QImage& image = isPressed ? pressedItem : logicalIndex == hotItem ? hotItemImage : normalItem;
    DrawNinePart(*painter, rect, image, image.rect(), 2);

    const QVariant text
        = model() != nullptr ? model()->headerData(logicalIndex, orientation(), Qt::DisplayRole) : QVariant();
    const QVariant alignment = model() != nullptr
        ? model()->headerData(logicalIndex, orientation(), Qt::TextAlignmentRole)
        : QVariant();
    const Qt::Alignment horizontal = alignment.isValid()
        ? Qt::Alignment(alignment.toInt()) & Qt::AlignHorizontal_Mask
        : defaultAlignment() & Qt::AlignHorizontal_Mask;
    QRect textRect = rect.adjusted(9, 0, -6, 0);
    if (isPressed)
        textRect.translate(1, 1);
    painter->save();
    painter->setPen(Qt::black);
    const QString shown
        = painter->fontMetrics().elidedText(text.toString(), Qt::ElideRight, textRect.width());
    painter->drawText(textRect, horizontal | Qt::AlignVCenter | Qt::TextSingleLine, shown);
    painter->restore();
}

void CHeaderCtrlEx::mouseMoveEvent(QMouseEvent* event)
{
    const int item = logicalIndexAt(event->position().toPoint());
    if (item != hotItem) {
        hotItem = item;
        viewport()->update();
    }
    QHeaderView::mouseMoveEvent(event);
}

void CHeaderCtrlEx::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        pressed = true;
        pressedItemIndex = logicalIndexAt(event->position().toPoint());
        viewport()->update();
    }
    QHeaderView::mousePressEvent(event);
}

void CHeaderCtrlEx::mouseReleaseEvent(QMouseEvent* event)
{
    const bool wasPressed = pressed && event->button() == Qt::LeftButton;
    const int item = logicalIndexAt(event->position().toPoint());
    const bool clickedFirst = wasPressed && item == 0 && pressedItemIndex == 0;
    pressed = false;
    pressedItemIndex = -1;
    viewport()->update();
    QHeaderView::mouseReleaseEvent(event);
    if (clickedFirst)
        emit ToggleAllRequested();
}

void CHeaderCtrlEx::leaveEvent(QEvent* event)
{
    hotItem = -1;
    viewport()->update();
    QHeaderView::leaveEvent(event);
}
