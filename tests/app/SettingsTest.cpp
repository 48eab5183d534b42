// Loading the settings into the window's controls and writing them back.
#include "IniFile.h"
#include "StarterSettings.h"
#include "TestSupport.h"
#include "XorCipher.h"

#include <QDir>
#include <QLocale>
#include <gtest/gtest.h>

namespace {

class SettingsTest : public testing::Test {
  protected:
    void SetUp() override {
        ShownMessages().clear();
        QLocale::setDefault(QLocale::c());
    }
    void TearDown() override { QLocale::setDefault(QLocale::c()); }

    QString SettingsFile() const { return Folder.File("kamvero.ini"); }
    void WriteSettings(const QByteArray& text) const { WriteTextFile(SettingsFile(), text); }

    // The key lines of the settings file in file order, as "Section/Key=value".
    QStringList WrittenKeys() const {
        QStringList keys;
        QString section;
        for (const QByteArray& raw : ReadTextFile(SettingsFile()).split('\n')) {
            const QString line = QString::fromUtf8(raw);
            if (line.startsWith('['))
                section = line.mid(1, line.size() - 2);
            else if (line.startsWith("Config="))
                keys << section + "/Config=<capture configuration>";
            else if (line.contains('='))
                keys << section + '/' + line;
        }
        return keys;
    }

