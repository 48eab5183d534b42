// Loading the settings file into the controls at creation, and writing it back at close.
#include "Application.h"
#include "IniFile.h"
#include "MainWindow.h"

#include <QLocale>
#include <QSignalBlocker>
#include <QStringDecoder>
#include <type_traits>

namespace {

const std::string FTPHost = "FTPHost";
const std::string WWWHost = "WWWHost";
const std::string Camera = "Camera";

char LocaleDecimalSeparator() {
    const QString point = QLocale().decimalPoint();
    return point.size() == 1 && point.at(0).unicode() < 0x80
               ? static_cast<char>(point.at(0).unicode())
               : '.';
}

QString Utf8(const std::string& bytes) {
    return QString::fromStdString(bytes);
}
std::string Utf8(const QString& text) {
    return text.toStdString();
}

// A value goes into its control without firing the control's signal; the caller then runs
// the control's handler once, under the error report, so a handler that fails (a web port
// already taken) is reported and the remaining keys still load.
template <typename Control, typename Value> void Put(Control* control, Value value) {
    const QSignalBlocker quiet(control);
    if constexpr (std::is_same_v<Control, QCheckBox>)
        control->setChecked(value);
    else if constexpr (std::is_same_v<Control, QComboBox>)
        control->setCurrentIndex(value);
    else if constexpr (std::is_base_of_v<QLineEdit, Control>)
        control->setText(value);
    else
        control->setValue(value);
}

} // namespace

