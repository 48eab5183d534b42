// Building, running and taking apart the capture graph on the platform layer.
#include "VideoCapture.h"

#include "CaptureUtils.h"

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFile>

#include <cmath>

namespace {

const char* const GrabberName = "MyBitmapGrabber";
const char* const DVDecoderName = "MyDVDecoder";
const char* const DVSplitterName = "MyDVSplitter";
const char* const SmartTeeName = "MySmartTee";
const char* const InfTeeName = "MyInfTee";
const char* const VideoCompressorName = "MyVideoCompressor";
const char* const AudioCompressorName = "MyAudioCompressor";

constexpr long WS_CHILD = 0x40000000;
constexpr long WS_CLIPSIBLINGS = 0x04000000;

const TGuid* SubtypeFor(TPixelFormat format) {
    switch (format) {
    case TPixelFormat::pf1bit:
        return &MEDIASUBTYPE_RGB1;
    case TPixelFormat::pf4bit:
        return &MEDIASUBTYPE_RGB4;
    case TPixelFormat::pf8bit:
        return &MEDIASUBTYPE_RGB8;
    case TPixelFormat::pf15bit:
        return &MEDIASUBTYPE_RGB555;
    case TPixelFormat::pf16bit:
        return &MEDIASUBTYPE_RGB565;
    case TPixelFormat::pf32bit:
        return &MEDIASUBTYPE_RGB32;
    case TPixelFormat::pf24bit:
    case TPixelFormat::pfCustom:
        return &MEDIASUBTYPE_RGB24;
    case TPixelFormat::pfDevice:
        break;
    }
    return nullptr;
}

int DVDisplayFor(TDVResolution resolution) {
    switch (resolution) {
    case TDVResolution::dvrFull:
        return DVRESOLUTION_FULL;
    case TDVResolution::dvrHalf:
        return DVRESOLUTION_HALF;
    case TDVResolution::dvrQuater:
        return DVRESOLUTION_QUARTER;
    case TDVResolution::dvrDC:
        return DVRESOLUTION_DC;
    case TDVResolution::dvrDontWorry:
        break;
    }
    return 0;
}

template <typename I>
std::shared_ptr<I> FindOn(ICaptureGraphBuilder2& builder, TPinCategory category, const TGuid* type,
                          const std::shared_ptr<IBaseFilter>& filter, HRESULT* result = nullptr) {
    std::shared_ptr<IUnknown> found;
    const HRESULT hr = builder.FindInterface(category, type, filter, I::IID, found);
    if (result != nullptr)
        *result = hr;
    return SUCCEEDED(hr) ? QueryInterface<I>(found) : nullptr;
}

// A filter found in the graph by name, or else a new one of the class.
std::shared_ptr<IBaseFilter> FoundOrCreated(IGraphBuilder& graph, ICapturePlatform& platform,
                                            const char* name, TCLSID clsid) {
    std::shared_ptr<IBaseFilter> filter;
    if (SUCCEEDED(graph.FindFilterByName(name, filter)) && filter)
        return filter;
    filter.reset();
    CreateInstance(platform, clsid, filter);
    return filter;
}

std::shared_ptr<IBaseFilter> Bind(const std::shared_ptr<IMoniker>& device,
                                  HRESULT* result = nullptr) {
    std::shared_ptr<IBaseFilter> filter;
    const HRESULT hr = device ? device->BindToObject(filter) : E_FAIL;
    if (result != nullptr)
        *result = device ? hr : 0;
    return SUCCEEDED(hr) ? filter : nullptr;
}

} // namespace

QString TVideoCapture::ResolveFileName(const QString& name) const {
    if (name.isEmpty() || QDir::isAbsolutePath(name) || FileFolder.isEmpty())
        return name;
    return QDir(FileFolder).filePath(name);
}

bool TVideoCapture::InitGraph() {
    if (!FGraph && FAILED(CreateInstance(*Platform, TCLSID::FilterGraph, FGraph)))
        return false;
    if (!FBuilder && FAILED(CreateInstance(*Platform, TCLSID::CaptureGraphBuilder2, FBuilder)))
        return false;
    FBuilder->SetFiltergraph(FGraph);
    RefreshAllDevices(*Platform);
    return !VideoCaptureDevices().empty();
}

