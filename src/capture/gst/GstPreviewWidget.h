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

// A BGRx frame on its way to the window. Either the renderer's own sample, mapped for as long
// as it lives and painted from there (never copied), or a picture of its own that the renderer
// converted into and reuses once the window is done with it.
class TPreviewFrame {
    struct TMapped {};

  public:
    // Empty when the sample cannot be read with that layout.
    static std::unique_ptr<TPreviewFrame> Map(GstSample* sample, const GstVideoInfo& info);
    explicit TPreviewFrame(TMapped) {}
    explicit TPreviewFrame(QSize size) : View(size, QImage::Format_RGB32) {}
    ~TPreviewFrame();
    TPreviewFrame(const TPreviewFrame&) = delete;
    TPreviewFrame& operator=(const TPreviewFrame&) = delete;

    const QImage& Image() const { return View; }
    // The picture to convert into; null for a mapped sample.
    QImage* OwnPicture() { return Sample ? nullptr : &View; }

  private:
    TGstHandle<GstSample> Sample;
    GstVideoFrame Frame{};
    QImage View;
};

class TFrameSlot {
  public:
    // Streaming thread: keeps the frame as the newest and asks the attached widget, if any, to
    // repaint. At most one repaint request is outstanding; a newer frame simply replaces the
    // pending one, which is handed back.
    std::unique_ptr<TPreviewFrame> Deliver(std::unique_ptr<TPreviewFrame> frame);

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
