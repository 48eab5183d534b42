#include "GraphConfig.h"

#include <algorithm>
#include <array>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace {

std::vector<std::string> Std(const QStringList& lines) {
    std::vector<std::string> result;
    for (const QString& line : lines)
        result.push_back(line.toStdString());
    return result;
}

TGraphConfig Loaded(const QString& text) {
    TGraphConfig config;
    config.LoadFromString(text);
    return config;
}

TGraphConfig AllFlagsTrue() {
    TGraphConfig config;
    config.WantCapture = config.WantPreview = config.WantBitmaps = config.WantAudio = true;
    config.WantDVAudio = config.WantAudioPreview = config.UseTempFile = config.DoPreallocFile =
        true;
    return config;
}

// ---- Writing the text form --------------------------------------------------------------------

TEST(GraphConfigText, KnownConfigurationHasThisExactText) {
    TGraphConfig config;
    config.WantPreview = true;
    config.WantBitmaps = true;
    config.VCapSource = "Test Pattern";
    config.VCapMode = {MEDIASUBTYPE_YUY2, 640, 480, 16};
    config.ACapMode = {MEDIASUBTYPE_PCM, 44100, 16, 2, 176400};
    config.VCompState = QByteArray("\x01\xAB\xFF", 3);
    EXPECT_EQ(config.SaveToString().toStdString(),
              "WantCapture=0,WantDVAudio=0,WantAudio=0,DoPreallocFile=0,UseTempFile=0,"
              "PreallocFileSize=0,TempCaptureFileName=captemp.avi,CaptureFileName=capture.avi,"
              "DVResolution=1,PixelFormat=6,\"VCapSource=Test Pattern\",ACapSource=,AComp=,VComp=,"
              "ACapModeMediaSubType=0100000000001000800000AA00389B71,ACapModeSampleRate=44100,"
              "ACapModeAvgSampleRate=176400,ACapModeSampleSize=16,ACapModeChannels=2,"
              "VCapModeMediaSubType=5955593200001000800000AA00389B71,VCapModeWidth=640,"
              "VCapModeHeight=480,VCapModeBits=16,VCompState=01ABFF");
}

TEST(GraphConfigText, AllFlagsTrueWritesNoFlagLines) {
    const QString text = AllFlagsTrue().SaveToString();
    EXPECT_TRUE(text.startsWith("PreallocFileSize=")) << text.toStdString();
    for (const char* flag : {"WantBitmaps", "WantCapture", "WantPreview", "WantDVAudio",
                             "WantAudio", "WantAudioPreview", "DoPreallocFile", "UseTempFile"})
        EXPECT_FALSE(text.contains(QString(flag) + "=")) << flag;
}

TEST(GraphConfigText, DeviceNamesWithBlanksQuotesAndCommasReadBackWhole) {
    for (const QString name : {"USB Video Device (2)", "Cam \"HD\", left (3)", "Kamera Größe"}) {
        TGraphConfig config;
        config.VCapSource = name;
        config.AComp = name;
        const QString text = config.SaveToString();
        EXPECT_TRUE(text.contains(",\"VCapSource=")) << text.toStdString();
        const TGraphConfig back = Loaded(text);
        EXPECT_EQ(back.VCapSource, name) << text.toStdString();
        EXPECT_EQ(back.AComp, name) << text.toStdString();
    }
}

TEST(GraphConfigText, EveryFieldSurvivesARoundTrip) {
    TGraphConfig full;
    full.VCapSource = "USB Video Device (2)";
    full.ACapSource = "Line In";
    full.VComp = "MJPEG Compressor";
    full.AComp = "PCM";
    full.ACapMode = {MEDIASUBTYPE_PCM, 48000, 24, 6, 864000};
    full.VCapMode = {MEDIASUBTYPE_RGB24, 1920, 1080, 24};
    full.VCompState = QByteArray("\x00\x7F\x80\xFF state", 10);
    full.WantCapture = true;
    full.WantAudio = true;
    full.WantAudioPreview = false;
    full.UseTempFile = true;
    full.PixelFormat = TPixelFormat::pfCustom;
    full.DVResolution = TDVResolution::dvrDontWorry;
    full.CaptureFileName = "/home/user/My Videos/out.avi";
    full.TempCaptureFileName = "/tmp/temp, \"1\".avi";
    full.PreallocFileSize = 4000;

    TGraphConfig extremes = AllFlagsTrue();
    extremes.VCapMode = {TGuid{0xFFFFFFFF, 0xFFFF, 0x0001, {1, 2, 3, 4, 5, 6, 7, 8}},
                         std::numeric_limits<std::int32_t>::min(),
                         std::numeric_limits<std::int32_t>::max(), 0xFFFFFFFF};
    extremes.ACapMode.AvgSampleRate = 0xFFFFFFFF;
    extremes.PreallocFileSize = 0xFFFFFFFF;
    extremes.PixelFormat = TPixelFormat::pfDevice;

    for (const TGraphConfig& original : {TGraphConfig{}, full, extremes}) {
        const QString text = original.SaveToString();
        EXPECT_EQ(Loaded(text), original) << text.toStdString();
    }
}