void TVideoCapture::ReleaseFilters() {
    FGraph.reset();
    FBuilder.reset();
    FVideoCaptureFilter.reset();
    FAudioCaptureFilter.reset();
    FVideoCompressorFilter.reset();
    FAudioCompressorFilter.reset();
    FDVSplitter.reset();
    FDVDecoder.reset();
    FVideoStreamConfig.reset();
    FAudioStreamConfig.reset();
    FVfwCaptureDialogs.reset();
    FVfwCompressDialogs.reset();
    FGrabber.reset();
    FDialogs = 0;
}

void TVideoCapture::ReleaseAll() {
    ReleaseFilters();
    FVideoWindow.reset();
    FEvents.reset();
    FMux.reset();
    FMuxConfig.reset();
    FFileSink.reset();
    FGraphBuilt = false;
    FPreviewing = false;
    FCapturing = false;
    FMasterStream = -1;
}

bool TVideoCapture::InitCaptureFilters() {
    ReleaseFilters();
    if (FAILED(CreateInstance(*Platform, TCLSID::CaptureGraphBuilder2, FBuilder))) {
        ShowError("Can't init graph builder. Probably DirectShow is not installed!");
        return false;
    }
    FDVSplitter.reset();
    FDVDecoder.reset();
    try {
        HRESULT bound = 0;
        FVideoCaptureFilter = Bind(FVideoDevice, &bound);
        if (!FVideoCaptureFilter)
            Fatal("Error %x.\r\nCan't create video capture filter - propably you havn't video "
                  "capture device!",
                  bound);
        if (FAILED(CreateInstance(*Platform, TCLSID::FilterGraph, FGraph)))
            Fatal("Can't init graph. Probably DirectShow is not installed!");
        if (FAILED(FBuilder->SetFiltergraph(FGraph)))
            Fatal("Can't set filter graph!");
        if (const HRESULT added = FGraph->AddFilter(FVideoCaptureFilter, {}); FAILED(added))
            Fatal("Error %x: Can't add video capture filter into graph!", added);

        HRESULT found = S_OK;
        FVideoStreamConfig = FindOn<IAMStreamConfig>(*FBuilder, TPinCategory::Capture,
                                                     &MEDIATYPE_Interleaved, FVideoCaptureFilter);
        if (!FVideoStreamConfig)
            FVideoStreamConfig = FindOn<IAMStreamConfig>(
                *FBuilder, TPinCategory::Capture, &MEDIATYPE_Video, FVideoCaptureFilter, &found);
        if (!FVideoStreamConfig)
            ShowError("Error %x: Can't find VCapture:IAMStreamConfig!", found);

        if (IsDVSource()) {
            FDVDecoder = FoundOrCreated(*FGraph, *Platform, DVDecoderName, TCLSID::DVVideoCodec);
            if (!FDVDecoder)
                Fatal("Can't add DV Decoder");
            if (WantAudio && WantDVAudio) {
                FDVSplitter =
                    FoundOrCreated(*FGraph, *Platform, DVSplitterName, TCLSID::DVSplitter);
                if (!FDVSplitter)
                    Fatal("Can't add DV Splitter");
            }
        }

        FVfwCaptureDialogs = FindOn<IAMVfwCaptureDialogs>(*FBuilder, TPinCategory::Capture,
                                                          &MEDIATYPE_Video, FVideoCaptureFilter);

        if (WantCapture && FVideoCompressorDevice) {
            FVideoCompressorFilter = Bind(FVideoCompressorDevice);
            if (FVideoCompressorFilter)
                FVfwCompressDialogs = FindOn<IAMVfwCompressDialogs>(
                    *FBuilder, TPinCategory::Capture, &MEDIATYPE_Video, FVideoCompressorFilter);
        }

        if (WantAudio) {
            std::shared_ptr<IBaseFilter> audioSource = FDVSplitter;
            if (!audioSource) {
                if (FAudioDevice)
                    FAudioCaptureFilter = Bind(FAudioDevice);
                if (FAudioCaptureFilter) {
                    if (const HRESULT added = FGraph->AddFilter(FAudioCaptureFilter, {});
                        FAILED(added))
                        Fatal("Error %x: Can't add audio capture filter into graph!", added);
                } else {
                    ShowError("Can't create audio capture filter!");
                }
                audioSource = FAudioCaptureFilter;
            }
            if (FAudioCaptureFilter || (WantAudio && WantDVAudio)) {
                if (WantCapture && FAudioCompressorDevice) {
                    FAudioCompressorFilter = Bind(FAudioCompressorDevice);
                    if (FAudioCompressorFilter)
                        audioSource = FAudioCompressorFilter;
                }
                FAudioStreamConfig = FindOn<IAMStreamConfig>(*FBuilder, TPinCategory::None,
                                                             &MEDIATYPE_Audio, audioSource);
                const bool searchedSplitter = audioSource && audioSource == FDVSplitter;
                if (!FAudioStreamConfig && !(IsDVSource() && searchedSplitter))
                    ShowError("Can't find ACapture:IAMStreamConfig!");
            }
        }
        return true;
    } catch (const EVideoCaptureError&) {
        ReleaseFilters();
        return false;
    }
}

