#include "CaptureUtils.h"

#include <algorithm>
#include <array>

namespace {

std::array<TCapDeviceList, 4>& Lists() {
    // The lists are shared by every capture component of the process, as device identity is.
    static std::array<TCapDeviceList, 4> lists;
    return lists;
}

QStringList UniqueNames(ICapturePlatform& platform, TDeviceCategory category, bool refresh) {
    TCapDeviceList& list = DeviceList(category);
    if (refresh || list.empty())
        EnumerateDevices(platform, category, list);
    QStringList names;
    for (const TCapDeviceInfo& device : list)
        names << device.UniqueName;
    return names;
}

} // namespace

TCapDeviceList& DeviceList(TDeviceCategory category) {
    return Lists().at(static_cast<std::size_t>(category));
}
TCapDeviceList& VideoCaptureDevices() {
    return DeviceList(TDeviceCategory::VideoInputDevice);
}
TCapDeviceList& AudioCaptureDevices() {
    return DeviceList(TDeviceCategory::AudioInputDevice);
}
TCapDeviceList& VideoCompressors() {
    return DeviceList(TDeviceCategory::VideoCompressor);
}
TCapDeviceList& AudioCompressors() {
    return DeviceList(TDeviceCategory::AudioCompressor);
}

void EnumerateDevices(ICapturePlatform& platform, TDeviceCategory category, TCapDeviceList& list) {
    list.clear();
    std::vector<std::shared_ptr<IMoniker>> monikers;
    if (platform.CreateClassEnumerator(category, monikers) != S_OK)
        return;
    for (const auto& moniker : monikers) {
        std::string name;
        if (!moniker || FAILED(moniker->ReadFriendlyName(name)))
            continue;
        const QString friendlyName = QString::fromStdString(name);
        if (friendlyName.trimmed().isEmpty())
            continue;
        const auto sameName = std::count_if(list.begin(), list.end(), [&](const TCapDeviceInfo& d) {
            return d.FriendlyName == friendlyName;
        });
        const QString uniqueName =
            sameName == 0 ? friendlyName
                          : QStringLiteral("%1 (%2)").arg(friendlyName).arg(sameName + 1);
        list.push_back({friendlyName, uniqueName, moniker});
    }
}

void RefreshAllDevices(ICapturePlatform& platform) {
    for (const TDeviceCategory category :
         {TDeviceCategory::VideoInputDevice, TDeviceCategory::AudioInputDevice,
          TDeviceCategory::VideoCompressor, TDeviceCategory::AudioCompressor})
        EnumerateDevices(platform, category, DeviceList(category));
}

void ClearAllDevices() {
    for (TCapDeviceList& list : Lists())
        list.clear();
}

QStringList VideoCaptureDeviceNames(ICapturePlatform& platform, bool refresh) {
    return UniqueNames(platform, TDeviceCategory::VideoInputDevice, refresh);
}
QStringList AudioCaptureDeviceNames(ICapturePlatform& platform, bool refresh) {
    return UniqueNames(platform, TDeviceCategory::AudioInputDevice, refresh);
}
QStringList VideoCompressorNames(ICapturePlatform& platform, bool refresh) {
    return UniqueNames(platform, TDeviceCategory::VideoCompressor, refresh);
}
QStringList AudioCompressorNames(ICapturePlatform& platform, bool refresh) {
    return UniqueNames(platform, TDeviceCategory::AudioCompressor, refresh);
}

std::shared_ptr<IMoniker> FindDeviceMoniker(const TCapDeviceList& list, const QString& name) {
    const auto found = std::find_if(list.begin(), list.end(),
                                    [&](const TCapDeviceInfo& d) { return d.UniqueName == name; });
    return found == list.end() ? nullptr : found->Moniker;
}

QString FindDeviceName(const TCapDeviceList& list, const std::shared_ptr<IMoniker>& moniker) {
    const auto found = std::find_if(list.begin(), list.end(),
                                    [&](const TCapDeviceInfo& d) { return d.Moniker == moniker; });
    return found == list.end() ? QString() : found->UniqueName;
}

namespace {

struct TSubtypeLabel {
    TGuid SubType;
    const char* Label;
};

// Tested in this order; formats without a label show their dimensions only.
const std::array<TSubtypeLabel, 12> SubtypeLabels = {{
    {MEDIASUBTYPE_YVU9, "(YVU9)"},
    {MEDIASUBTYPE_Y411, "(Y411)"},
    {MEDIASUBTYPE_Y41P, "(Y41P)"},
    {MEDIASUBTYPE_YUY2, "(YUY2)"},
    {MEDIASUBTYPE_YVYU, "(YVYU)"},
    {MEDIASUBTYPE_UYVY, "(UYVY)"},
    {MEDIASUBTYPE_Y211, "(Y211)"},
    {MEDIASUBTYPE_RGB24, "(RGB24)"},
    {MEDIASUBTYPE_RGB32, "(RGB32)"},
    {MEDIASUBTYPE_RGB565, "(RGB565)"},
    {MEDIASUBTYPE_RGB555, "(RGB555)"},
    {MEDIASUBTYPE_ARGB32, "(ARGB32)"},
}};

} // namespace

QString VCapModeName(const TVCapMode& mode) {
    QString name = QString::asprintf("%dx%dx%ub", mode.Width, mode.Height, mode.Bits);
    const auto label =
        std::find_if(SubtypeLabels.begin(), SubtypeLabels.end(),
                     [&](const TSubtypeLabel& l) { return l.SubType == mode.SubType; });
    if (label != SubtypeLabels.end())
        name += QLatin1Char(' ') + QLatin1String(label->Label);
    return name;
}

QString ACapModeName(const TACapMode& mode) {
    if (mode.SubType == MEDIASUBTYPE_PCM)
        return QString::asprintf("%uHzx%ubx%u", mode.SampleRate, mode.SampleSize, mode.Channels);
    const unsigned long long kiloBits = std::uint64_t{mode.AvgSampleRate} * 8 / 1000;
    return QString::asprintf("%llukBits/s, %uHz, %u", kiloBits, mode.SampleRate, mode.Channels);
}

bool SameVCapMode(const TVCapMode& a, const TVCapMode& b) {
    return a == b;
}

bool SameACapMode(const TACapMode& a, const TACapMode& b) {
    if (a.SubType != b.SubType || a.Channels != b.Channels)
        return false;
    if (a.SubType == MEDIASUBTYPE_PCM)
        return a.SampleRate == b.SampleRate && a.SampleSize == b.SampleSize;
    return a.AvgSampleRate == b.AvgSampleRate && a.SampleRate == b.SampleRate;
}
