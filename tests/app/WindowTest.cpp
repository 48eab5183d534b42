// The main window's controls as other logic reads them, and the splash window.
#include "Splash.h"
#include "TestSupport.h"

#include <QContextMenuEvent>
#include <QStatusTipEvent>
#include <QTest>
#include <functional>
#include <gtest/gtest.h>
#include <variant>

namespace {

struct TRange {
    double minimum;
    double maximum;
    double value;
};

struct TControlRow {
    const char* name;
    int tag;
    const char* hint;
    std::variant<std::monostate, TRange, const char*, bool> initial;
};

// What the rest of the program relies on: names, lock groups, hints, ranges and defaults.
const TControlRow ControlTable[] = {
    {"edtFilename1", 1, "The image name", "camera"},
    {"edtLocalDirectory1", 1, "Where to store the images", ""},
    {"chkTS1", 1, "Include the date and time on the images", true},
    {"spnArchive", 1, "How many images to keep locally", TRange{0, 1000, 100}},
    {"spnSense", 1, "Compare Interval (seconds)", TRange{0.5, 5, 1.0}},
    {"cbPixelFormat", 0, "", {}},
    {"Interval", 1, "How often to FTP the images (minutes)", TRange{0.5, 1440, 10}},
    {"chkFTP", 0, "FTP the images", {}},
    {"chkPassive", 0, "", true},
    {"spnLag", 1, "Live view framerate", TRange{1, 30, 30}},
    {"edtHost", 2, "", ""},
    {"spnThumbs", 2, "How many images to keep on FTP Host", TRange{1, 100, 10}},
    {"edtFTPDirectory", 2, "", ""},
    {"edtLogin", 2, "", ""},
    {"edtPassword", 2, "", ""},
    {"chkWWW", 0, "Activate the local Web Server", false},
    {"edtWWWPath", 3, "Where the web pages are stored", ""},
    {"edtPort", 3, "The Web Server port", "8080"},
    {"lblIP", 0, "The current IP address of the web server", "127.0.0.1"},
    {"Sensitivity1", 0, "Adjust the sensitivity of the motion detector", TRange{0, 100, 20}},
    {"LeftTrack", 0, "", TRange{0, 319, 0}},
    {"RightTrack", 0, "", TRange{0, 319, 319}},
    {"TopTrack", 0, "", TRange{0, 239, 0}},
    {"BottomTrack", 0, "", TRange{0, 239, 239}},
    {"chkUseGrid", 0, "", false},
    {"chkShowGrid", 0, "", false},
    {"btnConfigure1", 0, "Press to Configure the Camera", {}},
    {"lbDialogs1", 0, "Configure the video by double-clicking an item", {}},
    {"cbVModes1", 0, "Select a video mode", {}},
};

void ExpectRange(const QWidget* control, const TRange& range) {
    if (const auto* spin = qobject_cast<const QSpinBox*>(control)) {
        EXPECT_EQ(spin->minimum(), range.minimum);
        EXPECT_EQ(spin->maximum(), range.maximum);
        EXPECT_EQ(spin->value(), range.value);
    } else if (const auto* decimal = qobject_cast<const QDoubleSpinBox*>(control)) {
        EXPECT_DOUBLE_EQ(decimal->minimum(), range.minimum);
        EXPECT_DOUBLE_EQ(decimal->maximum(), range.maximum);
        EXPECT_DOUBLE_EQ(decimal->value(), range.value);
        EXPECT_EQ(decimal->decimals(), 1);
    } else if (const auto* slider = qobject_cast<const QSlider*>(control)) {
        EXPECT_EQ(slider->minimum(), range.minimum);
        EXPECT_EQ(slider->maximum(), range.maximum);
        EXPECT_EQ(slider->value(), range.value);
    } else {
        ADD_FAILURE() << "no range on this kind of control";
    }
}

QString TextOf(const QWidget* control) {
    if (const auto* edit = qobject_cast<const QLineEdit*>(control))
        return edit->text();
    if (const auto* label = qobject_cast<const QLabel*>(control))
        return label->text();
    return "<no text>";
}

class WindowTest : public testing::Test {
  protected:
    void SetUp() override { ShownMessages().clear(); }
    TTempDir Folder;
    TWindowUnderTest w{Folder};
};

TEST_F(WindowTest, ControlsCarryTheirTagsHintsRangesAndDefaults) {
    for (const TControlRow& row : ControlTable) {
        SCOPED_TRACE(row.name);
        const auto* control = w->findChild<QWidget*>(row.name);
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(control->property("Tag").toInt(), row.tag);
        EXPECT_EQ(control->statusTip(), QString::fromUtf8(row.hint));
        if (const auto* range = std::get_if<TRange>(&row.initial)) {
            ExpectRange(control, *range);
        } else if (const auto* text = std::get_if<const char*>(&row.initial)) {
            EXPECT_EQ(TextOf(control), QString::fromUtf8(*text));
        } else if (const auto* checked = std::get_if<bool>(&row.initial)) {
            EXPECT_EQ(qobject_cast<const QCheckBox*>(control)->isChecked(), *checked);
        }
    }
    EXPECT_EQ(w->edtPassword->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(w->spnLag->isHidden());
    EXPECT_TRUE(w->cbAModes1->isHidden());
}

TEST_F(WindowTest, DetectDepthListsFiveDepths) {
    QStringList items;
    for (int i = 0; i < w->cbPixelFormat->count(); ++i)
        items << w->cbPixelFormat->itemText(i);
    EXPECT_EQ(items, QStringList({"2 Colors", "16 Colors", "256 Colors", "65535 Colors",
                                  "16 Million Colors"}));
}

TEST_F(WindowTest, OnlyTheFourSpinEditsShowTooltips) {
    QStringList withTooltip;
    for (const QWidget* control : w->findChildren<QWidget*>())
        if (!control->toolTip().isEmpty() && !control->objectName().isEmpty())
            withTooltip << control->objectName();
    withTooltip.sort();
    EXPECT_EQ(withTooltip, QStringList({"spnArchive", "spnLag", "spnSense", "spnThumbs"}));
}

TEST_F(WindowTest, LayoutOfTheWindow) {
    EXPECT_EQ(w->windowTitle(), "Kamvero");
    EXPECT_EQ(w->size(), QSize(443, 528));
    ASSERT_EQ(w->Pages->count(), 3);
    EXPECT_EQ(w->Pages->tabText(0), "Images");
    EXPECT_EQ(w->Pages->tabText(1), "Settings");
    EXPECT_EQ(w->Pages->tabText(2), "Video Adjust");
    EXPECT_EQ(w->Pages->currentIndex(), 0);
    EXPECT_EQ(w->cap1->geometry(), QRect(2, 2, 320, 240));
    EXPECT_EQ(w->cap1->parentWidget(), w->pnlImageBG1);
    EXPECT_EQ(w->SnapShot1->geometry(), QRect(4, 281, 160, 120));
    // The grid's track bars and guide lines stay hidden until "Show Grid" is checked.
    for (const QWidget* part :
         {static_cast<QWidget*>(w->LeftTrack), static_cast<QWidget*>(w->TopLine)})
        EXPECT_TRUE(part->isHidden());
    w->chkShowGrid->setChecked(true);
    EXPECT_FALSE(w->LeftTrack->isHidden());
    EXPECT_FALSE(w->TopLine->isHidden());

    const QStringList captions = {" Start Capture", "Stop Capture", "Camera Setup", "Adjust Video",
                                  "Help"};
    const QList<QPushButton*> buttons = {w->btnStart, w->btnStop, w->btnConfigure1,
                                         w->btnVideoFilter1, w->btnHelp};
    for (int i = 0; i < buttons.size(); ++i) {
        EXPECT_EQ(buttons[i]->size(), QSize(45, 37));
        EXPECT_EQ(buttons[i]->findChild<QLabel*>()->text(), captions[i]);
    }
}

TEST_F(WindowTest, StatusBarShowsTheHintOfTheControlUnderTheMouse) {
    QStatusTipEvent tip(w->edtFilename1->statusTip());
    QCoreApplication::sendEvent(w->edtFilename1, &tip);
    EXPECT_EQ(w->StatusBar->PanelText(0), "The image name");
}

TEST_F(WindowTest, SwitchingFTPLocksTheServerSettings) {
    const QList<QWidget*> server = {w->edtHost, w->edtFTPDirectory, w->edtLogin, w->edtPassword,
                                    w->spnThumbs};
    w->chkFTP->setChecked(false);
    EXPECT_EQ(w->lblActiveFTP->text(), "No");
    for (const QWidget* control : server)
        EXPECT_TRUE(control->isEnabled());
    w->chkFTP->setChecked(true);
    EXPECT_EQ(w->lblActiveFTP->text(), "Yes");
    for (const QWidget* control : server)
        EXPECT_FALSE(control->isEnabled());
    EXPECT_TRUE(w->chkPassive->isEnabled());
    EXPECT_TRUE(w->Interval->isEnabled());
}

TEST_F(WindowTest, TrackBarsKeepTheRectangleFivePixelsWide) {
    w->LeftTrack->setValue(100);
    w->RightTrack->setValue(50);
    EXPECT_EQ(w->RightTrack->value(), 105);
    w->BottomTrack->setValue(20);
    w->TopTrack->setValue(200);
    EXPECT_EQ(w->TopTrack->value(), 15);
}

// The slash used to be added on every focus-out, so switching to another window or opening the
// field's context menu put it into the middle of a path typed half-way.
TEST_F(WindowTest, FolderFieldsEndWithASlashWhenTheFocusMovesWithinTheWindow) {
    w->Pages->setCurrentIndex(1); // Settings, where both fields are
    QWidget otherWindow;
    const auto activate = [](QWidget* window) {
        window->show();
        window->activateWindow();
        return QTest::qWaitForWindowActive(window);
    };
    const struct {
        const char* name;
        std::function<void(TDirectoryEdit*)> leave;
        bool slashed;
    } ways[] = {
        {"Tab to the next control",
         [](TDirectoryEdit* field) { QTest::keyClick(field, Qt::Key_Tab); }, true},
        {"a click on another control",
         [&](TDirectoryEdit*) { QTest::mouseClick(w->edtPort, Qt::LeftButton); }, true},
        {"another window", [&](TDirectoryEdit*) { ASSERT_TRUE(activate(&otherWindow)); }, false},
        {"the field's context menu",
         [](TDirectoryEdit* field) {
             QContextMenuEvent menuEvent(QContextMenuEvent::Keyboard, QPoint(4, 4),
                                         field->mapToGlobal(QPoint(4, 4)));
             QCoreApplication::sendEvent(field, &menuEvent);
             QWidget* menu = QApplication::activePopupWidget();
             ASSERT_NE(menu, nullptr);
             menu->close();
         },
         false},
    };
    for (TDirectoryEdit* field : {w->edtLocalDirectory1, w->edtWWWPath})
        for (const auto& way : ways) {
            SCOPED_TRACE(std::string(way.name) + " from " + field->objectName().toStdString());
            ASSERT_TRUE(activate(w.Window.get()));
            field->setFocus(Qt::OtherFocusReason);
            ASSERT_TRUE(field->hasFocus());
            field->setText("/srv/cam");
            way.leave(field);
            EXPECT_EQ(field->text(), QString(way.slashed ? "/srv/cam/" : "/srv/cam"));
        }
    ASSERT_TRUE(activate(w.Window.get()));
    w->edtLocalDirectory1->setFocus(Qt::OtherFocusReason);
    w->edtLocalDirectory1->setText("");
    QTest::keyClick(w->edtLocalDirectory1, Qt::Key_Tab);
    EXPECT_EQ(w->edtLocalDirectory1->text(), "");
    w->edtWWWPath->AcceptDialogName("/var/www");
    EXPECT_EQ(w->edtWWWPath->text(), "/var/www/");
}

TEST(SplashTest, ClosesOnAClickOnThePicture) {
    TfrmSplash splash;
    EXPECT_EQ(splash.size(), QSize(336, 257));
    EXPECT_TRUE(splash.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(splash.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_FALSE(splash.imgSplash->pixmap().isNull());
    EXPECT_EQ(splash.lblSplash->text(), "Kamvero");
    EXPECT_EQ(splash.lblSplash->pos(), QPoint(116, 40));
    EXPECT_TRUE(splash.lblSplash->font().bold());
    EXPECT_FALSE(splash.Timer->isActive());
    EXPECT_EQ(splash.Timer->interval(), 3000);

    splash.show();
    splash.Timer->start();
    QTest::mouseClick(splash.imgSplash, Qt::LeftButton, {}, QPoint(150, 40));
    EXPECT_FALSE(splash.isVisible());
    // The timer's later tick closes the hidden window again, without effect.
    splash.TimerTimer();
    EXPECT_FALSE(splash.isVisible());
    EXPECT_FALSE(splash.Timer->isActive());
}

TEST(SplashTest, ClosesWhenItsTimerFires) {
    TfrmSplash splash;
    splash.Timer->setInterval(10);
    splash.show();
    splash.Timer->start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !splash.isVisible(); }, 2000));
    EXPECT_FALSE(splash.Timer->isActive());
}

} // namespace

