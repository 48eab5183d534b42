// The capture graph configuration dialog, driven offscreen on the scripted platform.
#include "GraphConfigDialog.h"
#include "CaptureUtils.h"
#include "FakeCapturePlatform.h"
#include "TestSupport.h"

#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

class GraphConfigDialogTest : public testing::Test {
  protected:
    void SetUp() override {
        // The device lists are process-wide; another test may have filled them.
        ClearAllDevices();
        platform->Devices[TDeviceCategory::VideoInputDevice] = {{"Test Camera", "cam-1", false, {}},
                                                                {"Test Camera", "cam-2", false, {}},
                                                                {"USB Camera", "cam-3", false, {}}};
        platform->Devices[TDeviceCategory::AudioInputDevice] = {{"Microphone", "mic-1", false, {}}};
        platform->Devices[TDeviceCategory::VideoCompressor] = {{"Motion JPEG", "mjpeg", false, {}},
                                                               {"Theora", "theora", false, {}}};
        platform->Devices[TDeviceCategory::AudioCompressor] = {{"Vorbis", "vorbis", false, {}}};

        Config.VCapSource = "Test Camera (2)";
        Config.ACapSource = "Microphone";
        Config.VComp = "Theora";
        Config.AComp = "Vorbis";
        Config.VCapMode = {MEDIASUBTYPE_YUY2, 640, 480, 16};
        Config.ACapMode = {MEDIASUBTYPE_PCM, 44100, 16, 2, 176400};
        Config.VCompState = QByteArray("\x01\x02\x03", 3);
        Config.WantCapture = Config.WantPreview = Config.WantBitmaps = Config.WantAudio = true;
        Config.WantDVAudio = true;
        Config.WantAudioPreview = false;
        Config.UseTempFile = Config.DoPreallocFile = true;
        Config.PixelFormat = TPixelFormat::pf32bit;
        Config.DVResolution = TDVResolution::dvrHalf;
        Config.CaptureFileName = "/tmp/clip.avi";
        Config.TempCaptureFileName = "/tmp/clip-temp.avi";
        Config.PreallocFileSize = 250;
    }
    void TearDown() override { ClearAllDevices(); }

    // A dialog filled from Config, never shown.
    std::unique_ptr<TFGraphConfig> Filled() {
        auto dialog = std::make_unique<TFGraphConfig>(*platform);
        dialog->Fill(Config);
        return dialog;
    }

    // Runs EditGraphConfig on Config; the driver works the modal dialog and closes it. A guard
    // closes a dialog the driver left open, so a faulty test fails instead of hanging.
    bool RunDialog(const std::function<void(TFGraphConfig&)>& driver) {
        QWidget owner;
        QTimer::singleShot(0, &owner, [&] {
            if (auto* dialog = owner.findChild<TFGraphConfig*>())
                driver(*dialog);
            else
                ADD_FAILURE() << "no dialog open";
        });
        QTimer::singleShot(5000, &owner, [&] {
            if (auto* dialog = owner.findChild<TFGraphConfig*>()) {
                ADD_FAILURE() << "dialog left open";
                dialog->reject();
            }
        });
        return EditGraphConfig(*platform, Config, &owner);
    }

    std::shared_ptr<TFakeCapturePlatform> platform = std::make_shared<TFakeCapturePlatform>();
    TGraphConfig Config;
};

QStringList Items(const QComboBox* list) {
    QStringList items;
    for (int i = 0; i < list->count(); ++i)
        items << list->itemText(i);
    return items;
}

// ---- Layout ------------------------------------------------------------------------------------

