#include "NinePart.h"

#include <QLinearGradient>
#include <QPainter>
#include <QSvgRenderer>
#include <algorithm>

static void InitImageResources()
{
    // The images live in a static library; without this call the linker drops them.
    Q_INIT_RESOURCE(images);
}

QImage LoadRibbonImage(const QString& name, QSize size)
{
    static const bool initialised = (InitImageResources(), true);
    (void)initialised;
    QSvgRenderer renderer(QStringLiteral(":/images/%1.svg").arg(name));
    if (!renderer.isValid())
        return {};
    if (!size.isValid())
        size = renderer.defaultSize();
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    renderer.render(&painter);
    painter.end();
    const QRgb magenta = qRgb(255, 0, 255);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if (qAlpha(line[x]) == 255 && (line[x] & 0xFFFFFF) == (magenta & 0xFFFFFF))
                line[x] = 0;
        }
    }
    return image;
}

QRect StateSlice(const QImage& image, int index, int count)
{
    const int height = image.height() / std::max(count, 1);
    return QRect(0, height * index, image.width(), height);
}

void DrawNinePart(
    QPainter& painter, const QRect& target, const QImage& image, const QRect& source, int margin)
{
    if (image.isNull() || target.isEmpty() || source.isEmpty())
        return;
    // Margins never overlap when the target or the source is smaller than two of them.
    const int mx = std::min({ margin, target.width() / 2, source.width() / 2 });
    const int my = std::min({ margin, target.height() / 2, source.height() / 2 });
    const int sx[4] = { source.left(), source.left() + mx, source.right() + 1 - mx, source.right() + 1 };
    const int sy[4] = { source.top(), source.top() + my, source.bottom() + 1 - my, source.bottom() + 1 };
    const int tx[4] = { target.left(), target.left() + mx, target.right() + 1 - mx, target.right() + 1 };
    const int ty[4] = { target.top(), target.top() + my, target.bottom() + 1 - my, target.bottom() + 1 };
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column) {
            const QRect to(QPoint(tx[column], ty[row]), QPoint(tx[column + 1] - 1, ty[row + 1] - 1));
            const QRect from(QPoint(sx[column], sy[row]), QPoint(sx[column + 1] - 1, sy[row + 1] - 1));
            if (!to.isEmpty() && !from.isEmpty())
                painter.drawImage(to, image, from);
        }
    }
}

void FillVerticalGradient(QPainter& painter, const QRect& rect, const QColor& top, const QColor& bottom)
{
    if (top == bottom) {
        painter.fillRect(rect, top);
        return;
    }
    QLinearGradient gradient(rect.topLeft(), rect.bottomLeft());
    gradient.setColorAt(0, top);
    gradient.setColorAt(1, bottom);
    painter.fillRect(rect, gradient);
}