namespace {

// The window drives the camera: the stored configuration is applied a second after the window
// shows, the motion timer asks for frames, and each frame sets the frame size.
TEST(WindowCaptureTest, FramesReachTheWindowAndSizeTheTrackBars) {
    ShownMessages().clear();
    TTempDir folder;
    WriteTextFile(folder.File("kamvero.ini"),
                  "[Camera]\nConfig=\"VCapSource=Test Camera\",WantAudio=0\n");
    TWindowUnderTest w(folder);
    w.Platform->Devices[TDeviceCategory::VideoInputDevice] = {
        {"Test Camera", "cam", false, {VideoType(MEDIASUBTYPE_YUY2, 160, 120, 16)}}};
    w.Platform->GrabberFormat = VideoType(MEDIASUBTYPE_RGB24, 160, -120, 24);

    w->show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w->cap1->Previewing(); }, 3000));
    EXPECT_TRUE(ShownMessages().isEmpty()) << ShownMessages().join('|').toStdString();

    w->MotionTimerTimer();
    w.Platform->DeliverFrame(std::vector<std::uint8_t>(160 * 120 * 3, 0x80));
    ASSERT_TRUE(QTest::qWaitFor([&] { return w->FrameWidth == 160; }, 2000));
    EXPECT_EQ(w->FrameHeight, 120);
    EXPECT_EQ(w->RightTrack->maximum(), 159);
    EXPECT_EQ(w->RightTrack->value(), 159);
    EXPECT_EQ(w->BottomTrack->value(), 119);

    // No grab is asked for while an FTP tick runs.
    w->MotionTimer->stop();
    w->FTPBusy = true;
    const auto requests = w.Platform->Script->CallCount("GetConnectedMediaType");
    w->MotionTimerTimer();
    w.Platform->DeliverFrame(std::vector<std::uint8_t>(160 * 120 * 3, 0x80));
    QCoreApplication::processEvents();
    EXPECT_EQ(w.Platform->Script->CallCount("GetConnectedMediaType"), requests);
    w->FTPBusy = false;

    // The device and its mode go back into the settings at close.
    ASSERT_TRUE(w->close());
    const QString written = QString::fromUtf8(ReadTextFile(folder.File("kamvero.ini")));
    EXPECT_TRUE(written.contains("VCapSource=Test Camera")) << written.toStdString();
    EXPECT_TRUE(written.contains("VCapModeWidth=160")) << written.toStdString();
}

} // namespace