TEST_F(GraphConfigDialogTest, ShowsCaptionSizeListsAndTabOrder) {
    const auto dialog = Filled();
    EXPECT_EQ(dialog->windowTitle(), "Capture graph configuration");
    EXPECT_EQ(dialog->size(), QSize(522, 357));
    EXPECT_EQ(Items(dialog->cbVSources),
              QStringList({"Test Camera", "Test Camera (2)", "USB Camera"}));
    EXPECT_EQ(Items(dialog->cbASources), QStringList({"Microphone"}));
    EXPECT_EQ(Items(dialog->cbVComps), QStringList({"Motion JPEG", "Theora"}));
    EXPECT_EQ(Items(dialog->cbAComps), QStringList({"Vorbis"}));
    EXPECT_TRUE(dialog->btnOK->isDefault());

    const std::vector<QWidget*> expected{dialog->cbWantPreview,
                                         dialog->cbWantCapture,
                                         dialog->cbWantBitmaps,
                                         dialog->cbWantDVAudio,
                                         dialog->cbDoPreallocCaptureFile,
                                         dialog->cbUseTempFile,
                                         dialog->cbVSources,
                                         dialog->cbASources,
                                         dialog->cbVComps,
                                         dialog->cbAComps,
                                         dialog->cbVComp,
                                         dialog->cbAComp,
                                         dialog->cbWantAudio,
                                         dialog->cbDVResolution,
                                         dialog->cbPixelFormat,
                                         dialog->feCaptureFile,
                                         dialog->feTempFile,
                                         dialog->btnOK,
                                         dialog->btnCancel,
                                         dialog->sePreallocSize,
                                         dialog->cbWantAudioPreview};
    std::vector<QWidget*> tabStops;
    QWidget* widget = dialog->cbWantPreview;
    do {
        if (std::find(expected.begin(), expected.end(), widget) != expected.end())
            tabStops.push_back(widget);
        widget = widget->nextInFocusChain();
    } while (widget != dialog->cbWantPreview && tabStops.size() < 2 * expected.size());
    EXPECT_EQ(tabStops, expected);
}

// ---- Filling and OK ----------------------------------------------------------------------------

TEST_F(GraphConfigDialogTest, OkGivesTheConfigurationBackWithModesAndStateCleared) {
    const auto dialog = Filled();
    EXPECT_EQ(dialog->cbVSources->currentText(), "Test Camera (2)");
    EXPECT_EQ(dialog->cbDVResolution->currentText(), "Half");
    EXPECT_EQ(dialog->cbPixelFormat->currentText(), "pf32bit");
    EXPECT_TRUE(dialog->cbVComp->isChecked());
    EXPECT_TRUE(dialog->cbAComp->isChecked());

    TGraphConfig expected = Config;
    expected.VCapMode = {};
    expected.ACapMode = {};
    expected.VCompState.clear();
    TGraphConfig stored = Config;
    dialog->Store(stored);
    EXPECT_EQ(stored.SaveToString(), expected.SaveToString());
    EXPECT_TRUE(stored == expected);
}

// Every entry of the two enumeration lists stands for the ordinal at its position.
TEST_F(GraphConfigDialogTest, EnumerationListsRoundTripEveryOrdinal) {
    for (int ordinal = 0; ordinal <= static_cast<int>(TPixelFormat::pfCustom); ++ordinal) {
        Config.PixelFormat = static_cast<TPixelFormat>(ordinal);
        Config.DVResolution =
            static_cast<TDVResolution>(ordinal % (static_cast<int>(TDVResolution::dvrDC) + 1));
        TGraphConfig stored;
        Filled()->Store(stored);
        EXPECT_EQ(stored.PixelFormat, Config.PixelFormat) << ordinal;
        EXPECT_EQ(stored.DVResolution, Config.DVResolution) << ordinal;
    }
    const auto dialog = Filled();
    EXPECT_EQ(Items(dialog->cbDVResolution),
              QStringList({"dont worry", "Full", "Half", "Quater", "DC"}));
    EXPECT_EQ(Items(dialog->cbPixelFormat).first(), "pfDevice");
    EXPECT_EQ(Items(dialog->cbPixelFormat).last(), "pfCustom");
}

TEST_F(GraphConfigDialogTest, NamesThatMatchNoEntryLeaveNoSelectionAndStoreEmpty) {
    Config.VCapSource = "Unplugged Camera";
    Config.ACapSource = "microphone"; // names compare exactly, letter case included
    Config.VComp = "Gone Encoder";
    Config.AComp.clear();
    const auto dialog = Filled();
    EXPECT_EQ(dialog->cbVSources->currentIndex(), -1);
    EXPECT_EQ(dialog->cbASources->currentIndex(), -1);
    EXPECT_EQ(dialog->cbVComps->currentIndex(), -1);
    EXPECT_FALSE(dialog->cbVComp->isChecked());
    EXPECT_FALSE(dialog->cbAComp->isChecked());

    TGraphConfig stored;
    dialog->Store(stored);
    EXPECT_EQ(stored.VCapSource, "");
    EXPECT_EQ(stored.ACapSource, "");
    EXPECT_EQ(stored.VComp, "");
    EXPECT_EQ(stored.AComp, "");
}

