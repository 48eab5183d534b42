#include "SnapshotStamp.h"

#include <QFontMetrics>
#include <QGlyphRun>
#include <QPainter>
#include <QTextLayout>

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
    // The text is laid out once and its glyphs drawn ten times; drawing the string ten times
    // would shape it ten times, for the same pixels.
    QTextLayout layout(text, font, &picture);
    layout.beginLayout();
    const QTextLine line = layout.createLine();
    layout.endLayout();
    const QList<QGlyphRun> runs = layout.glyphRuns();
    const auto drawAt = [&](int left, int base) {
        for (const QGlyphRun& run : runs)
            painter.drawGlyphRun(QPointF(left, base - line.ascent()), run);
    };
    // An outline in dark grey first, then the text in light grey over it, readable on any picture.
    painter.setPen(QColor(StampOutline));
    for (int dx = -1; dx <= 1; ++dx)
        for (int dy = -1; dy <= 1; ++dy)
            drawAt(x + dx, baseline + dy);
    painter.setPen(QColor(StampFill));
    drawAt(x, baseline);
}