    TTempDir Folder;
};

TEST_F(SettingsTest, MissingFileGivesTheDefaults) {
    TWindowUnderTest w(Folder);
    EXPECT_EQ(w->edtFilename1->text(), "camera");
    EXPECT_EQ(w->edtLocalDirectory1->text(), "");
    EXPECT_EQ(w->spnArchive->value(), 100);
    EXPECT_EQ(w->ArchiveMax, 100);
    EXPECT_EQ(w->spnThumbs->value(), 10);
    EXPECT_DOUBLE_EQ(w->Interval->value(), 10.0);
    EXPECT_TRUE(w->chkFTP->isChecked());
    EXPECT_TRUE(w->chkPassive->isChecked());
    EXPECT_TRUE(w->chkTS1->isChecked());
    EXPECT_FALSE(w->chkWWW->isChecked());
    EXPECT_EQ(w->edtPort->text(), "8080");
    EXPECT_EQ(w->Sensitivity1->value(), 20);
    EXPECT_DOUBLE_EQ(w->spnSense->value(), 1.0);
    EXPECT_EQ(w->cbPixelFormat->currentIndex(), 4);
    EXPECT_EQ(w->LeftTrack->value(), 0);
    EXPECT_EQ(w->TopTrack->value(), 0);
    EXPECT_EQ(w->RightTrack->value(), 319);
    EXPECT_EQ(w->BottomTrack->value(), 239);
    EXPECT_FALSE(w->chkUseGrid->isChecked());
    EXPECT_FALSE(w->chkShowGrid->isChecked());
    EXPECT_EQ(w->FrameWidth, 320);
    EXPECT_EQ(w->FrameHeight, 240);
    EXPECT_TRUE(ShownMessages().isEmpty());
}

TEST_F(SettingsTest, FreshFileIsWrittenInTheFixedOrder) {
    {
        TWindowUnderTest w(Folder);
        ASSERT_TRUE(w->close());
    }
    const QStringList expected = {
        "Camera/Interval=10",     "Camera/History=10",     "Camera/Archive=100",
        "Camera/Framerate=30",    "Camera/FTP=1",          "Camera/WWW=0",
        "Camera/Filename=camera", "Camera/Directory=",     "Camera/Config=<capture configuration>",
        "Camera/Timestamp=1",     "Camera/Sensitivity=20", "Camera/Sense=1",
        "Camera/Colors=4",        "Camera/Left=0",         "Camera/Top=0",
        "Camera/Right=319",       "Camera/Bottom=239",     "Camera/UseGrid=0",
        "Camera/ShowGrid=0",      "FTPHost/Login=",        "FTPHost/Password=",
        "FTPHost/Directory=",     "FTPHost/Host=",         "FTPHost/PASV=1",
        "WWWHost/Directory=",     "WWWHost/Port=8080",     "WWWHost/WWW=0",
        "WWWHost/Live=0",         "WWWHost/Password=",
    };
    EXPECT_EQ(WrittenKeys(), expected);
}

TEST_F(SettingsTest, ValuesAreClampedIntoTheControlsRanges) {
    WriteSettings("[Camera]\nArchive=5000\nHistory=0\nSense=9\nInterval=0.1\nSensitivity=150\n"
                  "Left=0x10\nColors=7\nFramerate=$FF\n");
    TWindowUnderTest w(Folder);
    EXPECT_EQ(w->spnArchive->value(), 1000);
    EXPECT_EQ(w->ArchiveMax, 1000);
    EXPECT_EQ(w->lblLocalQTY->text(), "1000");
    EXPECT_EQ(w->spnThumbs->value(), 1);
    EXPECT_EQ(w->lblFTPQTY->text(), "1");
    EXPECT_DOUBLE_EQ(w->spnSense->value(), 5.0);
    EXPECT_EQ(w->MotionTimer->interval(), 5000);
    EXPECT_DOUBLE_EQ(w->Interval->value(), 0.5);
    EXPECT_EQ(w->Sensitivity1->value(), 100);
    EXPECT_EQ(w->lblSens->text(), "100");
    EXPECT_EQ(w->LeftTrack->value(), 16);
    EXPECT_EQ(w->spnLag->value(), 30);
    // An index outside the list leaves nothing selected, and that is what is written back.
    EXPECT_EQ(w->cbPixelFormat->currentIndex(), -1);
    ASSERT_TRUE(w->close());
    EXPECT_TRUE(WrittenKeys().contains("Camera/Colors=-1"));
}

TEST_F(SettingsTest, UnconvertibleNumbersGiveTheirDefaults) {
    WriteSettings("[Camera]\nArchive=lots\nSense=\nTimestamp=yes\nInterval=1,5\n"
                  "[FTPHost]\nPASV=maybe\n");
    TWindowUnderTest w(Folder);
    EXPECT_EQ(w->spnArchive->value(), 100);
    EXPECT_DOUBLE_EQ(w->spnSense->value(), 1.0);
    EXPECT_TRUE(w->chkTS1->isChecked());
    // A decimal comma under a locale whose separator is a point is not a number.
    EXPECT_DOUBLE_EQ(w->Interval->value(), 10.0);
    EXPECT_TRUE(w->chkPassive->isChecked());
}

TEST_F(SettingsTest, FloatsUseTheLocalesDecimalSeparator) {
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    WriteSettings("[Camera]\nSense=2,5\nInterval=1,5\n");
    {
        TWindowUnderTest w(Folder);
        EXPECT_DOUBLE_EQ(w->spnSense->value(), 2.5);
        EXPECT_EQ(w->MotionTimer->interval(), 2500);
        EXPECT_DOUBLE_EQ(w->Interval->value(), 1.5);
        ASSERT_TRUE(w->close());
    }
    EXPECT_TRUE(WrittenKeys().contains("Camera/Sense=2,5"));
    EXPECT_TRUE(WrittenKeys().contains("Camera/Interval=1,5"));
}

TEST_F(SettingsTest, WebFolderFallsBackOnTheFTPFolderAndOnlyCameraWWWCounts) {
    WriteSettings("[FTPHost]\nDirectory=/pub/cam\n[Camera]\nDirectory=/home/me/pics/\n"
                  "WWW=0\n[WWWHost]\nWWW=1\n");
    TWindowUnderTest w(Folder);
    EXPECT_EQ(w->edtWWWPath->text(), "/pub/cam");
    EXPECT_FALSE(w->chkWWW->isChecked());
    EXPECT_EQ(w->lblActiveWWW->text(), "No");
}

TEST_F(SettingsTest, StarterSettingsChooseTheFirstCameraAndKeepWhatTheFileHolds) {
    const auto camera = [this] {
        TGraphConfig config;
        config.LoadFromString(QString::fromStdString(
            TIniFile(SettingsFile().toStdString()).ReadString("Camera", "Config", "")));
        EXPECT_TRUE(config.WantPreview && config.WantBitmaps) << "the preview and grabbing on";
        return config.VCapSource;
    };
    TFakeCapturePlatform platform;
    WriteStarterSettings(SettingsFile(), Folder.File("snaps"), platform);
    EXPECT_EQ(camera(), "Test Pattern");
    EXPECT_EQ(TIniFile(SettingsFile().toStdString()).ReadInteger("Camera", "Sensitivity", 20), 0);

    WriteSettings("[FTPHost]\nHost=ftp.example.org\n");
    platform.Devices[TDeviceCategory::VideoInputDevice] = {{"USB Camera", "usb-1", false, {}},
                                                           {"Other Camera", "usb-2", false, {}}};
    WriteStarterSettings(SettingsFile(), Folder.File("snaps"), platform);
    EXPECT_EQ(camera(), "USB Camera");
    const TIniFile ini(SettingsFile().toStdString());
    EXPECT_FALSE(ini.ValueExists("Camera", "Sensitivity")) << "a real camera keeps the default";
    EXPECT_EQ(ini.ReadString("Camera", "Directory", ""), Folder.File("snaps/").toStdString());
    EXPECT_FALSE(ini.ReadBool("Camera", "FTP", true));
    EXPECT_TRUE(ini.ReadBool("Camera", "WWW", false));
    EXPECT_EQ(ini.ReadString("WWWHost", "Port", ""), "8080");
    EXPECT_EQ(ini.ReadString("FTPHost", "Host", ""), "ftp.example.org");
}

// The page goes into a fresh folder whole and under its own name only; a page already there is
// the user's and stays byte for byte.
TEST_F(SettingsTest, StarterPageIsWrittenOnlyWhereThereIsNone) {
    const struct {
        const char* Name;
        QByteArray Existing; // empty: no index.html yet
    } cases[] = {
        {"fresh folder", {}},
        {"folder with a page", "<p>mine</p>\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const TTempDir folder;
        if (!c.Existing.isEmpty())
            WriteTextFile(folder.File("index.html"), c.Existing);
        WriteStarterPage(folder.QPath());
        EXPECT_EQ(QString::fromUtf8(ReadTextFile(folder.File("index.html"))),
                  QString::fromUtf8(c.Existing.isEmpty() ? StarterPage() : c.Existing));
        EXPECT_EQ(QDir(folder.QPath()).entryList(QDir::Files | QDir::Hidden),
                  QStringList{"index.html"})
            << "no temporary file left";
    }
}

TEST_F(SettingsTest, LoadedValuesDriveTheDependentState) {
    WriteSettings("[Camera]\nFTP=0\nTimestamp=0\nFilename=door\nHistory=25\nShowGrid=1\n"
                  "Left=300\nRight=200\nTop=10\nBottom=12\n");
    TWindowUnderTest w(Folder);
    EXPECT_EQ(w->lblActiveFTP->text(), "No");
    EXPECT_TRUE(w->edtHost->isEnabled());
    EXPECT_EQ(w->lblUseTimestamp1->text(), "No");
    EXPECT_EQ(w->lblImageFilename1->text(), "door");
    EXPECT_EQ(w->lblFTPQTY->text(), "25");
    EXPECT_FALSE(w->LeftTrack->isHidden());
    EXPECT_FALSE(w->BottomLine->isHidden());
    // Each edge keeps five pixels from the edges loaded before it.
    EXPECT_EQ(w->LeftTrack->value(), 300);
    EXPECT_EQ(w->RightTrack->value(), 305);
    EXPECT_EQ(w->FrameWidth, 306);
    EXPECT_EQ(w->TopTrack->value(), 10);
    EXPECT_EQ(w->BottomTrack->value(), 15);
    EXPECT_EQ(w->FrameHeight, 16);
}

// A handler that fails while a loaded value takes effect used to abort the load, and the
// keys after it were then overwritten with defaults at the next close.
TEST_F(SettingsTest, ALoadErrorIsReportedAndTheRemainingKeysStillLoad) {
    WriteSettings("[WWWHost]\nPort=80x\n[Camera]\nWWW=1\nHistory=42\nFilename=door\n"
                  "Bottom=100\nShowGrid=1\n");
    TWindowUnderTest w(Folder);
    EXPECT_EQ(ShownMessages(), QStringList{"'80x' is not a valid integer value"});
    EXPECT_TRUE(w->chkWWW->isChecked());
    EXPECT_FALSE(w->edtPort->isEnabled());
    EXPECT_EQ(w->lblActiveWWW->text(), "No");
    EXPECT_EQ(w->spnThumbs->value(), 42);
    EXPECT_EQ(w->edtFilename1->text(), "door");
    EXPECT_EQ(w->BottomTrack->value(), 100);
    EXPECT_TRUE(w->chkShowGrid->isChecked());
}

// Each byte XOR 87, the main window's key.
std::string Scrambled(const QByteArray& plain) {
    return TXorCipher(87).XorText(plain.toStdString());
}

// Characters outside Latin-1 used to be stored as "?"; files of earlier versions hold Latin-1.
TEST_F(SettingsTest, PasswordIsStoredScrambledAsUtf8AndOldLatin1FilesStillLoad) {
    const struct {
        const char* name;
        QString typed;
        std::string stored;
    } cases[] = {
        {"ASCII", "secret", "$24%2#"},
        {"beyond Latin-1", QString::fromUtf8("pässwörd€"),
         Scrambled("p\xC3\xA4ssw\xC3\xB6rd\xE2\x82\xAC")},
        {"Latin-1 from an earlier version", QString::fromUtf8("pässwörd"),
         Scrambled("p\xE4ssw\xF6rd")},
        // Valid UTF-8 up to a lead byte at the very end, which must not be dropped as unfinished.
        {"Latin-1 ending in a UTF-8 lead byte", QString::fromUtf8("naiveÃ"),
         Scrambled("naive\xC3")},
    };
    // The web server's password is kept the same way as the FTP password.
    const struct {
        const char* section;
        QLineEdit* TfrmMain::*field;
    } fields[] = {{"FTPHost", &TfrmMain::edtPassword}, {"WWWHost", &TfrmMain::edtWWWPassword}};
    for (const auto& f : fields)
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(f.section) + ": " + c.name);
            TIniFile file(SettingsFile().toStdString());
            file.WriteString(f.section, "Password", c.stored);
            file.UpdateFile();
            TWindowUnderTest w(Folder);
            EXPECT_EQ((w.Window.get()->*f.field)->text(), c.typed);
            // Saved again, the password is UTF-8 whatever it was read from.
            ASSERT_TRUE(w->close());
            EXPECT_EQ(TIniFile(SettingsFile().toStdString()).ReadString(f.section, "Password", ""),
                      Scrambled(c.typed.toUtf8()));
            w.Restart();
            EXPECT_EQ((w.Window.get()->*f.field)->text(), c.typed);
        }
}

