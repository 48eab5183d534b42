#include "SnapshotStamp.h"

#include <QFontMetrics>
#include <QPainter>

namespace {

constexpr QRgb StampOutline = 0x333333;
constexpr QRgb StampFill = 0xCCCCCC;

} // namespace

QFont StampFont() {
    QFont font(QStringLiteral("Sans Serif"), 8);
    font.setStyleHint(QFont::SansSerif);
    font.setStyleStrategy(QFont::NoAntialias);
    return font;
}

void DrawStamp(QImage& picture, const QString& text, int frameHeight) {
    QPainter painter(&picture);
    const QFont font = StampFont();
    painter.setFont(font);
    const QFontMetrics metrics(font, &picture);
    // The height of "Cy" as it is drawn: some faces reserve descent below their lowest glyph,
    // and the stamp is meant to sit on the picture's bottom edge with room for its outline.
    const int textHeight =
        metrics.ascent() + metrics.tightBoundingRect(QStringLiteral("Cy")).bottom() + 1;
    const int x = 1;
    const int y = frameHeight - textHeight - 1;
    const int baseline = y + metrics.ascent();
    // An outline in dark grey first, then the text in light grey over it, readable on any picture.
    painter.setPen(QColor(StampOutline));
    for (int dx = -1; dx <= 1; ++dx)
        for (int dy = -1; dy <= 1; ++dy)
            painter.drawText(QPoint(x + dx, baseline + dy), text);
    painter.setPen(QColor(StampFill));
    painter.drawText(QPoint(x, baseline), text);
}
