#pragma once

// What the CPU benchmarks share: the process's CPU time, a running event loop, and the capture
// component as the window runs it.

#include "CapturePlatform.h"
#include "GraphConfig.h"
#include "VideoCapture.h"
#include "gst/GstHandle.h"

#include <QImage>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <string>

// CPU seconds of this process so far; child processes do not count.
double ProcessCpuSeconds();
// Runs the Qt event loop for that long.
void SpinEventLoop(int ms);

// The capture component configured as the window configures it: the preview in a shown 320x240
// widget, the held AVI branch, and on each grab the motion detector's work (a 16-million-colour
// working copy of the whole frame compared with the one before). It is built on the first start
// and only stopped between turns, as the window's dialogs stop it.
class TWindowLikeCapture {
  public:
    TWindowLikeCapture(QString device, TVCapMode mode,
                       std::shared_ptr<ILivePictureSink> live = nullptr);

    // False, with the reason on standard error, when the camera does not preview in its mode.
    bool Start();
    void Stop() { Capture.StopPreview(); }
    void RequestGrab() { Capture.RequestFrame(); }
    long Frames() const { return FrameCount; }
    long Grabs() const { return GrabCount; }

  private:
    void Compare(const TCapturedBitmap& bitmap);

    const QString Device;
    const TVCapMode Mode;
    const QTemporaryDir Files;
    TVideoCapture Capture;
    QStringList Messages;
    QImage Reference;
    QImage Current;
    long FrameCount = 0;
    long GrabCount = 0;
    bool Configured = false;
};

// The peer side's bare GStreamer pipeline, made from a launch line, set to NULL when it goes.
class TBarePipeline {
  public:
    // An empty pipeline, with the reason on standard error, when the line does not parse.
    explicit TBarePipeline(const std::string& description);
    ~TBarePipeline();
    TBarePipeline(const TBarePipeline&) = delete;
    TBarePipeline& operator=(const TBarePipeline&) = delete;

    explicit operator bool() const { return static_cast<bool>(Pipeline); }
    // An element of the pipeline by its name (a new reference).
    TGstElementRef Element(const char* name) const;
    // False, with the reason on standard error, when it does not run.
    bool Start();
    void Stop();

  private:
    TGstElementRef Pipeline;
};
