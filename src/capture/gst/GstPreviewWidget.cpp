#include "GstPreviewWidget.h"

#include <QMetaObject>
#include <QPainter>

#include <cstring>

void TFrameSlot::Deliver(const std::uint8_t* bits, int width, int height, int stride) {
    const std::lock_guard lock(Lock);
    if (Pending.width() != width || Pending.height() != height)
        Pending = QImage(width, height, QImage::Format_RGB32);
    const auto rowBytes = static_cast<std::size_t>(width) * 4;
    for (int y = 0; y < height; ++y)
        std::memcpy(Pending.scanLine(y), bits + static_cast<std::ptrdiff_t>(y) * stride, rowBytes);
    Fresh = true;
    if (Target && !Posted) {
        Posted = true;
        TGstPreviewWidget* const widget = Target;
        // Posting under the lock: the widget detaches under the same lock before it dies, and
        // Qt discards what was posted to a deleted object.
        QMetaObject::invokeMethod(
            widget, [widget] { widget->FrameArrived(); }, Qt::QueuedConnection);
    }
}

void TFrameSlot::Attach(TGstPreviewWidget* widget) {
    const std::lock_guard lock(Lock);
    Target = widget;
    Posted = false;
}

void TFrameSlot::Detach(const TGstPreviewWidget* widget) {
    const std::lock_guard lock(Lock);
    if (Target == widget) {
        Target = nullptr;
        Posted = false;
    }
}

bool TFrameSlot::TakeNewest(QImage& shown) {
    const std::lock_guard lock(Lock);
    Posted = false;
    if (!Fresh)
        return false;
    // The old picture becomes the next frame's buffer, so steady state allocates nothing.
    std::swap(Pending, shown);
    Fresh = false;
    return true;
}

TGstPreviewWidget::TGstPreviewWidget(QWidget* owner, std::shared_ptr<TFrameSlot> frames)
    : QWidget(owner) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    ShowFramesOf(std::move(frames));
}

TGstPreviewWidget::~TGstPreviewWidget() {
    if (Frames)
        Frames->Detach(this);
}

void TGstPreviewWidget::ShowFramesOf(std::shared_ptr<TFrameSlot> frames) {
    if (Frames == frames)
        return;
    if (Frames)
        Frames->Detach(this);
    Frames = std::move(frames);
    if (Frames) {
        Frames->Attach(this);
        FrameArrived();
    }
}

void TGstPreviewWidget::FrameArrived() {
    if (Frames && Frames->TakeNewest(Shown))
        update();
}

void TGstPreviewWidget::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (Shown.isNull()) {
        painter.fillRect(rect(), Qt::black);
        return;
    }
    painter.drawImage(rect(), Shown);
    ++Painted;
}