bool TVideoCapture::IsDVSource() {
    TAMMediaType format;
    return FVideoStreamConfig && SUCCEEDED(FVideoStreamConfig->GetFormat(format)) &&
           format.majortype == MEDIATYPE_Interleaved;
}

bool TVideoCapture::BuildGraph() {
    if (!FGraph)
        return false;
    if (FGraphBuilt)
        return true;
    if (!FVideoCaptureFilter)
        return false;
    if (WantAudio && !FAudioCaptureFilter && !(IsDVSource() && WantDVAudio))
        return false;

    if (WantCapture) {
        FCaptureFile = ResolveFileName(UseTempFile ? FTempCaptureFileName : CaptureFileName);
        if (FCaptureFile.isEmpty()) {
            ShowError("Capture filename required!");
            return false;
        }
        QFile::remove(FCaptureFile);
        if (DoPreallocFile && !AllocCaptureFile(PreallocFileSize)) {
            ShowError("Can't allocate space for capture file! Disk full?");
            return false;
        }
    }

    try {
        BuildGraphSteps();
    } catch (const EVideoCaptureError&) {
        TearDownGraph();
        return false;
    }
    FGraphBuilt = true;
    return true;
}

void TVideoCapture::BuildGraphSteps() {
    std::shared_ptr<IBaseFilter> videoSource = FVideoCaptureFilter;
    std::shared_ptr<IBaseFilter> audioSource = FAudioCaptureFilter;

    if (IsDVSource()) {
        if (FDVDecoder)
            FGraph->AddFilter(FDVDecoder, DVDecoderName);
        if (FDVSplitter)
            FGraph->AddFilter(FDVSplitter, DVSplitterName);
        if (!FDVDecoder ||
            FAILED(FBuilder->RenderStream(TPinCategory::None, &MEDIATYPE_Interleaved,
                                          FVideoCaptureFilter, FDVSplitter, FDVDecoder)))
            Fatal("Can't render video capture stream!");
        SetDVResolution(FDVResolution);
        videoSource = FDVDecoder;
        if (WantAudio && WantDVAudio)
            audioSource = FDVSplitter;
    }

    std::shared_ptr<IBaseFilter> smartTee;
    if (FAILED(CreateInstance(*Platform, TCLSID::SmartTee, smartTee)) ||
        FAILED(FGraph->AddFilter(smartTee, SmartTeeName)) ||
        FAILED(FBuilder->RenderStream(TPinCategory::None, &MEDIATYPE_Video, videoSource, nullptr,
                                      smartTee)))
        Fatal("Can't add SmartTee");
    videoSource = smartTee;

    if (audioSource && WantAudioPreview) {
        std::shared_ptr<IBaseFilter> infTee;
        if (FAILED(CreateInstance(*Platform, TCLSID::InfTee, infTee)) ||
            FAILED(FGraph->AddFilter(infTee, InfTeeName)) ||
            FAILED(FBuilder->RenderStream(TPinCategory::None, &MEDIATYPE_Audio, audioSource,
                                          nullptr, infTee)))
            Fatal("Can't add InfiniteTee");
        audioSource = infTee;
    }
    if (WantPreview && WantAudioPreview && audioSource &&
        FAILED(FBuilder->RenderStream(TPinCategory::None, &MEDIATYPE_Audio, audioSource, nullptr,
                                      nullptr)))
        Fatal("Can't render audio preview stream!");

    if (WantCapture) {
        if (FAILED(FBuilder->SetOutputFileName(MEDIASUBTYPE_Avi, FCaptureFile.toStdString(), FMux,
                                               FFileSink)))
            Fatal("Can't set capture file!");
        // Overwriting would throw away the space reserved for the file: it was deleted before
        // the reservation anyway, and the writer trims what the recording does not use.
        if (const auto sink2 = QueryInterface<IFileSinkFilter2>(FFileSink))
            sink2->SetMode(DoPreallocFile ? 0 : AM_FILE_OVERWRITE);
        FMuxConfig = QueryInterface<IConfigAviMux>(FMux);
        if (FMuxConfig) {
            FMuxConfig->SetOutputCompatibilityIndex(true);
            if (audioSource)
                ApplyMasterStream(FMasterStream);
        }
        if (FVideoCompressorFilter)
            FGraph->AddFilter(FVideoCompressorFilter, VideoCompressorName);
        if (FAILED(FBuilder->RenderStream(TPinCategory::Capture, &MEDIATYPE_Video, videoSource,
                                          FVideoCompressorFilter, FMux)))
            Fatal("Can't render video capture stream!");
        if (audioSource) {
            if (FAudioCompressorFilter)
                FGraph->AddFilter(FAudioCompressorFilter, AudioCompressorName);
            if (FAILED(FBuilder->RenderStream(TPinCategory::Capture, &MEDIATYPE_Audio, audioSource,
                                              FAudioCompressorFilter, FMux)))
                Fatal("Can't render audio capture stream!");
        }
    }

    if (WantPreview && !RenderPreview(videoSource))
        Fatal("Can't render preview stream!");
    if (!SetupVideoWindow() && WantPreview)
        ShowError("This graph cannot preview!");
    ApplyFrameRate();
    FEvents = QueryInterface<IMediaEventEx>(FGraph);
    if (FEvents)
        FEvents->SetNotifyWindow([this] {
            QCoreApplication::postEvent(
                this, new QEvent(static_cast<QEvent::Type>(QEvent::User + WM_GRAPHNOTIFY)));
        });
    FindDialogs();
}

