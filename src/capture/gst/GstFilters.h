#pragma once

// The kinds of filter the layer makes. Each answers nullptr when an element it needs is
// missing from this GStreamer installation.

#include "GstFilter.h"

#include <string>

// A capture device's filter: its source element, then a capsfilter holding the chosen mode,
// with one output pin of category Capture. A null device gives the built-in test pattern.
std::shared_ptr<TGstFilter> CreateVideoSourceFilter(const TGstDeviceRef& device);
// A sound capture device, or the built-in test tone for a null device.
std::shared_ptr<TGstFilter> CreateAudioSourceFilter(const TGstDeviceRef& device);
// An encoder from the registry, behind a converter so that it takes any raw input.
std::shared_ptr<TGstFilter> CreateCompressorFilter(GstElementFactory* factory, TMediaKind kind);

std::shared_ptr<TGstFilter> CreateSmartTee();
std::shared_ptr<TGstFilter> CreateInfTee();
std::shared_ptr<TGstFilter> CreateSampleGrabber();
// The DV decoder takes a camcorder's DV as it comes, as a system stream or as DV video alone.
std::shared_ptr<TGstFilter> CreateDvDecoder();
// The DV splitter: the system stream in, DV video and sound out, once the stream shows them.
std::shared_ptr<TGstFilter> CreateDvSplitter();
// Decodes a compressed video stream (MJPEG) for filters that take raw video only. Damaged frames
// are dropped; a stream that stays undecodable posts an error.
std::shared_ptr<TGstFilter> CreateVideoDecompressor(const GstCaps* compressed);

std::shared_ptr<TGstFilter> CreateVideoRenderer();
std::shared_ptr<TGstFilter> CreateAudioRenderer();
std::shared_ptr<TGstFilter> CreateAviMux();
std::shared_ptr<TGstFilter> CreateFileWriter(const std::string& fileName);
