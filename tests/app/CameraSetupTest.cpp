// Camera Setup from the window: the configuration dialog on the window's own configuration.
#include "CaptureUtils.h"
#include "GraphConfigDialog.h"
#include "TestSupport.h"

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

} // namespace
