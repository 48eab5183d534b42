// The settings dialogs of the GStreamer layer's filters and pins, made without being shown and
// driven through their widgets, against real GStreamer elements (and a scripted device).

#include "gst/GstFilters.h"
#include "gst/GstModeDialog.h"
#include "gst/GstPlatform.h"
#include "gst/GstPropertyPages.h"
#include "gst/GstV4l2Controls.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>

#include <gtest/gtest.h>

#include <map>

namespace {

std::shared_ptr<IBaseFilter> BindLast(ICapturePlatform& platform, TDeviceCategory category) {
    std::vector<std::shared_ptr<IMoniker>> monikers;
    platform.CreateClassEnumerator(category, monikers);
    std::shared_ptr<IBaseFilter> filter;
    EXPECT_EQ(monikers.back()->BindToObject(filter), S_OK);
    return filter;
}

// An element of a filter's bin, by name; the bin keeps it alive.
GstElement* Element(const std::shared_ptr<IBaseFilter>& filter, const char* name) {
    const TGstElementRef element =
        TGstElementRef::Adopt(gst_bin_get_by_name(GST_BIN(GstFilterBinForTest(filter)), name));
    return element.Get();
}

template <typename T = int> T Property(GstElement* element, const char* name) {
    T value{};
    g_object_get(element, name, &value, nullptr);
    return value;
}

void Press(QDialog& dialog, QDialogButtonBox::StandardButton which) {
    dialog.findChild<QDialogButtonBox*>()->button(which)->click();
}

QStringList Items(const QComboBox* combo) {
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    return items;
}

class GstDialogs : public testing::Test {
  protected:
    std::shared_ptr<ICapturePlatform> Platform = CreateGstPlatform();
};

TEST_F(GstDialogs, TestPatternDialogEditsTheRunningSourceAndCancelPutsItBack) {
    const auto pattern = BindLast(*Platform, TDeviceCategory::VideoInputDevice);
    int pages = 0;
    ASSERT_EQ(QueryInterface<ISpecifyPropertyPages>(pattern)->GetPages(pages), S_OK);
    EXPECT_EQ(pages, 1);
    GstElement* const bin = GstFilterBinForTest(pattern);
    ASSERT_NE(gst_element_set_state(bin, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    GstElement* const source = Element(pattern, "source");

    auto dialog = MakePropertyDialog(pattern, nullptr);
    ASSERT_TRUE(dialog);
    // Only the picture's settings are offered, not the source's timing.
    EXPECT_TRUE(dialog->findChild<QPushButton*>("foreground-color"));
    EXPECT_FALSE(dialog->findChild<QWidget*>("is-live"));
    auto* patterns = dialog->findChild<QComboBox*>("pattern");
    ASSERT_TRUE(patterns);
    EXPECT_EQ(patterns->currentText(), "ball");
    patterns->setCurrentIndex(patterns->findText("snow"));
    EXPECT_EQ(Property(source, "pattern"), 1); // snow, applied while the source runs
    Press(*dialog, QDialogButtonBox::Cancel);
    EXPECT_EQ(Property(source, "pattern"), 18); // ball again
    gst_element_set_state(bin, GST_STATE_NULL);

    // A preview pin has no dialog, and the frame refuses objects without one.
    const auto tee = std::dynamic_pointer_cast<IBaseFilter>([this] {
        std::shared_ptr<IUnknown> created;
        Platform->CoCreateInstance(TCLSID::SmartTee, created);
        return created;
    }());
    std::vector<std::shared_ptr<IPin>> pins;
    tee->EnumPins(pins);
    for (const auto& pin : pins)
        EXPECT_FALSE(QueryInterface<ISpecifyPropertyPages>(pin));
    EXPECT_EQ(Platform->OleCreatePropertyFrame(nullptr, 30, 30, tee), E_NOINTERFACE);
}

// A device as the V4L2 ioctls would describe it: exposure means nothing while it is automatic.
class TFakeControls : public IControlSource {
  public:
    enum : std::uint32_t { Brightness = 1, AutoExposure, Exposure, PowerLine, Gain };
    std::vector<TDeviceControl> Controls() override {
        using K = TDeviceControl::TKind;
        return {
            {.Id = Brightness,
             .Name = "Brightness",
             .Minimum = -10,
             .Maximum = 10,
             .Step = 2,
             .Value = Values[Brightness]},
            {.Id = AutoExposure,
             .Name = "Auto Exposure",
             .Kind = K::Boolean,
             .Maximum = 1,
             .Default = 1,
             .Value = Values[AutoExposure]},
            {.Id = Exposure,
             .Name = "Exposure",
             .Minimum = 1,
             .Maximum = 500,
             .Default = 100,
             .Value = Values[Exposure],
             .Inactive = Values[AutoExposure] != 0},
            {.Id = PowerLine,
             .Name = "Power Line Frequency",
             .Kind = K::Menu,
             .Maximum = 2,
             .Default = 1,
             .Value = Values[PowerLine],
             .Items = {{0, "Disabled"}, {1, "50 Hz"}, {2, "60 Hz"}}},
            {.Id = Gain, .Name = "Gain", .Maximum = 100, .Value = Values[Gain], .ReadOnly = true},
        };
    }
    bool SetControl(std::uint32_t id, std::int64_t value) override {
        Values[id] = value;
        ++Writes;
        return true;
    }
    std::map<std::uint32_t, std::int64_t> Values{
        {Brightness, 4}, {AutoExposure, 1}, {Exposure, 100}, {PowerLine, 1}, {Gain, 7}};
    int Writes = 0;
};

TEST(GstDeviceControls, EditorShowsEachKindAndWritesChangesToTheDevice) {
    const auto device = std::make_shared<TFakeControls>();
    TControlsEditor editor(device, nullptr);
    auto* brightness = editor.findChild<QSlider*>("Brightness");
    auto* automatic = editor.findChild<QCheckBox*>("Auto Exposure");
    auto* exposure = editor.findChild<QSlider*>("Exposure");
    auto* powerLine = editor.findChild<QComboBox*>("Power Line Frequency");
    auto* gain = editor.findChild<QSlider*>("Gain");
    ASSERT_TRUE(brightness && automatic && exposure && powerLine && gain);
    EXPECT_EQ(device->Writes, 0);

    // The slider moves in the device's steps of 2 from -10: position 7 is the value 4.
    EXPECT_EQ(brightness->maximum(), 10);
    EXPECT_EQ(brightness->value(), 7);
    brightness->setValue(10);
    EXPECT_EQ(device->Values[TFakeControls::Brightness], 10);
    brightness->parentWidget()->findChild<QPushButton*>()->click();
    EXPECT_EQ(device->Values[TFakeControls::Brightness], 0);

    EXPECT_FALSE(gain->isEnabled());
    EXPECT_TRUE(automatic->isChecked());
    EXPECT_FALSE(exposure->isEnabled());
    automatic->setChecked(false);
    EXPECT_EQ(device->Values[TFakeControls::AutoExposure], 0);
    EXPECT_TRUE(exposure->isEnabled()); // the device's new state is read back

    EXPECT_EQ(Items(powerLine), QStringList({"Disabled", "50 Hz", "60 Hz"}));
    EXPECT_EQ(powerLine->currentText(), "50 Hz");
    powerLine->setCurrentIndex(2);
    EXPECT_EQ(device->Values[TFakeControls::PowerLine], 2);

    editor.Revert();
    EXPECT_EQ(device->Values[TFakeControls::Brightness], 4);
    EXPECT_EQ(device->Values[TFakeControls::AutoExposure], 1);
    EXPECT_EQ(device->Values[TFakeControls::PowerLine], 1);
    EXPECT_EQ(device->Values[TFakeControls::Gain], 7);
}

TEST_F(GstDialogs, AudioSourceDialogSetsVolumeAndMuteOnItsVolumeElement) {
    const auto tone = BindLast(*Platform, TDeviceCategory::AudioInputDevice);
    int pages = 0;
    ASSERT_EQ(QueryInterface<ISpecifyPropertyPages>(tone)->GetPages(pages), S_OK);
    GstElement* const volume = Element(tone, "volume");
    ASSERT_TRUE(volume);
    auto dialog = MakePropertyDialog(tone, nullptr);
    ASSERT_TRUE(dialog);
    dialog->findChild<QSlider*>("volume")->setValue(25);
    dialog->findChild<QCheckBox*>("mute")->setChecked(true);
    EXPECT_DOUBLE_EQ(Property<gdouble>(volume, "volume"), 0.25);
    EXPECT_TRUE(Property<gboolean>(volume, "mute"));
    Press(*dialog, QDialogButtonBox::Ok);
    EXPECT_DOUBLE_EQ(Property<gdouble>(volume, "volume"), 0.25);
}

TEST_F(GstDialogs, CapturePinDialogChoosesAmongTheOfferedModes) {
    const auto pattern = BindLast(*Platform, TDeviceCategory::VideoInputDevice);
    std::vector<std::shared_ptr<IPin>> pins;
    pattern->EnumPins(pins);
    const auto config = QueryInterface<IAMStreamConfig>(pins.front());
    ASSERT_TRUE(config);
    const auto choose = [&](QDialogButtonBox::StandardButton button) {
        auto dialog = MakePropertyDialog(pins.front(), nullptr);
        auto* formats = dialog->findChild<QComboBox*>("format");
        auto* sizes = dialog->findChild<QComboBox*>("size");
        EXPECT_EQ(Items(formats), QStringList({"YUY2", "I420", "BGR"}));
        EXPECT_EQ(sizes->currentText(), "320 x 240");
        formats->setCurrentIndex(1);
        EXPECT_EQ(Items(sizes), QStringList({"160 x 120", "320 x 240", "640 x 480"}));
        sizes->setCurrentIndex(2);
        EXPECT_EQ(Items(dialog->findChild<QComboBox*>("rate")), QStringList({"30 fps"}));
        Press(*dialog, button);
    };
    TAMMediaType format;
    choose(QDialogButtonBox::Cancel);
    ASSERT_EQ(config->GetFormat(format), S_OK);
    EXPECT_EQ(format.subtype, MEDIASUBTYPE_YUY2);
    choose(QDialogButtonBox::Ok);
    ASSERT_EQ(config->GetFormat(format), S_OK);
    EXPECT_EQ(format.subtype, MEDIASUBTYPE_I420);
    EXPECT_EQ(format.Bitmap->biWidth, 640);
    EXPECT_EQ(format.AvgTimePerFrame, 333333);

    // Rates a device lists come as they are; a range gives the common rates inside it.
    const TGstCapsRef offered = TGstCapsRef::Adopt(
        gst_caps_from_string("video/x-raw,format=YUY2,width=640,height=480,framerate={15/1,30/1};"
                             "video/x-raw,format=YUY2,width=640,height=480,framerate=[10/1,25/1]"));
    TAMMediaType yuy2 = format;
    yuy2.subtype = MEDIASUBTYPE_YUY2;
    const std::vector<TFraction> rates = OfferedFrameRates(offered.Get(), yuy2);
    EXPECT_EQ(rates,
              (std::vector<TFraction>{{30, 1}, {25, 1}, {24, 1}, {20, 1}, {15, 1}, {10, 1}}));
}

TEST_F(GstDialogs, CompressorStateHoldsOnlyChangedSettingsAndRestoresThem) {
    const auto factory = TGstHandle<GstElementFactory>::Adopt(gst_element_factory_find("jpegenc"));
    ASSERT_TRUE(factory) << "jpegenc (gst-plugins-good) is missing";
    const std::shared_ptr<IBaseFilter> compressor =
        CreateCompressorFilter(factory.Get(), TMediaKind::Video);
    std::shared_ptr<IUnknown> found;
    std::shared_ptr<ICaptureGraphBuilder2> builder;
    ASSERT_EQ(CreateInstance(*Platform, TCLSID::CaptureGraphBuilder2, builder), S_OK);
    ASSERT_EQ(builder->FindInterface(TPinCategory::None, nullptr, compressor,
                                     TIID::IAMVfwCompressDialogs, found),
              S_OK);
    const auto dialogs = QueryInterface<IAMVfwCompressDialogs>(found);
    EXPECT_EQ(dialogs->ShowDialog(VfwCompressDialog_QueryConfig, nullptr), S_OK);
    std::vector<std::uint8_t> state{1};
    ASSERT_EQ(dialogs->GetState(state), S_OK);
    EXPECT_TRUE(state.empty());

    auto dialog = MakePropertyDialog(compressor, nullptr);
    EXPECT_FALSE(dialog->findChild<QWidget*>("name"));
    dialog->findChild<QSpinBox*>("quality")->setValue(50);
    Press(*dialog, QDialogButtonBox::Ok);
    ASSERT_EQ(dialogs->GetState(state), S_OK);
    EXPECT_EQ(std::string(state.begin(), state.end()), "quality=50\n");

    const std::shared_ptr<IBaseFilter> fresh =
        CreateCompressorFilter(factory.Get(), TMediaKind::Video);
    const auto freshDialogs = QueryInterface<IAMVfwCompressDialogs>(fresh);
    ASSERT_EQ(freshDialogs->SetState(state), S_OK);
    EXPECT_EQ(Property(Element(fresh, "encoder"), "quality"), 50);
    std::vector<std::uint8_t> copied;
    freshDialogs->GetState(copied);
    EXPECT_EQ(copied, state);

    // Garbage (not text, no "name=value", a value of the wrong type) changes nothing.
    for (const std::string& garbage :
         {std::string("\xff\xfe\x00", 3), std::string("quality"), std::string("quality=high\n")})
        EXPECT_EQ(freshDialogs->SetState({garbage.begin(), garbage.end()}), E_INVALIDARG);
    EXPECT_EQ(Property(Element(fresh, "encoder"), "quality"), 50);
    // Settings this encoder does not know are skipped; the ones not named go back to defaults.
    const std::string other = "no-such-setting=1\n";
    EXPECT_EQ(freshDialogs->SetState({other.begin(), other.end()}), S_OK);
    EXPECT_EQ(Property(Element(fresh, "encoder"), "quality"), 85);
}

} // namespace
