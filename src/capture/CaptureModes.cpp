// Video and audio modes of the chosen devices.
#include "VideoCapture.h"

#include "CaptureUtils.h"

#include <array>
#include <cstdlib>

namespace {

struct TDVMode {
    TVCapMode Mode;
    TDVResolution Resolution;
};

// A DV camcorder offers what its decoder can make of the stream, not what its pin lists.
const std::array<TDVMode, 4> DVModes = {{
    {{{}, 720, 576, 24}, TDVResolution::dvrFull},
    {{{}, 360, 288, 24}, TDVResolution::dvrHalf},
    {{{}, 180, 144, 24}, TDVResolution::dvrQuater},
    {{{}, 88, 72, 24}, TDVResolution::dvrDC},
}};

TVCapMode VideoModeOf(const TAMMediaType& type) {
    TVCapMode mode;
    mode.SubType = type.subtype;
    if ((type.formattype == FORMAT_VideoInfo || type.formattype == FORMAT_VideoInfo2) &&
        type.Bitmap) {
        mode.Width = std::abs(type.Bitmap->biWidth);
        mode.Height = std::abs(type.Bitmap->biHeight);
        mode.Bits = type.Bitmap->biBitCount;
    }
    return mode;
}

TACapMode AudioModeOf(const TAMMediaType& type) {
    TACapMode mode;
    if (type.formattype != FORMAT_WaveFormatEx || !type.Wave)
        return mode;
    mode.SubType = type.subtype;
    mode.SampleRate = type.Wave->nSamplesPerSec;
    mode.SampleSize = type.Wave->wBitsPerSample;
    mode.Channels = type.Wave->nChannels;
    mode.AvgSampleRate = type.Wave->nAvgBytesPerSec;
    return mode;
}

int CapabilityCount(const std::shared_ptr<IAMStreamConfig>& config) {
    int count = 0;
    if (!config || FAILED(config->GetNumberOfCapabilities(count)))
        return 0;
    return count;
}

} // namespace

int TVideoCapture::VideoModeCount() {
    if (IsDVSource())
        return static_cast<int>(DVModes.size());
    return CapabilityCount(FVideoStreamConfig);
}

TVCapMode TVideoCapture::GetVideoMode(int index) {
    if (IsDVSource())
        return index >= 0 && index < static_cast<int>(DVModes.size()) ? DVModes[index].Mode
                                                                      : TVCapMode{};
    TAMMediaType type;
    if (index < 0 || index >= VideoModeCount() ||
        FAILED(FVideoStreamConfig->GetStreamCaps(index, type)))
        return {};
    return VideoModeOf(type);
}

TVCapMode TVideoCapture::GetCurrentVideoMode() {
    if (IsDVSource()) {
        int display = 0;
        const auto decoder = QueryInterface<IIPDVDec>(FDVDecoder);
        if (decoder && SUCCEEDED(decoder->get_IPDisplay(display)) && display >= DVRESOLUTION_FULL &&
            display <= DVRESOLUTION_DC)
            return DVModes[static_cast<std::size_t>(display - DVRESOLUTION_FULL)].Mode;
        return {};
    }
    TAMMediaType type;
    if (!FVideoStreamConfig || FAILED(FVideoStreamConfig->GetFormat(type)))
        return {};
    return VideoModeOf(type);
}

int TVideoCapture::CurrentVideoModeIndex() {
    const TVCapMode current = GetCurrentVideoMode();
    for (int i = 0; i < VideoModeCount(); ++i)
        if (GetVideoMode(i) == current)
            return i;
    return -1;
}

bool TVideoCapture::SetVideoMode(int index) {
    if (FCapturing)
        return false;
    TearDownGraph();
    if (IsDVSource()) {
        if (index >= 0 && index < static_cast<int>(DVModes.size()))
            FDVResolution = DVModes[static_cast<std::size_t>(index)].Resolution;
        return false;
    }
    TAMMediaType type;
    if (index < 0 || index >= VideoModeCount() ||
        FAILED(FVideoStreamConfig->GetStreamCaps(index, type)) ||
        FAILED(FVideoStreamConfig->SetFormat(type)))
        return false;
    if (OnChangeVCapMode)
        OnChangeVCapMode(this);
    return true;
}

bool TVideoCapture::SelectVideoMode(const TVCapMode& mode) {
    if (mode == GetCurrentVideoMode())
        return true;
    for (int i = 0; i < VideoModeCount(); ++i)
        if (GetVideoMode(i) == mode)
            return SetVideoMode(i);
    return false;
}

int TVideoCapture::AudioModeCount() {
    return CapabilityCount(FAudioStreamConfig);
}

TACapMode TVideoCapture::GetAudioMode(int index) {
    TAMMediaType type;
    if (index < 0 || index >= AudioModeCount() ||
        FAILED(FAudioStreamConfig->GetStreamCaps(index, type)))
        return {};
    return AudioModeOf(type);
}

TACapMode TVideoCapture::GetCurrentAudioMode() {
    TAMMediaType type;
    if (!FAudioStreamConfig || FAILED(FAudioStreamConfig->GetFormat(type)))
        return {};
    return AudioModeOf(type);
}

bool TVideoCapture::SetAudioMode(int index) {
    if (FCapturing)
        return false;
    const bool wasPreviewing = FPreviewing;
    TAMMediaType type;
    bool changed = false;
    if (index >= 0 && index < AudioModeCount() &&
        SUCCEEDED(FAudioStreamConfig->GetStreamCaps(index, type))) {
        StopPreview();
        changed = SUCCEEDED(FAudioStreamConfig->SetFormat(type));
    }
    if (wasPreviewing)
        StartPreview();
    if (changed && OnChangeACapMode)
        OnChangeACapMode(this);
    return changed;
}

bool TVideoCapture::SelectAudioMode(const TACapMode& mode) {
    if (SameACapMode(mode, GetCurrentAudioMode()))
        return true;
    for (int i = 0; i < AudioModeCount(); ++i)
        if (SameACapMode(GetAudioMode(i), mode))
            return SetAudioMode(i);
    return false;
}