bool TVideoCapture::RenderPreview(std::shared_ptr<IBaseFilter> source) {
    if (WantBitmaps) {
        std::shared_ptr<IBaseFilter> grabberFilter;
        if (FAILED(FGraph->FindFilterByName(GrabberName, grabberFilter)) || !grabberFilter) {
            grabberFilter.reset();
            if (FAILED(CreateInstance(*Platform, TCLSID::SampleGrabber, grabberFilter)) ||
                FAILED(FGraph->AddFilter(grabberFilter, GrabberName)))
                grabberFilter.reset();
        }
        FGrabber = QueryInterface<ISampleGrabber>(grabberFilter);
        if (FGrabber) {
            if (const TGuid* subtype = SubtypeFor(BitmapPixelFormat)) {
                TAMMediaType wanted;
                wanted.majortype = MEDIATYPE_Video;
                wanted.subtype = *subtype;
                wanted.formattype = FORMAT_VideoInfo;
                FGrabber->SetMediaType(wanted);
            }
            if (SUCCEEDED(FBuilder->RenderStream(TPinCategory::None, &MEDIATYPE_Video, source,
                                                 nullptr, grabberFilter))) {
                FGrabber->SetBufferSamples(false);
                FGrabber->SetOneShot(false);
                FCallback->NotifyWindow = this;
                FGrabber->SetCallback(FCallback.get(), 1);
                if (const auto tap = QueryInterface<ILiveTap>(FGrabber))
                    tap->SetLiveSink(LiveSink);
                source = grabberFilter;
            } else {
                ShowError("Can't install SampleGrabber. Probably wrong color depth used?");
            }
        }
    }
    return SUCCEEDED(
        FBuilder->RenderStream(TPinCategory::None, &MEDIATYPE_Video, source, nullptr, nullptr));
}

