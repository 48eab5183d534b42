// Camera Setup from the window: the configuration dialog on the window's own configuration.
#include "CaptureUtils.h"
#include "FakeCapturePlatform.h"
#include "GraphConfigDialog.h"
#include "TestSupport.h"

#include <QComboBox>
#include <QListWidget>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

class CameraSetupTest : public testing::Test {
  protected:
    void SetUp() override {
        ClearAllDevices();
        w->CaptureConfig.VCapSource = "Old Camera";
        w.Platform->Devices[TDeviceCategory::VideoInputDevice] = {
            {"Test Camera", "cam-1", false, {}}};
    }
    void TearDown() override { ClearAllDevices(); }

    // Clicks Camera Setup; the driver works the dialog. A guard closes one it left open.
    void CameraSetup(const std::function<void(TFGraphConfig&)>& driver) {
        QTimer::singleShot(0, w.Window.get(), [&] {
            if (auto* dialog = w->findChild<TFGraphConfig*>())
                driver(*dialog);
            else
                ADD_FAILURE() << "no dialog open";
        });
        QTimer::singleShot(5000, w.Window.get(), [&] {
            if (auto* dialog = w->findChild<TFGraphConfig*>()) {
                ADD_FAILURE() << "dialog left open";
                dialog->reject();
            }
        });
        w->btnConfigure1->click();
    }

    // Runs the window's camera on a configuration for "Test Camera".
    void UseCamera(TFakeDevice camera) {
        w.Platform->Devices[TDeviceCategory::VideoInputDevice] = {std::move(camera)};
        w->CaptureConfig.VCapSource = "Test Camera";
        w->CaptureConfig.WantAudio = false;
        w->cap1->LoadConfig(&w->CaptureConfig);
    }
    std::vector<std::string> Calls(const std::string& prefix) const {
        std::vector<std::string> found;
        for (const std::string& call : w.Platform->Script->Calls)
            if (call.starts_with(prefix))
                found.push_back(call);
        return found;
    }
    QStringList Items(const QComboBox* box) const {
        QStringList items;
        for (int i = 0; i < box->count(); ++i)
            items << box->itemText(i);
        return items;
    }
    void ChooseMode(int index) {
        w->cbVModes1->setCurrentIndex(index);
        emit w->cbVModes1->activated(index);
    }

    TTempDir Folder;
    TWindowUnderTest w{Folder};
};

TEST_F(CameraSetupTest, OkAppliesTheChosenCameraAndCancelChangesNothing) {
    // Camera Setup starts from what the component runs with, and Cancel leaves it at that.
    TGraphConfig running;
    w->cap1->SaveConfig(&running);
    CameraSetup([](TFGraphConfig& dialog) { dialog.reject(); });
    EXPECT_EQ(w->CaptureConfig.SaveToString().toStdString(), running.SaveToString().toStdString());

    CameraSetup([](TFGraphConfig& dialog) {
        dialog.cbVSources->setCurrentIndex(dialog.cbVSources->findText("Test Camera"));
        dialog.btnOK->click();
    });
    EXPECT_EQ(w->CaptureConfig.VCapSource, "Test Camera");
    // The component took the configuration: it hands the chosen camera back.
    TGraphConfig taken;
    w->cap1->SaveConfig(&taken);
    EXPECT_EQ(taken.VCapSource, "Test Camera");
}

TEST_F(CameraSetupTest, VideoAdjustPageListsTheCamerasModesAndDialogs) {
    TFakeDevice camera{"Test Camera",
                       "cam-1",
                       false,
                       {VideoType(MEDIASUBTYPE_YUY2, 320, 240, 16),
                        VideoType(MEDIASUBTYPE_I420, 640, 480, 12),
                        VideoType(MEDIASUBTYPE_RGB24, 640, 480, 24)}};
    camera.Interfaces = {TIID::ISpecifyPropertyPages};
    camera.PinPages = true;
    w->CaptureConfig.VCapMode = {MEDIASUBTYPE_RGB24, 640, 480, 24};
    UseCamera(camera);
    EXPECT_EQ(Items(w->cbVModes1),
              QStringList({"320x240x16b (YUY2)", "640x480x12b", "640x480x24b (RGB24)"}));
    EXPECT_EQ(w->cbVModes1->currentIndex(), 2);
    ASSERT_EQ(w->lbDialogs1->count(), 2);
    EXPECT_EQ(w->lbDialogs1->item(0)->text(), "Video Capture Filter");
    EXPECT_EQ(w->lbDialogs1->item(1)->text(), "Video Capture Pin");

    w->lbDialogs1->setCurrentRow(0);
    emit w->lbDialogs1->itemDoubleClicked(w->lbDialogs1->item(0));
    EXPECT_EQ(Calls("OleCreatePropertyFrame"),
              std::vector<std::string>{"OleCreatePropertyFrame(VideoCapture,30,30)"});
    w.Platform->Script->Calls.clear();
    w->btnVideoFilter1->click();
    EXPECT_EQ(
        Calls("OleCreatePropertyFrame"),
        (std::vector<std::string>{"OleCreatePropertyFrame(VideoCapture,30,30)",
                                  "OleCreatePropertyFrame(StreamConfig.VideoCapture,30,30)"}));

    // A mode the camera refuses leaves the previous one, and the preview is rebuilt anyway.
    w.Platform->Script->Failures["SetFormat"] = E_FAIL;
    const std::size_t runs = Calls("Run").size();
    ChooseMode(0);
    EXPECT_EQ(w->cap1->GetCurrentVideoMode(), w->CaptureConfig.VCapMode);
    EXPECT_EQ(w->cbVModes1->currentIndex(), 2);
    EXPECT_EQ(Calls("Run").size(), runs + 1);
    EXPECT_TRUE(w->cap1->Previewing());
    w.Platform->Script->Failures.clear();
    ChooseMode(0);
    EXPECT_EQ(w->cap1->GetCurrentVideoMode(), (TVCapMode{MEDIASUBTYPE_YUY2, 320, 240, 16}));
    EXPECT_TRUE(w->cap1->Previewing());
}

TEST_F(CameraSetupTest, CamcorderOffersTheDecoderSizesAndNoDialogs) {
    TAMMediaType dv = VideoType(MEDIASUBTYPE_dvsd, 720, 576, 24);
    dv.majortype = MEDIATYPE_Interleaved;
    UseCamera({"Test Camera", "dv", true, {dv}});
    EXPECT_EQ(Items(w->cbVModes1),
              QStringList({"720x576x24b", "360x288x24b", "180x144x24b", "88x72x24b"}));
    ChooseMode(2);
    EXPECT_FALSE(Calls("put_IPDisplay(1002)").empty());
    EXPECT_TRUE(w->cap1->Previewing());
    EXPECT_EQ(w->cbVModes1->currentIndex(), 2);

    // "Adjust Video" with nothing to adjust opens nothing.
    EXPECT_EQ(w->lbDialogs1->count(), 0);
    w.Platform->Script->Calls.clear();
    w->btnVideoFilter1->click();
    emit w->lbDialogs1->itemDoubleClicked(nullptr);
    EXPECT_TRUE(Calls("OleCreatePropertyFrame").empty());
    EXPECT_TRUE(Calls("ShowDialog").empty());
}

} // namespace
