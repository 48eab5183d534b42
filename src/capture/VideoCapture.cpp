#include "VideoCapture.h"

#include "GraphConfig.h"

#include <QPalette>

TVideoCapture::TVideoCapture(QWidget* parent) : QWidget(parent) {
    // Blue shows through wherever no video covers the control.
    QPalette blue = palette();
    blue.setColor(QPalette::Window, Qt::blue);
    setPalette(blue);
    setAutoFillBackground(true);
    resize(100, 100);
}

bool TVideoCapture::InitGraph() {
    return false;
}

void TVideoCapture::LoadConfig(const TGraphConfig* config) {
    if (config == nullptr)
        return;
    if (OnChangeDevice)
        OnChangeDevice(this);
}

void TVideoCapture::SaveConfig(TGraphConfig* /*config*/) {}

bool TVideoCapture::StartPreview() {
    return false;
}

bool TVideoCapture::StopPreview() {
    const bool wasPreviewing = FPreviewing;
    FPreviewing = false;
    update();
    return wasPreviewing;
}

bool TVideoCapture::StopCapture() {
    return false;
}

bool TVideoCapture::RequestFrame() {
    return false;
}
