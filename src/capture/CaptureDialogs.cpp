// The configuration dialogs the chosen devices bring with them.
#include "VideoCapture.h"

#include <array>

namespace {

constexpr std::array<const char*, DialogKindCount> DialogNames = {
    "Video Format",     "Video Source",      "Video Display",        "Video Capture Filter",
    "Video Crossbar",   "TV Tuner",          "Audio Capture Filter", "Audio Crossbar",
    "TV Audio",         "Video Capture Pin", "Video Preview Pin",    "Audio Capture Pin",
    "Video Compressor", "Audio Compressor",
};

enum TDialogKind : int {
    VideoFormat = 0,
    VideoSource = 1,
    VideoDisplay = 2,
    VideoCaptureFilter = 3,
    TVTuner = 5,
    AudioCaptureFilter = 6,
    TVAudio = 8,
    VideoCapturePin = 9,
    VideoPreviewPin = 10,
    AudioCapturePin = 11,
    VideoCompressor = 12,
    AudioCompressor = 13,
};

// Where the platform places a property frame within the component's window.
constexpr int FrameLeft = 30;
constexpr int FrameTop = 30;

} // namespace

QString DialogKindName(int kind) {
    if (kind < 0 || kind >= DialogKindCount)
        return {};
    return QString::fromLatin1(DialogNames[static_cast<std::size_t>(kind)]);
}

bool TVideoCapture::HasPages(const std::shared_ptr<IUnknown>& object) const {
    const auto pages = QueryInterface<ISpecifyPropertyPages>(object);
    int count = 0;
    return pages && SUCCEEDED(pages->GetPages(count)) && count > 0;
}

// An interface on the video capture filter's path (interleaved first, then the given type),
// or on the audio capture filter's for an audio type.
std::shared_ptr<IUnknown> TVideoCapture::FindDialogObject(TIID iid, const TGuid* type,
                                                          TPinCategory category) {
    if (!FBuilder)
        return nullptr;
    const bool audio = type != nullptr && *type == MEDIATYPE_Audio;
    const std::shared_ptr<IBaseFilter>& filter = audio ? FAudioCaptureFilter : FVideoCaptureFilter;
    if (!filter)
        return nullptr;
    std::shared_ptr<IUnknown> found;
    if (!audio && type == nullptr &&
        SUCCEEDED(FBuilder->FindInterface(category, &MEDIATYPE_Interleaved, filter, iid, found)))
        return found;
    const TGuid* searched = type != nullptr ? type : &MEDIATYPE_Video;
    if (SUCCEEDED(FBuilder->FindInterface(category, searched, filter, iid, found)))
        return found;
    return nullptr;
}

void TVideoCapture::FindDialogs() {
    FDialogs = 0;
    const auto offer = [this](int kind) {
        FDialogs |= static_cast<std::uint16_t>(1u << kind);
    };

    if (FVfwCaptureDialogs) {
        if (FVfwCaptureDialogs->HasDialog(VfwCaptureDialog_Format) == S_OK)
            offer(VideoFormat);
        if (FVfwCaptureDialogs->HasDialog(VfwCaptureDialog_Source) == S_OK)
            offer(VideoSource);
        if (FVfwCaptureDialogs->HasDialog(VfwCaptureDialog_Display) == S_OK)
            offer(VideoDisplay);
    }
    if (FAudioCaptureFilter && HasPages(FAudioCaptureFilter))
        offer(AudioCaptureFilter);
    if (FVideoCompressorFilter && HasPages(FVideoCompressorFilter))
        offer(VideoCompressor);
    else if (FVfwCompressDialogs &&
             FVfwCompressDialogs->ShowDialog(VfwCompressDialog_QueryConfig, this) == S_OK)
        offer(VideoCompressor);

    if (!FVideoCaptureFilter || HasDialog(VideoFormat))
        return;
    if (HasPages(FVideoCaptureFilter))
        offer(VideoCaptureFilter);
    if (HasPages(FindDialogObject(TIID::IAMStreamConfig, nullptr)))
        offer(VideoCapturePin);
    if (HasPages(FindDialogObject(TIID::IAMStreamConfig, nullptr, TPinCategory::Preview)))
        offer(VideoPreviewPin);
    if (HasPages(FindDialogObject(TIID::IAMTVTuner, nullptr)))
        offer(TVTuner);
    if (!FAudioCaptureFilter)
        return;
    if (FAudioCompressorFilter && HasPages(FAudioCompressorFilter))
        offer(AudioCompressor);
    if (HasPages(FindDialogObject(TIID::IAMStreamConfig, &MEDIATYPE_Audio)))
        offer(AudioCapturePin);
    if (HasPages(FindDialogObject(TIID::IAMTVAudio, &MEDIATYPE_Audio)))
        offer(TVAudio);
}