TEST_F(GraphConfigDialogTest, CompressorIsStoredOnlyWhenItsBoxIsTicked) {
    const auto dialog = Filled();
    dialog->cbVComp->click();
    ASSERT_EQ(dialog->cbVComps->currentText(), "Theora");
    TGraphConfig stored;
    dialog->Store(stored);
    EXPECT_EQ(stored.VComp, "");
    EXPECT_EQ(stored.AComp, "Vorbis");

    // A disabled control keeps its value and still counts.
    dialog->cbVComp->click();
    dialog->cbWantCapture->click();
    ASSERT_FALSE(dialog->cbVComps->isEnabled());
    dialog->Store(stored);
    EXPECT_EQ(stored.VComp, "Theora");
    EXPECT_FALSE(stored.WantCapture);
}

TEST_F(GraphConfigDialogTest, PreallocSizeStopsAtTenThousandMegabytes) {
    const auto dialog = Filled();
    EXPECT_EQ(dialog->sePreallocSize->singleStep(), 10);
    for (const auto& [entered, stored] : std::vector<std::pair<int, std::uint32_t>>{
             {10000, 10000}, {10001, 10000}, {0, 0}, {15, 15}}) {
        dialog->sePreallocSize->setValue(entered);
        TGraphConfig config;
        dialog->Store(config);
        EXPECT_EQ(config.PreallocFileSize, stored) << entered;
    }
}

// Opening the dialog must not enumerate afresh; only a category still empty is enumerated.
TEST_F(GraphConfigDialogTest, DeviceListsAreNotRefreshed) {
    VideoCaptureDeviceNames(*platform, false);
    platform->Devices[TDeviceCategory::VideoInputDevice] = {{"New Camera", "cam-9", false, {}}};
    const auto dialog = Filled();
    EXPECT_EQ(Items(dialog->cbVSources),
              QStringList({"Test Camera", "Test Camera (2)", "USB Camera"}));
    EXPECT_EQ(Items(dialog->cbAComps), QStringList({"Vorbis"}));
}

// ---- Enabling rules ----------------------------------------------------------------------------

enum class Ctl {
    WantBitmaps,
    WantAudioPreview,
    ASources,
    VComps,
    AComps,
    VComp,
    AComp,
    CaptureFile,
    Prealloc,
    UseTempFile,
    TempFile,
    PreallocSize
};

std::map<Ctl, bool> EnabledStates(const TFGraphConfig& d) {
    return {{Ctl::WantBitmaps, d.cbWantBitmaps->isEnabled()},
            {Ctl::WantAudioPreview, d.cbWantAudioPreview->isEnabled()},
            {Ctl::ASources, d.cbASources->isEnabled()},
            {Ctl::VComps, d.cbVComps->isEnabled()},
            {Ctl::AComps, d.cbAComps->isEnabled()},
            {Ctl::VComp, d.cbVComp->isEnabled()},
            {Ctl::AComp, d.cbAComp->isEnabled()},
            {Ctl::CaptureFile, d.feCaptureFile->isEnabled()},
            {Ctl::Prealloc, d.cbDoPreallocCaptureFile->isEnabled()},
            {Ctl::UseTempFile, d.cbUseTempFile->isEnabled()},
            {Ctl::TempFile, d.feTempFile->isEnabled()},
            {Ctl::PreallocSize, d.sePreallocSize->isEnabled()}};
}

// The controls that are disabled; all others are enabled.
std::map<Ctl, bool> AllEnabledBut(std::initializer_list<Ctl> disabled) {
    std::map<Ctl, bool> states;
    for (int c = 0; c <= static_cast<int>(Ctl::PreallocSize); ++c)
        states[static_cast<Ctl>(c)] = true;
    for (const Ctl c : disabled)
        states[c] = false;
    return states;
}

struct TEnablingCase {
    const char* name;
    std::function<void(TGraphConfig&)> arrange;
    std::function<void(TFGraphConfig&)> act;
    std::map<Ctl, bool> expected;
};

