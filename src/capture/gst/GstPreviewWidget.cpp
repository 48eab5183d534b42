#include "GstPreviewWidget.h"

#include <QMetaObject>
#include <QPainter>

std::unique_ptr<TPreviewFrame> TPreviewFrame::Map(GstSample* sample, const GstVideoInfo& info) {
    auto frame = std::make_unique<TPreviewFrame>(TMapped{});
    frame->Sample = TGstHandle<GstSample>::Retain(sample);
    if (!gst_video_frame_map(&frame->Frame, &info, gst_sample_get_buffer(sample), GST_MAP_READ)) {
        frame->Sample.Reset();
        return nullptr;
    }
    frame->View =
        QImage(static_cast<const uchar*>(GST_VIDEO_FRAME_PLANE_DATA(&frame->Frame, 0)),
               GST_VIDEO_FRAME_WIDTH(&frame->Frame), GST_VIDEO_FRAME_HEIGHT(&frame->Frame),
               GST_VIDEO_FRAME_PLANE_STRIDE(&frame->Frame, 0), QImage::Format_RGB32);
    return frame;
}

TPreviewFrame::~TPreviewFrame() {
    View = QImage();
    if (Sample)
        gst_video_frame_unmap(&Frame);
}

std::unique_ptr<TPreviewFrame> TFrameSlot::Deliver(std::unique_ptr<TPreviewFrame> frame) {
    const std::lock_guard lock(Lock);
    std::swap(Pending, frame);
    Fresh = true;
    if (Target && !Posted) {
        Posted = true;
        TGstPreviewWidget* const widget = Target;
        // Posting under the lock: the widget detaches under the same lock before it dies, and
        // Qt discards what was posted to a deleted object.
        QMetaObject::invokeMethod(
            widget, [widget] { widget->FrameArrived(); }, Qt::QueuedConnection);
    }
    return frame;
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

bool TFrameSlot::TakeNewest(std::unique_ptr<TPreviewFrame>& shown) {
    const std::lock_guard lock(Lock);
    Posted = false;
    if (!Fresh)
        return false;
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
    if (!Shown) {
        painter.fillRect(rect(), Qt::black);
        return;
    }
    painter.drawImage(rect(), Shown->Image());
    ++Painted;
}
