#pragma once

// The video window: a child widget that paints the newest frame of a video renderer. The
// renderer's streaming thread and the widget share one frame slot; the thread only hands the
// frame over and posts, the widget takes the frame on the GUI thread.

#include "GstHandle.h"

#include <gst/video/video.h>

#include <QImage>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <mutex>

class TGstPreviewWidget;

// A BGRx frame as the renderer received it, mapped for as long as it lives and painted from
// there: the picture is never copied on its way to the window.
class TPreviewFrame {
    struct TMapped {};

  public:
    // Empty when the sample cannot be read with that layout.
    static std::unique_ptr<TPreviewFrame> Map(GstSample* sample, const GstVideoInfo& info);
    explicit TPreviewFrame(TMapped) {}
    ~TPreviewFrame();
    TPreviewFrame(const TPreviewFrame&) = delete;
    TPreviewFrame& operator=(const TPreviewFrame&) = delete;

    const QImage& Image() const { return View; }

  private:
    TGstHandle<GstSample> Sample;
    GstVideoFrame Frame{};
    QImage View;
};

class TFrameSlot {
  public:
    // Streaming thread: keeps the frame as the newest and asks the attached widget, if any, to
    // repaint. At most one repaint request is outstanding; a newer frame simply replaces the
    // pending one.
    void Deliver(std::unique_ptr<TPreviewFrame> frame);

    // GUI thread.
    void Attach(TGstPreviewWidget* widget);
    void Detach(const TGstPreviewWidget* widget);
    // Swaps the newest frame into `shown` when one arrived since the last call.
    bool TakeNewest(std::unique_ptr<TPreviewFrame>& shown);

  private:
    std::mutex Lock;
    std::unique_ptr<TPreviewFrame> Pending;
    bool Fresh = false;
    bool Posted = false;
    TGstPreviewWidget* Target = nullptr;
};

class TGstPreviewWidget : public QWidget {
  public:
    TGstPreviewWidget(QWidget* owner, std::shared_ptr<TFrameSlot> frames);
    ~TGstPreviewWidget() override;
    TGstPreviewWidget(const TGstPreviewWidget&) = delete;
    TGstPreviewWidget& operator=(const TGstPreviewWidget&) = delete;

    // Shows the frames of another renderer (the graph was built anew).
    void ShowFramesOf(std::shared_ptr<TFrameSlot> frames);
    // Called through the event loop after the slot received a frame.
    void FrameArrived();
    // How many frames were painted, and the size of the last; lets the tests see the picture.
    std::uint64_t PaintedFrames() const { return Painted; }
    QSize FrameSize() const { return Shown ? Shown->Image().size() : QSize(); }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    std::shared_ptr<TFrameSlot> Frames;
    std::unique_ptr<TPreviewFrame> Shown;
    std::uint64_t Painted = 0;
};
