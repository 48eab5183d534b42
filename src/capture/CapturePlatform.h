#pragma once

// The capture platform layer: the narrow set of capture-framework operations that the
// capture component's graph logic is written against, under their DirectShow names. The
// GStreamer implementation is the real one; the tests script a fake.
//
// Ownership follows COM loosely: objects are shared_ptrs, an interface is reached through
// QueryInterface<I>() and may be missing, and every operation answers an HRESULT (success is
// a non-negative code).

#include "Guid.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QWidget;

using HRESULT = std::int32_t;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154);
inline constexpr HRESULT VFW_E_NOT_CONNECTED = static_cast<HRESULT>(0x80040209);
inline constexpr HRESULT VFW_E_NOT_FOUND = static_cast<HRESULT>(0x80040216);
inline constexpr HRESULT VFW_E_CANNOT_CONNECT = static_cast<HRESULT>(0x80040217);
inline constexpr HRESULT VFW_E_NO_CAPTURE_HARDWARE = static_cast<HRESULT>(0x80040218);
inline constexpr HRESULT VFW_E_INVALIDMEDIATYPE = static_cast<HRESULT>(0x80040200);
inline constexpr HRESULT VFW_E_WRONG_STATE = static_cast<HRESULT>(0x80040227);

constexpr bool SUCCEEDED(HRESULT hr) {
    return hr >= 0;
}
constexpr bool FAILED(HRESULT hr) {
    return hr < 0;
}

// Graph events handed to the component.
inline constexpr long EC_ERRORABORT = 3;
inline constexpr long EC_DEVICE_LOST = 31;

// Values of IIPDVDec::put_IPDisplay.
inline constexpr int DVRESOLUTION_FULL = 1000;
inline constexpr int DVRESOLUTION_HALF = 1001;
inline constexpr int DVRESOLUTION_QUARTER = 1002;
inline constexpr int DVRESOLUTION_DC = 1003;

// The interfaces an object may offer, for QueryInterface and FindInterface.
enum class TIID {
    IBaseFilter,
    IGraphBuilder,
    ICaptureGraphBuilder2,
    IMediaControl,
    IMediaEventEx,
    IVideoWindow,
    IAMStreamConfig,
    IAMStreamControl,
    ISampleGrabber,
    IFileSinkFilter,
    IFileSinkFilter2,
    IConfigAviMux,
    IIPDVDec,
    IAMVfwCaptureDialogs,
    IAMVfwCompressDialogs,
    ISpecifyPropertyPages,
    IAMTVTuner,
    IAMTVAudio,
    ILiveTap,
};

// The objects CoCreateInstance can make.
enum class TCLSID {
    FilterGraph,
    CaptureGraphBuilder2,
    SampleGrabber,
    SmartTee,
    InfTee,
    DVVideoCodec,
    DVSplitter,
};

enum class TDeviceCategory { VideoInputDevice, AudioInputDevice, VideoCompressor, AudioCompressor };
enum class TPinCategory { None, Capture, Preview };
enum class TPinDirection { Input, Output };

// The 40-byte bitmap header of a video format block, field by field.
struct TBitmapInfoHeader {
    std::int32_t biWidth = 0;
    std::int32_t biHeight = 0;
    std::uint16_t biPlanes = 1;
    std::uint16_t biBitCount = 0;
    std::uint32_t biCompression = 0;
    std::uint32_t biSizeImage = 0;
    std::uint32_t biClrUsed = 0;
};

struct TWaveFormatEx {
    std::uint16_t nChannels = 0;
    std::uint32_t nSamplesPerSec = 0;
    std::uint32_t nAvgBytesPerSec = 0;
    std::uint16_t wBitsPerSample = 0;
};

// A media type: major type, subtype, format type and the format block's fields. A video
// format block (FORMAT_VideoInfo or FORMAT_VideoInfo2) carries Bitmap and AvgTimePerFrame;
// FORMAT_WaveFormatEx carries Wave.
struct TAMMediaType {
    TGuid majortype;
    TGuid subtype;
    TGuid formattype;
    std::optional<TBitmapInfoHeader> Bitmap;
    std::int64_t AvgTimePerFrame = 0; // 100 ns units
    std::optional<TWaveFormatEx> Wave;
};

class IUnknown;
template <typename I> std::shared_ptr<I> QueryInterface(const std::shared_ptr<IUnknown>& object);

class IUnknown : public std::enable_shared_from_this<IUnknown> {
  public:
    virtual ~IUnknown() = default;
    // Whether this object offers the interface; QueryInterface<I> asks this first.
    virtual bool Offers(TIID iid) const = 0;
};

