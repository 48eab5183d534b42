#pragma once

#include "CapturePlatform.h"
#include "GraphConfig.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

// One enumerated device or compressor. UniqueName tells apart devices of the same name:
// the n-th one of a name is called "name (n)".
struct TCapDeviceInfo {
    QString FriendlyName;
    QString UniqueName;
    std::shared_ptr<IMoniker> Moniker;
};

using TCapDeviceList = std::vector<TCapDeviceInfo>;

// The four process-wide device lists, in the platform's enumeration order.
TCapDeviceList& VideoCaptureDevices();
TCapDeviceList& AudioCaptureDevices();
TCapDeviceList& VideoCompressors();
TCapDeviceList& AudioCompressors();
TCapDeviceList& DeviceList(TDeviceCategory category);

void EnumerateDevices(ICapturePlatform& platform, TDeviceCategory category, TCapDeviceList& list);
void RefreshAllDevices(ICapturePlatform& platform);
void ClearAllDevices();

QStringList VideoCaptureDeviceNames(ICapturePlatform& platform, bool refresh);
QStringList AudioCaptureDeviceNames(ICapturePlatform& platform, bool refresh);
QStringList VideoCompressorNames(ICapturePlatform& platform, bool refresh);
QStringList AudioCompressorNames(ICapturePlatform& platform, bool refresh);

// The moniker of the first entry whose unique name is exactly the name; nullptr when none.
std::shared_ptr<IMoniker> FindDeviceMoniker(const TCapDeviceList& list, const QString& name);
// The unique name of the entry holding that very moniker; empty when none does.
QString FindDeviceName(const TCapDeviceList& list, const std::shared_ptr<IMoniker>& moniker);

// Display texts of modes: "320x240x16b (YUY2)", "44100Hzx16bx2", "128kBits/s, 16000Hz, 1".
QString VCapModeName(const TVCapMode& mode);
QString ACapModeName(const TACapMode& mode);
bool SameVCapMode(const TVCapMode& a, const TVCapMode& b);
// PCM modes match on rate and sample size, compressed ones on average and sample rate.
bool SameACapMode(const TACapMode& a, const TACapMode& b);