TEST_F(SettingsTest, EveryTextSurvivesARestartUnchanged) {
    QString password;
    for (int code = 1; code <= 255; ++code)
        password += QChar(code);
    const QString awkward = "  \"quoted\" = ;[x] \t";
    {
        TWindowUnderTest w(Folder);
        w->edtPassword->setText(password);
        w->edtHost->setText(awkward);
        w->edtLocalDirectory1->setText(QString::fromUtf8("/home/me/Bilder/Küche/"));
        w->edtFTPDirectory->setText("line1\r\nline2");
        ASSERT_TRUE(w->close());
    }
    TWindowUnderTest again(Folder);
    EXPECT_EQ(again->edtPassword->text(), password);
    EXPECT_EQ(again->edtHost->text(), awkward);
    EXPECT_EQ(again->edtLocalDirectory1->text(), QString::fromUtf8("/home/me/Bilder/Küche/"));
    EXPECT_EQ(again->edtFTPDirectory->text(), "line1\r\nline2");
    // Plain values stay readable in the file.
    EXPECT_TRUE(
        WrittenKeys().contains(QString::fromUtf8("Camera/Directory=/home/me/Bilder/Küche/")));
}

TEST_F(SettingsTest, ChangesMadeInTheWindowAreWrittenAtClose) {
    {
        TWindowUnderTest w(Folder);
        w->spnArchive->setValue(7);
        w->Sensitivity1->setValue(55);
        w->chkUseGrid->setChecked(true);
        w->cbPixelFormat->setCurrentIndex(1);
        ASSERT_TRUE(w->close());
    }
    TWindowUnderTest again(Folder);
    EXPECT_EQ(again->spnArchive->value(), 7);
    EXPECT_EQ(again->Sensitivity1->value(), 55);
    EXPECT_TRUE(again->chkUseGrid->isChecked());
    EXPECT_EQ(again->cbPixelFormat->currentIndex(), 1);
}

TEST_F(SettingsTest, SettingsFileIsNamedAfterTheExecutable) {
    WriteTextFile(Folder.File("Cam.ini"), "[Camera]\nFilename=porch\n");
    TWindowUnderTest w(Folder, "Cam.EXE");
    EXPECT_EQ(w->edtFilename1->text(), "porch");
    EXPECT_EQ(w->SettingsFilePath(), Folder.File("Cam.ini"));
}

} // namespace