template <typename I> std::shared_ptr<I> QueryInterface(const std::shared_ptr<IUnknown>& object) {
    if (!object || !object->Offers(I::IID))
        return nullptr;
    return std::dynamic_pointer_cast<I>(object);
}

template <typename I, typename From>
std::shared_ptr<I> QueryInterface(const std::shared_ptr<From>& object) {
    return QueryInterface<I>(std::static_pointer_cast<IUnknown>(object));
}

class IBaseFilter;
class IPin;

struct TPinInfo {
    std::shared_ptr<IBaseFilter> Filter;
    TPinDirection Direction = TPinDirection::Input;
    std::string Name;
};

// Holds a branch stopped (or lets it run) while the graph runs.
class IAMStreamControl : public virtual IUnknown {
  public:
    static constexpr TIID IID = TIID::IAMStreamControl;
    virtual HRESULT StartAt() = 0;              // now
    virtual HRESULT StopAt(bool sendExtra) = 0; // now
};

class IPin : public virtual IUnknown {
  public:
    virtual HRESULT ConnectedTo(std::shared_ptr<IPin>& peer) = 0; // VFW_E_NOT_CONNECTED when free
    virtual HRESULT QueryPinInfo(TPinInfo& info) = 0;
    virtual HRESULT QueryDirection(TPinDirection& direction) = 0;
};

class IBaseFilter : public virtual IUnknown {
  public:
    static constexpr TIID IID = TIID::IBaseFilter;
    // The filter's pins from the start; a failure means the enumeration cannot start.
    virtual HRESULT EnumPins(std::vector<std::shared_ptr<IPin>>& pins) = 0;
};

class IMediaControl : public virtual IUnknown {
  public:
    static constexpr TIID IID = TIID::IMediaControl;
    // Both return when the graph has changed state.
    virtual HRESULT Run() = 0;
    virtual HRESULT Stop() = 0;
};

class IMediaEventEx : public virtual IUnknown {
  public:
    static constexpr TIID IID = TIID::IMediaEventEx;
    // The graph calls notify on the GUI thread once per queued event.
    virtual HRESULT SetNotifyWindow(std::function<void()> notify) = 0;
    // Fails when the queue is empty.
    virtual HRESULT GetEvent(long& code, std::intptr_t& param1, std::intptr_t& param2) = 0;
    virtual HRESULT FreeEventParams(long code, std::intptr_t param1, std::intptr_t param2) = 0;
};

class IVideoWindow : public virtual IUnknown {
  public:
    static constexpr TIID IID = TIID::IVideoWindow;
    // The video is drawn in a child of the owner; nullptr detaches it.
    virtual HRESULT put_Owner(QWidget* owner) = 0;
    virtual HRESULT put_WindowStyle(long style) = 0;
    virtual HRESULT SetWindowPosition(int left, int top, int width, int height) = 0;
    virtual HRESULT put_Visible(bool visible) = 0;
};

// The filter graph.
class IGraphBuilder : public virtual IUnknown {
  public:
    static constexpr TIID IID = TIID::IGraphBuilder;
    virtual HRESULT AddFilter(const std::shared_ptr<IBaseFilter>& filter,
                              const std::string& name) = 0;
    virtual HRESULT RemoveFilter(const std::shared_ptr<IBaseFilter>& filter) = 0;
    virtual HRESULT FindFilterByName(const std::string& name,
                                     std::shared_ptr<IBaseFilter>& filter) = 0;
    virtual HRESULT Disconnect(const std::shared_ptr<IPin>& pin) = 0;
};

class IAMStreamConfig : public virtual IUnknown {
  public:
    static constexpr TIID IID = TIID::IAMStreamConfig;
    virtual HRESULT GetFormat(TAMMediaType& type) = 0;
    virtual HRESULT SetFormat(const TAMMediaType& type) = 0;
    virtual HRESULT GetNumberOfCapabilities(int& count) = 0;
    virtual HRESULT GetStreamCaps(int index, TAMMediaType& type) = 0;
};

// Receives the frames that pass the frame grabber, on a streaming thread.
class ISampleGrabberCB {
  public:
    virtual ~ISampleGrabberCB() = default;
    virtual HRESULT SampleCB(double sampleTime) = 0;
    // Called for every frame. A grabber that must convert frames into its media type may skip
    // that work for a frame the callback does not want (WantsBuffer false) and pass no bytes
    // (nullptr, 0) instead; a callback must not take such a call as the frame it asked for.
    virtual HRESULT BufferCB(double sampleTime, const std::uint8_t* buffer, long bufferLength) = 0;
    virtual bool WantsBuffer() const { return true; }
};

