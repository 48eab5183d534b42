#pragma once

#include "Guid.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>

// Pixel format of the bitmaps handed to the application; stored by ordinal.
enum class TPixelFormat : int {
    pfDevice,
    pf1bit,
    pf4bit,
    pf8bit,
    pf15bit,
    pf16bit,
    pf24bit,
    pf32bit,
    pfCustom
};

// Picture size the DV decoder produces; stored by ordinal.
enum class TDVResolution : int { dvrDontWorry, dvrFull, dvrHalf, dvrQuater, dvrDC };

// One video mode of a capture device. All fields zero stands for no mode.
struct TVCapMode {
    TGuid SubType;
    std::int32_t Width = 0;
    std::int32_t Height = 0;
    std::uint32_t Bits = 0;

    bool IsEmpty() const { return *this == TVCapMode{}; }
    friend bool operator==(const TVCapMode&, const TVCapMode&) = default;
};

// One audio mode of a capture device. All fields zero stands for no mode.
struct TACapMode {
    TGuid SubType;
    std::uint32_t SampleRate = 0;
    std::uint32_t SampleSize = 0;
    std::uint32_t Channels = 0;
    std::uint32_t AvgSampleRate = 0;

    bool IsEmpty() const { return *this == TACapMode{}; }
    friend bool operator==(const TACapMode&, const TACapMode&) = default;
};

// The capture configuration: devices, compressors, graph options and the chosen modes.
// Its text form is what the settings file stores under Camera/Config; the field names are the
// keys of that text.
class TGraphConfig {
  public:
    TGraphConfig() { SetDefaults(); }

    // Resets every field except VCompState, which belongs to whoever sets the compressor up.
    void SetDefaults();
    QString SaveToString() const;
    // Takes every field from the text; anything missing or unreadable gets its default.
    void LoadFromString(const QString& text);

    friend bool operator==(const TGraphConfig&, const TGraphConfig&) = default;

    QString VCapSource;
    QString ACapSource;
    QString VComp;
    QString AComp;
    TACapMode ACapMode;
    TVCapMode VCapMode;
    QByteArray VCompState;
    bool WantCapture = false;
    bool WantPreview = false;
    bool WantBitmaps = false;
    bool WantAudio = false;
    bool WantDVAudio = false;
    bool WantAudioPreview = true;
    TPixelFormat PixelFormat = TPixelFormat::pf24bit;
    TDVResolution DVResolution = TDVResolution::dvrFull;
    QString CaptureFileName;
    bool UseTempFile = false;
    QString TempCaptureFileName;
    bool DoPreallocFile = false;
    std::uint32_t PreallocFileSize = 0;
};

// Joins lines into one comma-separated text, quoting the lines that would not read back alone.
QString ToCommaText(const QStringList& lines);
// Splits comma text into its lines; quoted items may hold blanks, commas and doubled quotes.
QStringList FromCommaText(const QString& text);

// Two upper-case hex digits per byte, high half first.
QString BytesToHex(const QByteArray& bytes);
// Half as many bytes as hex digits (an odd count reads as if led by "0"); conversion stops at
// the first pair that is not hex and leaves the rest zero.
QByteArray HexToBytes(const QString& hex);

// The GUID's 16 bytes in memory layout as 32 hex digits.
QString GuidToHex(const TGuid& guid);
// The first 16 bytes of the hex text as a GUID; missing bytes are zero.
TGuid GuidFromHex(const QString& hex);
