#include "logo.h"

#include <QPainter>
#include <QPalette>
#include <QSize>

bool IsDarkPalette(const QPalette& palette) {
    return palette.color(QPalette::Window).lightness() < 128;
}

QPixmap MakerLogo(const QSize& size, const QPalette& palette) {
    const QPixmap logo(QStringLiteral(":/images/logo.png"));
    if (logo.isNull() || size.isEmpty()) return logo;
    if (!IsDarkPalette(palette))
        return logo.scaled(size, Qt::KeepAspectRatio, Qt::SmoothTransformation);

    constexpr int Margin = 3;
    const QPixmap inner = logo.scaled(size.shrunkBy({Margin, Margin, Margin, Margin}),
                                      Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QPixmap plate(inner.size().grownBy({Margin, Margin, Margin, Margin}));
    plate.fill(Qt::transparent);
    QPainter painter(&plate);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xF4, 0xF4, 0xF4));
    painter.drawRoundedRect(QRectF(plate.rect()), Margin, Margin);
    painter.drawPixmap(Margin, Margin, inner);
    return plate;
}

QColor ReadableOn(const QPalette& palette, const QColor& wanted) {
    if (!IsDarkPalette(palette)) return wanted;
    return QColor::fromHslF(wanted.hslHueF(), wanted.hslSaturationF(), 1.0f - wanted.lightnessF());
}