class ISampleGrabber : public virtual IUnknown {
  public:
    static constexpr TIID IID = TIID::ISampleGrabber;
    virtual HRESULT SetMediaType(const TAMMediaType& type) = 0;
    virtual HRESULT GetConnectedMediaType(TAMMediaType& type) = 0;
    virtual HRESULT SetBufferSamples(bool buffer) = 0;
    virtual HRESULT SetOneShot(bool oneShot) = 0;
    // which: 0 = SampleCB, 1 = BufferCB. The callback must outlive the grabber's use of it.
    virtual HRESULT SetCallback(ISampleGrabberCB* callback, int which) = 0;
};

// One frame for watchers outside the program, as the bytes of a JPEG picture, shared by
// everyone who sends them on.
using TLiveJpeg = std::shared_ptr<const std::vector<std::uint8_t>>;

// Where a frame grabber's live pictures go. Called on streaming threads, so it never waits for
// the GUI thread.
class ILivePictureSink {
  public:
    virtual ~ILivePictureSink() = default;
    // Whether anyone watches now: while no one does, no frame is scaled or encoded.
    virtual bool Watched() const = 0;
    virtual void Deliver(TLiveJpeg jpeg) = 0;
    // The pictures stopped: the graph stopped or its camera was lost. Called on the GUI thread
    // by whoever runs the graph.
    virtual void Ended() = 0;
};

// The frame grabber's live output: the frames passing it at their own size (scaled down to at
// most LiveMaxWidth wide), at most LiveMaxRate a second, each encoded once as a JPEG of
// quality LiveQuality. Not part of the classic grabber; a platform without it has no live view.
class ILiveTap : public virtual IUnknown {
  public:
    static constexpr TIID IID = TIID::ILiveTap;
    static constexpr int LiveMaxWidth = 1280;
    static constexpr int LiveMaxRate = 10;
    static constexpr int LiveQuality = 85;
    // nullptr stops delivering. Safe while the graph runs.
    virtual HRESULT SetLiveSink(std::shared_ptr<ILivePictureSink> sink) = 0;
};

class IFileSinkFilter : public virtual IUnknown {
  public:
    static constexpr TIID IID = TIID::IFileSinkFilter;
    virtual HRESULT SetFileName(const std::string& fileName) = 0;
};

inline constexpr long AM_FILE_OVERWRITE = 1;

class IFileSinkFilter2 : public virtual IUnknown {
  public:
    static constexpr TIID IID = TIID::IFileSinkFilter2;
    virtual HRESULT SetMode(long flags) = 0;
};

class IConfigAviMux : public virtual IUnknown {
  public:
    static constexpr TIID IID = TIID::IConfigAviMux;
    virtual HRESULT SetMasterStream(int stream) = 0;
    virtual HRESULT SetOutputCompatibilityIndex(bool oldIndex) = 0;
};

class IIPDVDec : public virtual IUnknown {
  public:
    static constexpr TIID IID = TIID::IIPDVDec;
    virtual HRESULT get_IPDisplay(int& display) = 0;
    virtual HRESULT put_IPDisplay(int display) = 0;
};

// The capture graph builder: wiring helpers over a filter graph.
class ICaptureGraphBuilder2 : public virtual IUnknown {
  public:
    static constexpr TIID IID = TIID::ICaptureGraphBuilder2;
    virtual HRESULT SetFiltergraph(const std::shared_ptr<IGraphBuilder>& graph) = 0;
    // Finds the interface on the filter or on one of its pins of the category and type.
    virtual HRESULT FindInterface(TPinCategory category, const TGuid* type,
                                  const std::shared_ptr<IBaseFilter>& filter, TIID iid,
                                  std::shared_ptr<IUnknown>& found) = 0;
    // Connects source (an output of the category and type) through intermediate to sink; no
    // sink means a default renderer for the type.
    virtual HRESULT RenderStream(TPinCategory category, const TGuid* type,
                                 const std::shared_ptr<IBaseFilter>& source,
                                 const std::shared_ptr<IBaseFilter>& intermediate,
                                 const std::shared_ptr<IBaseFilter>& sink) = 0;
    // Adds a multiplexer and a file writer for the file and answers both.
    virtual HRESULT SetOutputFileName(const TGuid& subtype, const std::string& fileName,
                                      std::shared_ptr<IBaseFilter>& mux,
                                      std::shared_ptr<IFileSinkFilter>& sink) = 0;
    virtual HRESULT AllocCapFile(const std::string& fileName, std::uint64_t bytes) = 0;
    virtual HRESULT FindPin(const std::shared_ptr<IBaseFilter>& filter, TPinDirection direction,
                            TPinCategory category, const TGuid* type, bool unconnected, int index,
                            std::shared_ptr<IPin>& pin) = 0;
};

