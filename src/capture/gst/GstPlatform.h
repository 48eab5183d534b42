#pragma once

// The GStreamer implementation of the capture platform layer.

#include "CapturePlatform.h"

#include <memory>

typedef struct _GstElement GstElement;
class QWidget;

std::shared_ptr<ICapturePlatform> CreateGstPlatform();

// Test hooks: the bin behind a filter of this layer, the video window a graph shows, and what
// that window painted so far; nullptr or zeros for anything else.
struct TGstPreviewStats {
    unsigned long long PaintedFrames = 0;
    int FrameWidth = 0;
    int FrameHeight = 0;
};
GstElement* GstFilterBinForTest(const std::shared_ptr<IBaseFilter>& filter);
QWidget* GstPreviewWidgetForTest(const std::shared_ptr<IGraphBuilder>& graph);
TGstPreviewStats GstPreviewStatsForTest(const std::shared_ptr<IGraphBuilder>& graph);
