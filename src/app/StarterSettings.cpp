#include "StarterSettings.h"

#include "CaptureUtils.h"
#include "GraphConfig.h"
#include "IniFile.h"

void WriteStarterSettings(const QString& settingsFile, const QString& snapshotFolder,
                          ICapturePlatform& platform) {
    const QStringList cameras = VideoCaptureDeviceNames(platform, true);
    TGraphConfig camera;
    camera.VCapSource = cameras.value(0, QStringLiteral("Test Pattern"));
    // The window never uses sound; a microphone in the graph would only cost.
    camera.WantAudio = false;
    camera.WantDVAudio = false;
    camera.WantAudioPreview = false;

    QString folder = snapshotFolder;
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');

    TIniFile ini(settingsFile.toStdString());
    ini.WriteString("Camera", "Config", camera.SaveToString().toStdString());
    ini.WriteString("Camera", "Directory", folder.toStdString());
    ini.WriteBool("Camera", "FTP", false);
    ini.WriteBool("Camera", "WWW", true);
    ini.WriteString("WWWHost", "Port", "8080");
    ini.UpdateFile();
}
