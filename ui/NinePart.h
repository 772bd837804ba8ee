// Drawing helpers shared by the self-drawn controls: images from the program's resources with
// magenta as the transparent colour, nine-part stretching and vertical gradients.
#pragma once

#include <QColor>
#include <QImage>
#include <QRect>
#include <QString>

class QPainter;

// The image ":/images/<name>.svg" rendered at its own size, or, when size is valid, at that
// size. Pixels of pure magenta RGB(255, 0, 255) become transparent. A missing image is a null
// image, which the drawing helpers skip.
QImage LoadRibbonImage(const QString& name, QSize size = QSize());

// Slice `index` of `count` equal slices stacked vertically in image.
QRect StateSlice(const QImage& image, int index, int count);

// Draws the part `source` of image into target: the corners of `margin` pixels unscaled, the
// edges stretched along their length, the centre stretched both ways.
void DrawNinePart(
    QPainter& painter, const QRect& target, const QImage& image, const QRect& source, int margin);

// Fills rect from top to bottom with a gradient from `top` to `bottom`; a single colour when both
// are equal.
void FillVerticalGradient(QPainter& painter, const QRect& rect, const QColor& top, const QColor& bottom);
