#pragma once

// The video window: a child widget that paints the newest frame of a video renderer. The
// renderer's streaming thread and the widget share one frame slot; the thread only copies
// into it and posts, the widget takes the frame on the GUI thread.

#include <QImage>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <mutex>

class TGstPreviewWidget;

class TFrameSlot {
  public:
    // Streaming thread: copies a BGRx frame and asks the attached widget, if any, to repaint.
    // At most one repaint request is outstanding; a newer frame simply replaces the pending one.
    void Deliver(const std::uint8_t* bits, int width, int height, int stride);

    // GUI thread.
    void Attach(TGstPreviewWidget* widget);
    void Detach(const TGstPreviewWidget* widget);
    // Swaps the newest frame into `shown` when one arrived since the last call.
    bool TakeNewest(QImage& shown);

  private:
    std::mutex Lock;
    QImage Pending;
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
    QSize FrameSize() const { return Shown.size(); }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    std::shared_ptr<TFrameSlot> Frames;
    QImage Shown;
    std::uint64_t Painted = 0;
};