bool TVideoCapture::SetupVideoWindow() {
    FVideoWindow = QueryInterface<IVideoWindow>(FGraph);
    if (!FVideoWindow)
        return false;
    FVideoWindow->put_Owner(this);
    FVideoWindow->put_WindowStyle(WS_CHILD | WS_CLIPSIBLINGS);
    FVideoWindow->SetWindowPosition(0, 0, width(), height());
    FVideoWindow->put_Visible(true);
    return true;
}

void TVideoCapture::ApplyFrameRate() {
    HRESULT result = UseFrameRate ? E_FAIL : S_OK;
    if (UseFrameRate && FVideoStreamConfig) {
        TAMMediaType format;
        if (SUCCEEDED(FVideoStreamConfig->GetFormat(format)) &&
            format.formattype == FORMAT_VideoInfo) {
            format.AvgTimePerFrame = std::llround(10'000'000.0 / FFrameRate);
            result = FVideoStreamConfig->SetFormat(format);
            if (FAILED(result))
                ShowError("%x: can't set preview frame rate!", result);
        }
    }
    if (FAILED(result))
        ShowError("Cannot set frame rate for capture!");
}

bool TVideoCapture::StartPreview() {
    if (FGraph && FPreviewing)
        return true;
    if (!BuildGraph())
        return false;
    if (WantCapture)
        ControlCaptureStreams(false);
    const auto control = QueryInterface<IMediaControl>(FGraph);
    HRESULT result = control ? control->Run() : E_NOINTERFACE;
    if (control && FAILED(result))
        control->Stop();
    if (FAILED(result)) {
        ShowError("Error %x: Cannot run preview graph!", result);
        return false;
    }
    FPreviewing = true;
    if (OnStartPreview)
        OnStartPreview(this);
    return true;
}

bool TVideoCapture::StopPreview() {
    if (!FPreviewing)
        return false;
    if (FGraph) {
        const auto control = QueryInterface<IMediaControl>(FGraph);
        const HRESULT result = control ? control->Stop() : E_NOINTERFACE;
        if (FAILED(result)) {
            ShowError("Error %x: Cannot stop preview graph!", result);
            return false;
        }
    }
    update();
    if (LiveSink)
        LiveSink->Ended();
    if (OnStopPreview)
        OnStopPreview(this);
    FPreviewing = false;
    return true;
}

bool TVideoCapture::StopCapture() {
    // No capture to a file is ever started in this program, so there is never one to stop.
    return false;
}

void TVideoCapture::ControlCaptureStreams(bool run) {
    if (!FGraph)
        return;
    std::vector<std::shared_ptr<IPin>> pins;
    if (FMux && SUCCEEDED(FMux->EnumPins(pins))) {
        for (const auto& pin : pins) {
            TPinDirection direction{};
            if (FAILED(pin->QueryDirection(direction)) || direction != TPinDirection::Input)
                continue;
            if (const auto control = QueryInterface<IAMStreamControl>(pin))
                run ? control->StartAt() : control->StopAt(false);
        }
    }
    std::shared_ptr<IBaseFilter> smartTee;
    std::shared_ptr<IPin> capturePin;
    if (SUCCEEDED(FGraph->FindFilterByName(SmartTeeName, smartTee)) && smartTee &&
        SUCCEEDED(FBuilder->FindPin(smartTee, TPinDirection::Output, TPinCategory::None, nullptr,
                                    false, 0, capturePin))) {
        if (const auto control = QueryInterface<IAMStreamControl>(capturePin))
            run ? control->StartAt() : control->StopAt(true);
    }
}