// ---- Reading the text form --------------------------------------------------------------------

TEST(GraphConfigRead, EachFlagLineTurnsOffOnlyItsOwnFlag) {
    const std::vector<std::pair<const char*, bool TGraphConfig::*>> flags = {
        {"WantBitmaps", &TGraphConfig::WantBitmaps},
        {"WantCapture", &TGraphConfig::WantCapture},
        {"WantPreview", &TGraphConfig::WantPreview},
        {"WantDVAudio", &TGraphConfig::WantDVAudio},
        {"WantAudio", &TGraphConfig::WantAudio},
        {"WantAudioPreview", &TGraphConfig::WantAudioPreview},
        {"DoPreallocFile", &TGraphConfig::DoPreallocFile},
        {"UseTempFile", &TGraphConfig::UseTempFile},
    };
    for (const auto& [key, field] : flags) {
        const TGraphConfig config = Loaded(QString(key) + "=0");
        for (const auto& [otherKey, otherField] : flags)
            EXPECT_EQ(config.*otherField, otherField != field) << key << " read, " << otherKey;
    }
}

TEST(GraphConfigRead, FlagIsTrueUnlessItsIntegerIsZeroOrLess) {
    const std::vector<std::pair<const char*, bool>> cases = {
        {"WantPreview=-1", false},
        {"WantPreview=0", false},
        {"WantPreview=1", true},
        {"WantPreview=2", true},
        {"WantPreview=", true},
        {"WantPreview=yes", true},
        {"wantpreview=0", false},
        {"WANTPREVIEW=-7", false},
        {"WantPreviews=0", true},
        {"\"WantPreview= 0\"", true},
        {"", true},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(Loaded(text).WantPreview, expected) << text;
}

TEST(GraphConfigRead, OrdinalsOutsideTheirRangeTakeTheDefault) {
    const std::vector<std::pair<const char*, int>> dvCases = {
        {"DVResolution=7", 1}, {"DVResolution=-1", 1}, {"DVResolution=0", 0},
        {"DVResolution=4", 4}, {"DVResolution=x", 1},  {"DVResolution=", 1},
    };
    for (const auto& [text, expected] : dvCases)
        EXPECT_EQ(static_cast<int>(Loaded(text).DVResolution), expected) << text;

    const std::vector<std::pair<const char*, int>> pixelCases = {
        {"PixelFormat=9", 6}, {"PixelFormat=abc", 6}, {"PixelFormat=-1", 6},
        {"PixelFormat=0", 0}, {"PixelFormat=8", 8},   {"PixelFormat=3", 3},
    };
    for (const auto& [text, expected] : pixelCases)
        EXPECT_EQ(static_cast<int>(Loaded(text).PixelFormat), expected) << text;
}

TEST(GraphConfigRead, IntegersArePlainDecimalThatFits32Bits) {
    const std::vector<std::pair<const char*, std::uint32_t>> sizeCases = {
        {"PreallocFileSize=12", 12},
        {"PreallocFileSize=+5", 0},
        {"\"PreallocFileSize= 5\"", 0},
        {"PreallocFileSize=0x10", 0},
        {"PreallocFileSize=12a", 0},
        {"PreallocFileSize=-", 0},
        {"PreallocFileSize=4294967295", 4294967295u},
        {"PreallocFileSize=4294967296", 0},
        {"PreallocFileSize=99999999999999999999", 0},
        {"PreallocFileSize=-1", 4294967295u},
    };
    for (const auto& [text, expected] : sizeCases)
        EXPECT_EQ(Loaded(text).PreallocFileSize, expected) << text;

    const std::vector<std::pair<const char*, std::int32_t>> widthCases = {
        {"VCapModeWidth=-5", -5},
        {"VCapModeWidth=2147483647", 2147483647},
        {"VCapModeWidth=2147483648", 0},
        {"VCapModeWidth=-2147483648", std::numeric_limits<std::int32_t>::min()},
    };
    for (const auto& [text, expected] : widthCases)
        EXPECT_EQ(Loaded(text).VCapMode.Width, expected) << text;
}

TEST(GraphConfigRead, SubtypeHexFillsFromTheLeftAndStopsAtTheFirstBadPair) {
    const TGuid yuy2 = MEDIASUBTYPE_YUY2;
    const auto read = [](const char* hex) {
        return Loaded(QString("VCapModeMediaSubType=") + hex).VCapMode.SubType.ToBytes();
    };
    auto first15 = yuy2.ToBytes();
    first15[15] = 0;
    EXPECT_EQ(read("5955593200001000800000AA00389B"), first15);
    EXPECT_EQ(read("5955593200001000800000aa00389b71"), yuy2.ToBytes());

    std::array<std::uint8_t, 16> firstFour{};
    std::copy_n(yuy2.ToBytes().begin(), 4, firstFour.begin());
    EXPECT_EQ(read("59555932ZZ001000800000AA00389B71"), firstFour);
    EXPECT_EQ(read("595559320G001000800000AA00389B71"), firstFour);
}

TEST(GraphConfigRead, KeysMatchTheFirstLineRegardlessOfCase) {
    const TGraphConfig config = Loaded("junk,=x,vcapsource=a=b,VCapSource=second,VCOMP=Codec,"
                                       "Unknown=1,ACapModeSampleRate=8000");
    EXPECT_EQ(config.VCapSource, "a=b");
    EXPECT_EQ(config.VComp, "Codec");
    EXPECT_EQ(config.ACapMode.SampleRate, 8000u);
}

TEST(GraphConfigRead, MissingValuesTakeTheirDefaults) {
    TGraphConfig config = AllFlagsTrue();
    config.VCapSource = "Old";
    config.VCapMode = {MEDIASUBTYPE_YUY2, 1, 2, 3};
    config.VCompState = "old state";
    config.PixelFormat = TPixelFormat::pf8bit;
    config.LoadFromString("CaptureFileName=,TempCaptureFileName=");

    EXPECT_EQ(config, AllFlagsTrue());
    EXPECT_EQ(config.CaptureFileName, "capture.avi");
    EXPECT_EQ(config.TempCaptureFileName, "captemp.avi");
}

// The defaults themselves are pinned by the known text above.
TEST(GraphConfigRead, EmptyTextGivesAllFlagsTrueAndOtherwiseDefaults) {
    EXPECT_EQ(Loaded(""), AllFlagsTrue());
}

TEST(GraphConfigDefaults, SetDefaultsKeepsTheCompressorState) {
    TGraphConfig config = AllFlagsTrue();
    config.VCompState = "state";
    config.SetDefaults();
    EXPECT_EQ(config.VCompState, "state");
    EXPECT_FALSE(config.WantPreview);
}

// ---- Comma text -------------------------------------------------------------------------------

TEST(CommaText, Reading) {
    const std::vector<std::pair<QString, std::vector<std::string>>> cases = {
        {"", {}},
        {" \t\r\n", {}},
        {"a,b", {"a", "b"}},
        {"a b", {"a", "b"}},
        {" \x01 a ,\r\n b\t", {"a", "b"}},
        {"a,,b", {"a", "", "b"}},
        {"a,", {"a"}},
        {"\"\"", {""}},
        {"\"x,y\",z", {"x,y", "z"}},
        {"\"say \"\"hi\"\"\"", {"say \"hi\""}},
        {"\"ab\"cd", {"ab", "cd"}},
        {"a,\"open item, rest", {"a", "open item, rest"}},
        {"\"open \"\"", {"open \""}},
        {QString::fromLatin1("a\0b,c", 5), {"a"}},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(Std(FromCommaText(text)), expected) << text.toStdString();
}

TEST(CommaText, WritingQuotesOnlyWhatWouldNotReadBack) {
    const std::vector<std::pair<QStringList, std::string>> cases = {
        {{}, ""},
        {{"a=1", "b=2"}, "a=1,b=2"},
        {{"VComp="}, "VComp="},
        {{"k=Größe"}, "k=Größe"},
        {{"k=a b"}, "\"k=a b\""},
        {{"k=a,b"}, "\"k=a,b\""},
        {{"k=\"q\""}, "\"k=\"\"q\"\"\""},
        {{"k=\ttab"}, "\"k=\ttab\""},
    };
    for (const auto& [lines, expected] : cases) {
        EXPECT_EQ(ToCommaText(lines).toStdString(), expected);
        EXPECT_EQ(FromCommaText(ToCommaText(lines)), lines) << expected;
    }
}

// ---- Hex --------------------------------------------------------------------------------------

TEST(Hex, BytesAndGuids) {
    EXPECT_EQ(BytesToHex(QByteArray("\x00\x0F\xF0\xFF", 4)), "000FF0FF");
    EXPECT_EQ(BytesToHex({}), "");
    EXPECT_EQ(GuidToHex(MEDIASUBTYPE_YUY2), "5955593200001000800000AA00389B71");
    EXPECT_EQ(GuidToHex(TGuid{}), QString(32, '0'));
    EXPECT_EQ(GuidFromHex("5955593200001000800000AA00389B71FFFF"), MEDIASUBTYPE_YUY2);
    EXPECT_EQ(GuidFromHex(""), TGuid{});
}

TEST(Hex, Reading) {
    const std::vector<std::pair<QString, QByteArray>> cases = {
        {"", {}},
        {"ABC", QByteArray("\x0A\xBC", 2)},
        {"0aBc", QByteArray("\x0A\xBC", 2)},
        {"G", QByteArray(1, '\0')},
        {"12G45678", QByteArray("\x12\x00\x00\x00", 4)},
        {"1234zz78", QByteArray("\x12\x34\x00\x00", 4)},
        {"12 4", QByteArray("\x12\x00", 2)},
        {QString::fromUtf8("１２"), QByteArray(1, '\0')},
    };
    for (const auto& [hex, expected] : cases)
        EXPECT_EQ(HexToBytes(hex).toHex().toStdString(), expected.toHex().toStdString())
            << hex.toStdString();
}

} // namespace