void TVideoCapture::ShowPropertyFrame(const std::shared_ptr<IUnknown>& object) {
    // A dialog that cannot open shows nothing; the caller goes on all the same.
    if (object)
        Platform->OleCreatePropertyFrame(this, FrameLeft, FrameTop, object);
}

void TVideoCapture::ShowAroundStoppedPreview(const std::function<void()>& show) {
    StopPreview();
    show();
    if (WantPreview)
        StartPreview();
}

bool TVideoCapture::ShowDialog(int kind) {
    if (kind < 0 || kind > 15 || !HasDialog(kind) || FCapturing)
        return false;
    switch (kind) {
    case VideoFormat:
        // The format dialog is shown over the running preview; a format the graph cannot
        // connect with takes the graph down so that the next start builds it anew.
        if (FVfwCaptureDialogs &&
            FVfwCaptureDialogs->ShowDialog(VfwCaptureDialog_Format, this) == VFW_E_CANNOT_CONNECT)
            TearDownGraph();
        if (WantPreview)
            StartPreview();
        break;
    case VideoSource:
    case VideoDisplay: {
        const int which = kind == VideoSource ? VfwCaptureDialog_Source : VfwCaptureDialog_Display;
        ShowAroundStoppedPreview([&] {
            if (FVfwCaptureDialogs)
                FVfwCaptureDialogs->ShowDialog(which, this);
        });
        break;
    }
    case VideoCaptureFilter:
        ShowPropertyFrame(FVideoCaptureFilter);
        break;
    case TVTuner:
        ShowPropertyFrame(FindDialogObject(TIID::IAMTVTuner, nullptr));
        break;
    case AudioCaptureFilter:
        ShowPropertyFrame(FAudioCaptureFilter);
        break;
    case TVAudio:
        ShowPropertyFrame(FindDialogObject(TIID::IAMTVAudio, &MEDIATYPE_Audio));
        break;
    case VideoCapturePin:
    case VideoPreviewPin: {
        // A new format needs a new graph downstream of the pin.
        TearDownGraph();
        const TPinCategory category =
            kind == VideoCapturePin ? TPinCategory::Capture : TPinCategory::Preview;
        ShowPropertyFrame(FindDialogObject(TIID::IAMStreamConfig, &MEDIATYPE_Video, category));
        if (WantPreview)
            StartPreview();
        break;
    }
    case AudioCapturePin:
        ShowAroundStoppedPreview(
            [&] { ShowPropertyFrame(FindDialogObject(TIID::IAMStreamConfig, &MEDIATYPE_Audio)); });
        break;
    case VideoCompressor:
        ShowAroundStoppedPreview([&] {
            if (FVfwCompressDialogs)
                FVfwCompressDialogs->ShowDialog(VfwCompressDialog_Config, this);
            else
                ShowPropertyFrame(FVideoCompressorFilter);
        });
        break;
    case AudioCompressor:
        ShowAroundStoppedPreview([&] { ShowPropertyFrame(FAudioCompressorFilter); });
        break;
    default:
        break;
    }
    return true;
}