QString PasswordFromBytes(const std::string& bytes) {
    // Earlier versions stored the password as Latin-1; bytes that are no UTF-8 are read so.
    // Stateless, so a sequence cut off at the end counts as an error rather than waiting for more.
    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    const QString text = utf8(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    if (!utf8.hasError())
        return text;
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string PasswordToBytes(const QString& password) {
    return password.toStdString();
}

void TfrmMain::LoadSettings() {
    const TIniFile ini(SettingsFilePath().toStdString());
    LoadFTPHostSection(ini);
    LoadWWWHostSection(ini);
    LoadCameraSection(ini);
}

void TfrmMain::LoadFTPHostSection(const TIniFile& ini) {
    Put(edtHost, Utf8(ini.ReadString(FTPHost, "Host", "")));
    Put(edtLogin, Utf8(ini.ReadString(FTPHost, "Login", "")));
    Cipher.SetEncoded(ini.ReadString(FTPHost, "Password", ""));
    Put(edtPassword, PasswordFromBytes(Cipher.Decoded()));
    Put(chkPassive, ini.ReadBool(FTPHost, "PASV", true));
    Put(edtFTPDirectory, Utf8(ini.ReadString(FTPHost, "Directory", "")));
}

void TfrmMain::LoadWWWHostSection(const TIniFile& ini) {
    // The web folder falls back on the FTP folder just loaded, not on the local folder.
    Put(edtWWWPath, Utf8(ini.ReadString(WWWHost, "Directory", Utf8(edtFTPDirectory->text()))));
    Put(edtPort, Utf8(ini.ReadString(WWWHost, "Port", "8080")));
    Put(chkLive, ini.ReadBool(WWWHost, "Live", false));
    Web->LiveOn = chkLive->isChecked();
    Cipher.SetEncoded(ini.ReadString(WWWHost, "Password", ""));
    Put(edtWWWPassword, PasswordFromBytes(Cipher.Decoded()));
    Web->Password.Set(edtWWWPassword->text());
}

void TfrmMain::LoadCameraSection(const TIniFile& ini) {
    const char separator = LocaleDecimalSeparator();

    Put(Sensitivity1, ini.ReadInteger(Camera, "Sensitivity", 20));
    RunHandler([this] { Sensitivity1Change(); });
    Put(spnSense, ini.ReadFloat(Camera, "Sense", 1.0, separator));
    RunHandler([this] { spnSenseChange(); });
    Put(cbPixelFormat, ini.ReadInteger(Camera, "Colors", 4));
    RunHandler([this] { cbPixelFormatChange(); });
    Put(Interval, ini.ReadFloat(Camera, "Interval", 10.0, separator));
    Put(spnLag, ini.ReadInteger(Camera, "Framerate", 30));
    Put(spnArchive, ini.ReadInteger(Camera, "Archive", 100));
    RunHandler([this] { spnArchiveChange(); });
    Put(chkFTP, ini.ReadBool(Camera, "FTP", true));
    RunHandler([this] { chkFTPClick(); });
    Put(chkWWW, ini.ReadBool(Camera, "WWW", false));
    RunHandler([this] { chkWWWClick(); });
    Put(spnThumbs, ini.ReadInteger(Camera, "History", 10));
    RunHandler([this] { spnThumbsChange(); });
    Put(edtLocalDirectory1, Utf8(ini.ReadString(Camera, "Directory", "")));
    // Loading runs without the field's change signal; the web server serves it from here on.
    Web->Root.Set(edtLocalDirectory1->text());
    Put(edtFilename1, Utf8(ini.ReadString(Camera, "Filename", "camera")));
    RunHandler([this] { edtFilename1Change(); });
    Put(chkTS1, ini.ReadBool(Camera, "Timestamp", true));
    RunHandler([this] { chkTS1Click(); });
    const QString config = Utf8(ini.ReadString(Camera, "Config", ""));
    RunHandler([&] { CaptureConfig.LoadFromString(config); });

    // Each edge is clamped against the edges already loaded, in this order.
    Put(LeftTrack, ini.ReadInteger(Camera, "Left", 0));
    RunHandler([this] { LeftTrackChange(); });
    Put(TopTrack, ini.ReadInteger(Camera, "Top", 0));
    RunHandler([this] { TopTrackChange(); });
    Put(RightTrack, ini.ReadInteger(Camera, "Right", 319));
    RunHandler([this] { RightTrackChange(); });
    FrameWidth = RightTrack->value() + 1;
    Put(BottomTrack, ini.ReadInteger(Camera, "Bottom", 239));
    RunHandler([this] { BottomTrackChange(); });
    FrameHeight = BottomTrack->value() + 1;
    Put(chkUseGrid, ini.ReadBool(Camera, "UseGrid", false));
    Put(chkShowGrid, ini.ReadBool(Camera, "ShowGrid", false));
    RunHandler([this] { chkShowGridClick(); });
}

void TfrmMain::SaveSettings() {
    const char separator = LocaleDecimalSeparator();
    TIniFile ini(SettingsFilePath().toStdString());

    ini.WriteFloat(Camera, "Interval", Interval->value(), separator);
    ini.WriteInteger(Camera, "History", spnThumbs->value());
    ini.WriteInteger(Camera, "Archive", spnArchive->value());
    ini.WriteInteger(Camera, "Framerate", spnLag->value());
    ini.WriteBool(Camera, "FTP", chkFTP->isChecked());
    ini.WriteBool(Camera, "WWW", chkWWW->isChecked());
    ini.WriteString(Camera, "Filename", Utf8(edtFilename1->text()));
    ini.WriteString(Camera, "Directory", Utf8(edtLocalDirectory1->text()));
    ini.WriteString(Camera, "Config", Utf8(CaptureConfig.SaveToString()));
    ini.WriteBool(Camera, "Timestamp", chkTS1->isChecked());
    ini.WriteInteger(Camera, "Sensitivity", Sensitivity1->value());
    ini.WriteFloat(Camera, "Sense", spnSense->value(), separator);
    ini.WriteInteger(Camera, "Colors", cbPixelFormat->currentIndex());
    ini.WriteInteger(Camera, "Left", LeftTrack->value());
    ini.WriteInteger(Camera, "Top", TopTrack->value());
    ini.WriteInteger(Camera, "Right", RightTrack->value());
    ini.WriteInteger(Camera, "Bottom", BottomTrack->value());
    ini.WriteBool(Camera, "UseGrid", chkUseGrid->isChecked());
    ini.WriteBool(Camera, "ShowGrid", chkShowGrid->isChecked());

    ini.WriteString(FTPHost, "Login", Utf8(edtLogin->text()));
    Cipher.SetEncoded(PasswordToBytes(edtPassword->text()));
    ini.WriteString(FTPHost, "Password", Cipher.Decoded());
    ini.WriteString(FTPHost, "Directory", Utf8(edtFTPDirectory->text()));
    ini.WriteString(FTPHost, "Host", Utf8(edtHost->text()));
    ini.WriteBool(FTPHost, "PASV", chkPassive->isChecked());

    ini.WriteString(WWWHost, "Directory", Utf8(edtWWWPath->text()));
    ini.WriteString(WWWHost, "Port", Utf8(edtPort->text()));
    ini.WriteBool(WWWHost, "WWW", chkWWW->isChecked());
    ini.WriteBool(WWWHost, "Live", chkLive->isChecked());
    Cipher.SetEncoded(PasswordToBytes(edtWWWPassword->text()));
    ini.WriteString(WWWHost, "Password", Cipher.Decoded());

    ini.UpdateFile();
}