// An object with a settings dialog of its own (the platform shows it as a property frame).
class ISpecifyPropertyPages : public virtual IUnknown {
  public:
    static constexpr TIID IID = TIID::ISpecifyPropertyPages;
    // How many pages the dialog has; fails when there is nothing to show.
    virtual HRESULT GetPages(int& count) = 0;
};

// Which of a capture driver's own dialogs; values of IAMVfwCaptureDialogs.
inline constexpr int VfwCaptureDialog_Format = 1;
inline constexpr int VfwCaptureDialog_Source = 2;
inline constexpr int VfwCaptureDialog_Display = 4;

// A capture driver's own dialogs, outside the property-page scheme.
class IAMVfwCaptureDialogs : public virtual IUnknown {
  public:
    static constexpr TIID IID = TIID::IAMVfwCaptureDialogs;
    // S_OK when the driver has that dialog.
    virtual HRESULT HasDialog(int dialog) = 0;
    // Modal, owned by `owner`.
    virtual HRESULT ShowDialog(int dialog, QWidget* owner) = 0;
};

// Values of IAMVfwCompressDialogs::ShowDialog: the Query values only ask whether the dialog exists.
inline constexpr int VfwCompressDialog_Config = 1;
inline constexpr int VfwCompressDialog_About = 2;
inline constexpr int VfwCompressDialog_QueryConfig = 4;
inline constexpr int VfwCompressDialog_QueryAbout = 8;

// A compressor's own configuration dialog and the state block it edits.
class IAMVfwCompressDialogs : public virtual IUnknown {
  public:
    static constexpr TIID IID = TIID::IAMVfwCompressDialogs;
    virtual HRESULT ShowDialog(int dialog, QWidget* owner) = 0;
    // The whole state block; empty when the compressor keeps nothing.
    virtual HRESULT GetState(std::vector<std::uint8_t>& state) = 0;
    virtual HRESULT SetState(const std::vector<std::uint8_t>& state) = 0;
};

// Tuner and TV-sound controls of analogue capture cards; only the dialogs ask for them.
class IAMTVTuner : public virtual IUnknown {
  public:
    static constexpr TIID IID = TIID::IAMTVTuner;
};
class IAMTVAudio : public virtual IUnknown {
  public:
    static constexpr TIID IID = TIID::IAMTVAudio;
};

// While it lives, reports capture devices being plugged in.
class IDeviceArrivalWatch {
  public:
    virtual ~IDeviceArrivalWatch() = default;
};

// A device as the enumeration yields it.
class IMoniker {
  public:
    virtual ~IMoniker() = default;
    // The device's friendly name; fails when its property bag cannot be opened.
    virtual HRESULT ReadFriendlyName(std::string& name) = 0;
    // A text that names the same device in every enumeration (its path or id).
    virtual HRESULT GetDisplayName(std::string& name) {
        name.clear();
        return E_FAIL;
    }
    virtual HRESULT BindToObject(std::shared_ptr<IBaseFilter>& filter) = 0;
};

// The platform itself: object creation and device enumeration.
class ICapturePlatform {
  public:
    virtual ~ICapturePlatform() = default;
    virtual HRESULT CoCreateInstance(TCLSID clsid, std::shared_ptr<IUnknown>& object) = 0;
    // S_FALSE with no monikers for an empty category.
    virtual HRESULT CreateClassEnumerator(TDeviceCategory category,
                                          std::vector<std::shared_ptr<IMoniker>>& monikers) = 0;
    // Shows the settings dialog of an object offering ISpecifyPropertyPages, modal, owned by
    // `owner` and placed at x, y within it. Fails when the object has none.
    virtual HRESULT OleCreatePropertyFrame(QWidget* owner, int x, int y,
                                           const std::shared_ptr<IUnknown>& object) = 0;
    // Calls `arrived` on the GUI thread each time a capture device is plugged in, for as long
    // as the answer lives; nullptr when the platform cannot tell.
    virtual std::unique_ptr<IDeviceArrivalWatch>
    WatchDeviceArrivals(std::function<void()> arrived) = 0;
};

// Convenience for the logic: creates and asks for an interface in one step.
template <typename I>
HRESULT CreateInstance(ICapturePlatform& platform, TCLSID clsid, std::shared_ptr<I>& object) {
    std::shared_ptr<IUnknown> created;
    const HRESULT hr = platform.CoCreateInstance(clsid, created);
    if (FAILED(hr))
        return hr;
    object = QueryInterface<I>(created);
    return object ? S_OK : E_NOINTERFACE;
}
