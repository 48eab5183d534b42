#pragma once

// The capture component on the real GStreamer platform, configured as the window configures
// it (preview, held capture branch, grabber; no sound), with what it shows and grabs collected.

#include "CaptureUtils.h"
#include "MainWindow.h"
#include "TestSupport.h"
#include "VideoCapture.h"
#include "gst/GstPlatform.h"

#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

class GstCaptureFixture : public testing::Test {
  protected:
    void SetUp() override {
        ClearAllDevices();
        Config.VCapSource = "Test Pattern";
        Config.WantPreview = true;
        Config.WantCapture = true;
        Config.WantBitmaps = true;
        Config.CaptureFileName = "capture.avi";
        Config.TempCaptureFileName = "captemp.avi";
        Config.WantAudio = false;
        Config.WantDVAudio = false;
        Config.WantAudioPreview = false;
    }
    void TearDown() override { ClearAllDevices(); }

    // A component shown at the program's preview size, its files in the test's folder.
    std::unique_ptr<TVideoCapture> MakeCapture() {
        auto capture = std::make_unique<TVideoCapture>(CreateGstPlatform());
        capture->resize(320, 240);
        capture->FileFolder = Folder.QPath();
        capture->ShowErrorBox = [this](const QString& text) {
            Messages << text;
        };
        capture->OnBitmapGrabbed = [this](const TCapturedBitmap& bitmap) {
            Grabbed.push_back(bitmap.copy());
        };
        capture->OnFrameRendered = [this](TVideoCapture*) {
            ++Rendered;
        };
        capture->OnAborted = [this](TVideoCapture*) {
            ++Aborted;
        };
        capture->show();
        return capture;
    }

    // The whole program on GStreamer, with the settings file the test wrote into its folder and
    // this fixture's capture configuration; messages go to ShownMessages().
    std::unique_ptr<TfrmMain> MakeWindow() {
        TMainWindowEnvironment environment;
        environment.ExecutablePath = Folder.File("kamvero");
        environment.CapturePlatform = [] {
            return CreateGstPlatform();
        };
        auto window = std::make_unique<TfrmMain>(std::move(environment));
        window->cap1->ShowErrorBox = [](const QString& text) {
            ShownMessages() << text;
        };
        window->CaptureConfig = Config;
        window->CaptureConfig.CaptureFileName.clear(); // The window's own files.
        return window;
    }

    // One requested frame, or a null image.
    QImage GrabOne(TVideoCapture& capture) {
        Grabbed.clear();
        if (!capture.RequestFrame())
            return {};
        return QTest::qWaitFor([&] { return !Grabbed.empty(); }, 3000) ? Grabbed.front() : QImage();
    }

    TTempDir Folder;
    TGraphConfig Config;
    QStringList Messages;
    std::vector<QImage> Grabbed;
    int Rendered = 0;
    int Aborted = 0;
};