TEST_F(GraphConfigDialogTest, EnablingRulesAfterFillingAndClicks) {
    const auto noClick = [](TFGraphConfig&) {
    };
    const std::vector<TEnablingCase> cases{
        {"everything on", [](TGraphConfig&) {}, noClick, AllEnabledBut({})},
        {"capture off at filling", [](TGraphConfig& c) { c.WantCapture = false; }, noClick,
         AllEnabledBut({Ctl::CaptureFile, Ctl::Prealloc, Ctl::UseTempFile, Ctl::VComps, Ctl::VComp,
                        Ctl::AComps, Ctl::AComp})},
        {"capture clicked off", [](TGraphConfig&) {},
         [](TFGraphConfig& d) { d.cbWantCapture->click(); },
         AllEnabledBut({Ctl::CaptureFile, Ctl::Prealloc, Ctl::UseTempFile, Ctl::VComps, Ctl::VComp,
                        Ctl::AComps, Ctl::AComp})},
        {"preview off", [](TGraphConfig& c) { c.WantPreview = false; }, noClick,
         AllEnabledBut({Ctl::WantBitmaps, Ctl::WantAudioPreview})},
        // WantCapture's rule comes after WantAudio's and enables the compressor box again;
        // the compressor list follows the box's own rule, which runs later still.
        {"audio off at filling", [](TGraphConfig& c) { c.WantAudio = false; }, noClick,
         AllEnabledBut({Ctl::ASources, Ctl::AComps})},
        {"audio clicked off", [](TGraphConfig&) {},
         [](TFGraphConfig& d) { d.cbWantAudio->click(); },
         AllEnabledBut({Ctl::ASources, Ctl::AComps, Ctl::AComp})},
        {"audio off, capture off and on again", [](TGraphConfig&) {},
         [](TFGraphConfig& d) {
             d.cbWantAudio->click();
             d.cbWantCapture->click();
             d.cbWantCapture->click();
         },
         AllEnabledBut({Ctl::ASources})},
        {"audio off and on again", [](TGraphConfig&) {},
         [](TFGraphConfig& d) {
             d.cbWantAudio->click();
             d.cbWantAudio->click();
         },
         AllEnabledBut({})},
        {"video compressor unticked", [](TGraphConfig&) {},
         [](TFGraphConfig& d) { d.cbVComp->click(); }, AllEnabledBut({Ctl::VComps})},
        {"audio compressor name gone", [](TGraphConfig& c) { c.AComp = "Gone"; }, noClick,
         AllEnabledBut({Ctl::AComps})},
        {"temporary file and preallocation off",
         [](TGraphConfig& c) { c.UseTempFile = c.DoPreallocFile = false; }, noClick,
         AllEnabledBut({Ctl::TempFile, Ctl::PreallocSize})},
        {"temporary file and preallocation clicked off", [](TGraphConfig&) {},
         [](TFGraphConfig& d) {
             d.cbUseTempFile->click();
             d.cbDoPreallocCaptureFile->click();
         },
         AllEnabledBut({Ctl::TempFile, Ctl::PreallocSize})},
    };
    for (const TEnablingCase& c : cases) {
        SCOPED_TRACE(c.name);
        TGraphConfig saved = Config;
        c.arrange(Config);
        const auto dialog = Filled();
        c.act(*dialog);
        const std::map<Ctl, bool> actual = EnabledStates(*dialog);
        for (const auto& [control, enabled] : c.expected)
            EXPECT_EQ(actual.at(control), enabled) << "control " << static_cast<int>(control);
        Config = saved;
    }
}

// ---- Running the dialog ------------------------------------------------------------------------

TEST_F(GraphConfigDialogTest, CancelLeavesTheConfigurationExactlyAsItWas) {
    const TGraphConfig before = Config;
    EXPECT_FALSE(RunDialog([](TFGraphConfig& dialog) {
        dialog.cbWantCapture->click();
        dialog.cbVSources->setCurrentIndex(2);
        dialog.sePreallocSize->setValue(10000);
        dialog.btnCancel->click();
    }));
    EXPECT_TRUE(Config == before);
    EXPECT_EQ(Config.VCompState, QByteArray("\x01\x02\x03", 3));
    EXPECT_FALSE(Config.VCapMode.IsEmpty());
}

TEST_F(GraphConfigDialogTest, OkStoresTheEditsAndZeroesTheModes) {
    Config.VCapSource = "Unplugged Camera";
    bool sawDialog = false;
    EXPECT_TRUE(RunDialog([&](TFGraphConfig& dialog) {
        sawDialog = dialog.isVisible() && dialog.isModal();
        EXPECT_EQ(dialog.cbVSources->currentIndex(), -1);
        dialog.sePreallocSize->setValue(10000);
        dialog.cbUseTempFile->click();
        dialog.btnOK->click();
    }));
    EXPECT_TRUE(sawDialog);
    EXPECT_EQ(Config.VCapSource, "");
    EXPECT_EQ(Config.ACapSource, "Microphone");
    EXPECT_EQ(Config.PreallocFileSize, 10000u);
    EXPECT_FALSE(Config.UseTempFile);
    EXPECT_TRUE(Config.VCapMode.IsEmpty());
    EXPECT_TRUE(Config.ACapMode.IsEmpty());
    EXPECT_TRUE(Config.VCompState.isEmpty());
}

} // namespace
