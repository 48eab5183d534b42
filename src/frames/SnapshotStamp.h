#pragma once

#include <QFont>
#include <QImage>
#include <QString>

// The snapshot's timestamp: a small sans face without smoothing, so the stamp is two clean
// shades of grey.
QFont StampFont();

// Draws the text at x = 1 with its "Cy" height ending one pixel above frameHeight: nine dark grey
// draws around its place make an outline under the text in light grey.
void DrawStamp(QImage& picture, const QString& text, int frameHeight);