void TVideoCapture::HandleGraphEvents() {
    const bool wasCapturing = FCapturing;
    const bool wasPreviewing = FPreviewing;
    if (!FEvents)
        return;
    long code = 0;
    std::intptr_t param1 = 0;
    std::intptr_t param2 = 0;
    // The event source may go away inside a handler; keep it for the whole drain.
    const std::shared_ptr<IMediaEventEx> events = FEvents;
    while (SUCCEEDED(events->GetEvent(code, param1, param2))) {
        events->FreeEventParams(code, param1, param2);
        if (code == EC_ERRORABORT) {
            if (LiveSink)
                LiveSink->Ended();
            StopCapture();
            if (OnAborted)
                OnAborted(this);
        } else if (code == EC_DEVICE_LOST) {
            WaitForLostDevice();
            if (OnDeviceLost)
                OnDeviceLost(this);
            StopCapture();
            StopPreview();
        }
    }
    if ((FCapturing != wasCapturing || FPreviewing != wasPreviewing) && WantPreview)
        StartPreview();
}

void TVideoCapture::TearDownGraph() {
    if (!FGraphBuilt)
        return;
    if (FCapturing)
        StopCapture();
    if (FPreviewing)
        StopPreview();
    if (FVideoWindow) {
        FVideoWindow->put_Visible(false);
        FVideoWindow->put_Owner(nullptr);
    }
    FVideoWindow.reset();
    FFileSink.reset();
    FMuxConfig.reset();
    FMux.reset();
    FGrabber.reset();
    FEvents.reset();
    if (FVideoCaptureFilter)
        RemoveDownstream(FVideoCaptureFilter);
    if (FAudioCaptureFilter)
        RemoveDownstream(FAudioCaptureFilter);
    FGraphBuilt = false;
    if (WantCapture)
        QFile::remove(ResolveFileName(FTempCaptureFileName));
}

void TVideoCapture::RemoveDownstream(const std::shared_ptr<IBaseFilter>& filter) {
    std::vector<std::shared_ptr<IPin>> pins;
    if (!filter || !FGraph || FAILED(filter->EnumPins(pins)))
        return;
    for (const auto& pin : pins) {
        std::shared_ptr<IPin> connected;
        if (FAILED(pin->ConnectedTo(connected)) || !connected)
            continue;
        TPinInfo info;
        if (FAILED(connected->QueryPinInfo(info)))
            return;
        if (info.Direction != TPinDirection::Input)
            continue;
        RemoveDownstream(info.Filter);
        FGraph->Disconnect(connected);
        FGraph->Disconnect(pin);
        FGraph->RemoveFilter(info.Filter);
    }
}

void TVideoCapture::SetDVResolution(TDVResolution value) {
    if (FCapturing)
        return;
    FDVResolution = value;
    if (!FGraph || !IsDVSource() || value == TDVResolution::dvrDontWorry)
        return;
    TearDownGraph();
    if (const auto decoder = QueryInterface<IIPDVDec>(FDVDecoder))
        decoder->put_IPDisplay(DVDisplayFor(value));
}

void TVideoCapture::ApplyMasterStream(int index) {
    if (!FMuxConfig || FAILED(FMuxConfig->SetMasterStream(index))) {
        ShowError("SetMasterStream failed!");
        return;
    }
    FMasterStream = index;
}

bool TVideoCapture::AllocCaptureFile(std::uint32_t megabytes) {
    if (!FBuilder && FAILED(CreateInstance(*Platform, TCLSID::CaptureGraphBuilder2, FBuilder)))
        return false;
    const std::uint64_t bytes = std::uint64_t{megabytes} * 1'048'576u;
    return SUCCEEDED(FBuilder->AllocCapFile(FCaptureFile.toStdString(), bytes));
}

void TVideoCapture::SetTempCaptureFileName(const QString& name) {
    FTempCaptureFileName = name;
    if (FFileSink)
        FFileSink->SetFileName(ResolveFileName(name).toStdString());
}
