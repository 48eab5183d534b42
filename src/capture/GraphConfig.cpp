#include "GraphConfig.h"

#include <QLatin1String>
#include <QStringView>
#include <algorithm>
#include <array>
#include <limits>
#include <optional>
#include <utility>

namespace {

// Keys of the text form; they are the field names, and the mode fields carry their record's name.
constexpr QLatin1String kWantBitmaps("WantBitmaps");
constexpr QLatin1String kWantCapture("WantCapture");
constexpr QLatin1String kWantPreview("WantPreview");
constexpr QLatin1String kWantDVAudio("WantDVAudio");
constexpr QLatin1String kWantAudio("WantAudio");
constexpr QLatin1String kWantAudioPreview("WantAudioPreview");
constexpr QLatin1String kDoPreallocFile("DoPreallocFile");
constexpr QLatin1String kUseTempFile("UseTempFile");
constexpr QLatin1String kPreallocFileSize("PreallocFileSize");
constexpr QLatin1String kTempCaptureFileName("TempCaptureFileName");
constexpr QLatin1String kCaptureFileName("CaptureFileName");
constexpr QLatin1String kDVResolution("DVResolution");
constexpr QLatin1String kPixelFormat("PixelFormat");
constexpr QLatin1String kVCapSource("VCapSource");
constexpr QLatin1String kACapSource("ACapSource");
constexpr QLatin1String kAComp("AComp");
constexpr QLatin1String kVComp("VComp");
constexpr QLatin1String kACapModeSubType("ACapModeMediaSubType");
constexpr QLatin1String kACapModeSampleRate("ACapModeSampleRate");
constexpr QLatin1String kACapModeAvgSampleRate("ACapModeAvgSampleRate");
constexpr QLatin1String kACapModeSampleSize("ACapModeSampleSize");
constexpr QLatin1String kACapModeChannels("ACapModeChannels");
constexpr QLatin1String kVCapModeSubType("VCapModeMediaSubType");
constexpr QLatin1String kVCapModeWidth("VCapModeWidth");
constexpr QLatin1String kVCapModeHeight("VCapModeHeight");
constexpr QLatin1String kVCapModeBits("VCapModeBits");
constexpr QLatin1String kVCompState("VCompState");

constexpr QLatin1String kDefaultCaptureFileName("capture.avi");
constexpr QLatin1String kDefaultTempCaptureFileName("captemp.avi");

constexpr int kDefaultPixelFormat = static_cast<int>(TPixelFormat::pf24bit);
constexpr int kDefaultDVResolution = static_cast<int>(TDVResolution::dvrFull);
constexpr int kLastPixelFormat = static_cast<int>(TPixelFormat::pfCustom);
constexpr int kLastDVResolution = static_cast<int>(TDVResolution::dvrDC);

constexpr std::array<char, 16> kHexDigits = {'0', '1', '2', '3', '4', '5', '6', '7',
                                             '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};

// ---- Comma text -------------------------------------------------------------------------------

// Blanks and control characters separate items; NUL is not among them (see FromCommaText).
bool IsSeparatorBlank(QChar c) {
    return c.unicode() >= 1 && c.unicode() <= 32;
}

bool EndsBareItem(QChar c) {
    return c.unicode() <= 32 || c == QLatin1Char(',');
}

bool NeedsQuotes(const QString& item) {
    return std::any_of(item.cbegin(), item.cend(), [](QChar c) {
        return c.unicode() <= 32 || c == QLatin1Char('"') || c == QLatin1Char(',');
    });
}

QString Quoted(QString item) {
    item.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + item + QLatin1Char('"');
}

// Walks comma text item by item.
class TCommaTextReader {
  public:
    explicit TCommaTextReader(QStringView text) : Text(text) {}

    QStringList ReadAll() {
        QStringList lines;
        SkipBlanks();
        while (!AtEnd()) {
            lines << (Peek() == QLatin1Char('"') ? ReadQuotedItem() : ReadBareItem());
            SkipBlanks();
            if (!AtEnd() && Peek() == QLatin1Char(',')) {
                ++Pos;
                SkipBlanks();
            }
        }
        return lines;
    }

  private:
    bool AtEnd() const { return Pos >= Text.size(); }
    QChar Peek() const { return Text[Pos]; }

    void SkipBlanks() {
        while (!AtEnd() && IsSeparatorBlank(Peek()))
            ++Pos;
    }

    QString ReadBareItem() {
        const qsizetype start = Pos;
        while (!AtEnd() && !EndsBareItem(Peek()))
            ++Pos;
        return Text.sliced(start, Pos - start).toString();
    }

    // A doubled quote stands for one quote; without a closing quote the item takes the rest.
    QString ReadQuotedItem() {
        QString item;
        ++Pos;
        while (!AtEnd()) {
            const QChar c = Peek();
            ++Pos;
            if (c != QLatin1Char('"')) {
                item += c;
            } else if (!AtEnd() && Peek() == QLatin1Char('"')) {
                item += c;
                ++Pos;
            } else {
                break;
            }
        }
        return item;
    }

    QStringView Text;
    qsizetype Pos = 0;
};

// ---- Hex --------------------------------------------------------------------------------------

int HexDigitValue(QChar c) {
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    return -1;
}

// ---- Reading values by key --------------------------------------------------------------------

// Only plain decimal with an optional leading "-" counts as an integer. A "+" sign, blanks
// around the digits or a hex prefix make the value unreadable, so it takes its default; this
// keeps quoted values such as " 5" from being read differently from bare ones.
std::optional<std::int64_t> ParseDecimal(QStringView text) {
    const bool negative = text.startsWith(QLatin1Char('-'));
    const QStringView digits = negative ? text.sliced(1) : text;
    // Eleven digits already exceed every 32-bit value, so the sum below cannot overflow.
    if (digits.isEmpty() || digits.size() > 11)
        return std::nullopt;
    std::int64_t value = 0;
    for (const QChar c : digits) {
        if (c.unicode() < u'0' || c.unicode() > u'9')
            return std::nullopt;
        value = value * 10 + (c.unicode() - u'0');
    }
    return negative ? -value : value;
}

// The key=value lines of a configuration text.
class TKeyValues {
  public:
    explicit TKeyValues(const QString& text) : Lines(FromCommaText(text)) {}

    // The value after the first "=" of the first line whose key matches regardless of case.
    QString Text(QLatin1String key) const {
        for (const QString& line : Lines) {
            const qsizetype equals = line.indexOf(QLatin1Char('='));
            if (equals >= 0 &&
                QStringView(line).first(equals).compare(key, Qt::CaseInsensitive) == 0)
                return line.sliced(equals + 1);
        }
        return {};
    }

    QString TextOr(QLatin1String key, QLatin1String fallback) const {
        const QString value = Text(key);
        return value.isEmpty() ? QString(fallback) : value;
    }

    std::int32_t Signed(QLatin1String key, std::int32_t fallback) const {
        const auto value = ParseDecimal(Text(key));
        if (!value || *value < std::numeric_limits<std::int32_t>::min() ||
            *value > std::numeric_limits<std::int32_t>::max())
            return fallback;
        return static_cast<std::int32_t>(*value);
    }

    // Unsigned fields take anything that fits 32 bits; a negative value keeps its 32-bit
    // pattern, as the field itself would hold it.
    std::uint32_t Unsigned(QLatin1String key, std::uint32_t fallback) const {
        const auto value = ParseDecimal(Text(key));
        if (!value || *value < std::numeric_limits<std::int32_t>::min() ||
            *value > std::numeric_limits<std::uint32_t>::max())
            return fallback;
        return static_cast<std::uint32_t>(*value);
    }

    // Flags are only written when false, so a missing or unreadable value means true.
    bool Flag(QLatin1String key) const { return Signed(key, 1) > 0; }

    int Ordinal(QLatin1String key, int fallback, int last) const {
        const std::int32_t value = Signed(key, fallback);
        return value >= 0 && value <= last ? value : fallback;
    }

  private:
    QStringList Lines;
};

// ---- Writing ----------------------------------------------------------------------------------

QString Line(QLatin1String key, const QString& value) {
    return QString(key) + QLatin1Char('=') + value;
}

template <typename Integer> QString Line(QLatin1String key, Integer value) {
    return Line(key, QString::number(value));
}

QStringList FlagLines(const TGraphConfig& config) {
    const std::array<std::pair<QLatin1String, bool>, 8> flags = {{
        {kWantBitmaps, config.WantBitmaps},
        {kWantCapture, config.WantCapture},
        {kWantPreview, config.WantPreview},
        {kWantDVAudio, config.WantDVAudio},
        {kWantAudio, config.WantAudio},
        {kWantAudioPreview, config.WantAudioPreview},
        {kDoPreallocFile, config.DoPreallocFile},
        {kUseTempFile, config.UseTempFile},
    }};
    QStringList lines;
    for (const auto& [key, value] : flags)
        if (!value)
            lines << Line(key, 0);
    return lines;
}

QStringList AudioModeLines(const TACapMode& mode) {
    return {Line(kACapModeSubType, GuidToHex(mode.SubType)),
            Line(kACapModeSampleRate, mode.SampleRate),
            Line(kACapModeAvgSampleRate, mode.AvgSampleRate),
            Line(kACapModeSampleSize, mode.SampleSize), Line(kACapModeChannels, mode.Channels)};
}

QStringList VideoModeLines(const TVCapMode& mode) {
    return {Line(kVCapModeSubType, GuidToHex(mode.SubType)), Line(kVCapModeWidth, mode.Width),
            Line(kVCapModeHeight, mode.Height), Line(kVCapModeBits, mode.Bits)};
}

TACapMode ReadAudioMode(const TKeyValues& values) {
    TACapMode mode;
    mode.SubType = GuidFromHex(values.Text(kACapModeSubType));
    mode.SampleRate = values.Unsigned(kACapModeSampleRate, 0);
    mode.AvgSampleRate = values.Unsigned(kACapModeAvgSampleRate, 0);
    mode.SampleSize = values.Unsigned(kACapModeSampleSize, 0);
    mode.Channels = values.Unsigned(kACapModeChannels, 0);
    return mode;
}

TVCapMode ReadVideoMode(const TKeyValues& values) {
    TVCapMode mode;
    mode.SubType = GuidFromHex(values.Text(kVCapModeSubType));
    mode.Width = values.Signed(kVCapModeWidth, 0);
    mode.Height = values.Signed(kVCapModeHeight, 0);
    mode.Bits = values.Unsigned(kVCapModeBits, 0);
    return mode;
}

} // namespace

// ---- TGraphConfig -----------------------------------------------------------------------------

void TGraphConfig::SetDefaults() {
    VCapSource.clear();
    ACapSource.clear();
    VComp.clear();
    AComp.clear();
    ACapMode = {};
    VCapMode = {};
    WantCapture = false;
    WantPreview = false;
    WantBitmaps = false;
    WantAudio = false;
    WantDVAudio = false;
    WantAudioPreview = true;
    PixelFormat = TPixelFormat::pf24bit;
    DVResolution = TDVResolution::dvrFull;
    CaptureFileName = kDefaultCaptureFileName;
    UseTempFile = false;
    TempCaptureFileName = kDefaultTempCaptureFileName;
    DoPreallocFile = false;
    PreallocFileSize = 0;
}

QString TGraphConfig::SaveToString() const {
    QStringList lines = FlagLines(*this);
    lines << Line(kPreallocFileSize, PreallocFileSize)
          << Line(kTempCaptureFileName, TempCaptureFileName)
          << Line(kCaptureFileName, CaptureFileName)
          << Line(kDVResolution, static_cast<int>(DVResolution))
          << Line(kPixelFormat, static_cast<int>(PixelFormat)) << Line(kVCapSource, VCapSource)
          << Line(kACapSource, ACapSource) << Line(kAComp, AComp) << Line(kVComp, VComp);
    lines << AudioModeLines(ACapMode) << VideoModeLines(VCapMode);
    lines << Line(kVCompState, BytesToHex(VCompState));
    return ToCommaText(lines);
}

void TGraphConfig::LoadFromString(const QString& text) {
    SetDefaults();
    const TKeyValues values(text);

    WantBitmaps = values.Flag(kWantBitmaps);
    WantCapture = values.Flag(kWantCapture);
    WantPreview = values.Flag(kWantPreview);
    WantDVAudio = values.Flag(kWantDVAudio);
    WantAudio = values.Flag(kWantAudio);
    WantAudioPreview = values.Flag(kWantAudioPreview);
    DoPreallocFile = values.Flag(kDoPreallocFile);
    UseTempFile = values.Flag(kUseTempFile);

    PreallocFileSize = values.Unsigned(kPreallocFileSize, 0);
    TempCaptureFileName = values.TextOr(kTempCaptureFileName, kDefaultTempCaptureFileName);
    CaptureFileName = values.TextOr(kCaptureFileName, kDefaultCaptureFileName);
    DVResolution = static_cast<TDVResolution>(
        values.Ordinal(kDVResolution, kDefaultDVResolution, kLastDVResolution));
    PixelFormat = static_cast<TPixelFormat>(
        values.Ordinal(kPixelFormat, kDefaultPixelFormat, kLastPixelFormat));

    VCapSource = values.Text(kVCapSource);
    ACapSource = values.Text(kACapSource);
    AComp = values.Text(kAComp);
    VComp = values.Text(kVComp);

    ACapMode = ReadAudioMode(values);
    VCapMode = ReadVideoMode(values);
    VCompState = HexToBytes(values.Text(kVCompState));
}

// ---- Free functions ---------------------------------------------------------------------------

QString ToCommaText(const QStringList& lines) {
    QStringList items;
    items.reserve(lines.size());
    for (const QString& line : lines)
        items << (NeedsQuotes(line) ? Quoted(line) : line);
    return items.join(QLatin1Char(','));
}

QStringList FromCommaText(const QString& text) {
    // The text ends at a NUL character, as it would for a NUL-terminated string; this also
    // keeps a NUL from standing forever at the start of an item that cannot take it.
    QStringView view(text);
    const qsizetype nul = view.indexOf(QChar(u'\0'));
    if (nul >= 0)
        view = view.first(nul);
    return TCommaTextReader(view).ReadAll();
}

QString BytesToHex(const QByteArray& bytes) {
    QString hex;
    hex.reserve(bytes.size() * 2);
    for (const char byte : bytes) {
        const auto value = static_cast<unsigned char>(byte);
        hex += QLatin1Char(kHexDigits[value >> 4]);
        hex += QLatin1Char(kHexDigits[value & 0x0F]);
    }
    return hex;
}

QByteArray HexToBytes(const QString& hex) {
    const QString even = hex.size() % 2 != 0 ? QLatin1Char('0') + hex : hex;
    QByteArray bytes(even.size() / 2, '\0');
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const int high = HexDigitValue(even[2 * i]);
        const int low = HexDigitValue(even[2 * i + 1]);
        if (high < 0 || low < 0)
            break;
        bytes[i] = static_cast<char>(high << 4 | low);
    }
    return bytes;
}

QString GuidToHex(const TGuid& guid) {
    const auto raw = guid.ToBytes();
    return BytesToHex(QByteArray(reinterpret_cast<const char*>(raw.data()), raw.size()));
}

TGuid GuidFromHex(const QString& hex) {
    const QByteArray bytes = HexToBytes(hex);
    std::array<std::uint8_t, 16> raw{};
    const auto count = std::min<qsizetype>(bytes.size(), raw.size());
    std::copy_n(bytes.cbegin(), count, raw.begin());
    return TGuid::FromBytes(raw);
}
