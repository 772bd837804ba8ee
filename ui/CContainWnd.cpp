#include "CContainWnd.h"

#include <QFontDatabase>
#include <QPainter>
#include <QPixmap>

const QColor CContainWnd::BackgroundColour(240, 240, 240);
const QColor CContainWnd::LineColour(107, 123, 132);

CContainWnd::CContainWnd(const QString& caption, QWidget* parent)
    : QWidget(parent)
    , title(caption)
{
    titleFont = QFontDatabase::systemFont(QFontDatabase::TitleFont);
    titleFont.setBold(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void CContainWnd::SetTitle(const QString& newTitle)
{
    title = newTitle;
    update();
}

void CContainWnd::SetClient(QWidget* newClient)
{
    client = newClient;
    if (client != nullptr) {
        client->setParent(this);
        client->setGeometry(ClientRect());
        client->show();
    }
}

QRect CContainWnd::ClientRect() const
{
    return rect().adjusted(1, CaptionHeight + 1, -1, -1);
}

void CContainWnd::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    if (client != nullptr)
        client->setGeometry(ClientRect());
}

void CContainWnd::paintEvent(QPaintEvent*)
{
    QPixmap buffer(size() * devicePixelRatioF());
    buffer.setDevicePixelRatio(devicePixelRatioF());
    {
        QPainter painter(&buffer);
        painter.fillRect(rect(), BackgroundColour);
        painter.setPen(LineColour);
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
        QPen dotted(LineColour);
        dotted.setDashPattern({ 1, 3 });
        painter.setPen(dotted);
        painter.drawLine(0, CaptionHeight, width() - 1, CaptionHeight);

        painter.setFont(titleFont);
        painter.setPen(Qt::black);
        const QRect band(5, 0, std::max(0, width() - 10), CaptionHeight);
        const QString shown = painter.fontMetrics().elidedText(title, Qt::ElideRight, band.width());
        painter.drawText(band, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, shown);
    }
    QPainter(this).drawPixmap(0, 0, buffer);
}
