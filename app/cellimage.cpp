#include "cellimage.h"

#include <QPainter>
#include <QPolygon>
#include <QRect>

int TImageList::Add(const QImage& image) {
    QImage fitted(FSize, QImage::Format_ARGB32);
    fitted.fill(Qt::transparent);
    QPainter p(&fitted);
    p.drawImage(0, 0, image);
    p.end();
    FImages.push_back(std::move(fitted));
    return Count() - 1;
}

const QImage& TImageList::Image(int index) const {
    static const QImage none;
    return index >= 0 && index < Count() ? FImages[static_cast<size_t>(index)] : none;
}

void TImageList::Draw(QPainter& canvas, int x, int y, int index) const {
    const QImage& image = Image(index);
    if (!image.isNull()) canvas.drawImage(x, y, image);
}

namespace {

// A glyph of black strokes, two pixels wide, on a transparent 16 x 16 ground.
// No antialiasing: every pixel is either black or transparent.
QImage Glyph(const std::vector<QPolygon>& strokes) {
    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(QPen(Qt::black, 2, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    for (const QPolygon& stroke : strokes) p.drawPolyline(stroke);
    return image;
}

}  // namespace

TImageList CreateAppIcon() {
    TImageList list(QSize(16, 16));
    QImage blank(16, 16, QImage::Format_ARGB32);
    blank.fill(Qt::transparent);
    for (int i = 0; i <= GrantedImageIndex; ++i) {
        if (i == DeniedImageIndex)
            list.Add(Glyph({QPolygon({QPoint(4, 4), QPoint(11, 11)}),
                            QPolygon({QPoint(11, 4), QPoint(4, 11)})}));
        else if (i == GrantedImageIndex)
            list.Add(Glyph({QPolygon({QPoint(3, 8), QPoint(6, 11), QPoint(12, 4)})}));
        else
            list.Add(blank);
    }
    return list;
}

void DrawBooleanCell(QPainter& canvas, const QRect& rect, bool value, const TImageList& images) {
    const QRect copy = rect;
    DrawCellImage(canvas, copy, images, value ? GrantedImageIndex : DeniedImageIndex);
}

void DrawCellImage(QPainter& canvas, const QRect& rect, const TImageList& images, int index) {
    // The image on white, so that its transparent pixels come out white.
    QImage bitmap(images.Size(), QImage::Format_RGB32);
    bitmap.fill(Qt::white);
    {
        QPainter p(&bitmap);
        images.Draw(p, 0, 0, index);
    }
    const QColor background = canvas.brush().color();
    const QRgb fill = background.rgb();
    const QRgb ink = canvas.pen().color().rgb();
    for (int y = 0; y < bitmap.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(bitmap.scanLine(y));
        for (int x = 0; x < bitmap.width(); ++x) {
            if ((line[x] & 0xFFFFFF) == 0xFFFFFF)
                line[x] = fill;
            else if ((line[x] & 0xFFFFFF) == 0)
                line[x] = ink;
        }
    }
    canvas.save();
    // Rows are one pixel shorter than the glyph and its offset: the grid line
    // below the cell stays.
    canvas.setClipRect(rect, Qt::IntersectClip);
    canvas.fillRect(rect, background);
    const QRect moved = rect.translated(1, 1);
    canvas.drawImage(moved.topLeft(), bitmap);
    canvas.restore();
}
