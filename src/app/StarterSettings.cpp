#include "StarterSettings.h"

#include "CaptureUtils.h"
#include "GraphConfig.h"
#include "IniFile.h"

void WriteStarterSettings(const QString& settingsFile, const QString& snapshotFolder,
                          ICapturePlatform& platform) {
    const QStringList cameras = VideoCaptureDeviceNames(platform, true);
    // Read as the settings file would give it, so every field not named here takes the value a
    // settings file without it gets (the preview and the grabbing on). The window never uses
    // sound; a microphone in the graph would only cost.
    TGraphConfig camera;
    camera.LoadFromString(ToCommaText(
        {QStringLiteral("VCapSource=") + cameras.value(0, QStringLiteral("Test Pattern")),
         QStringLiteral("WantAudio=0"), QStringLiteral("WantDVAudio=0"),
         QStringLiteral("WantAudioPreview=0")}));

    QString folder = snapshotFolder;
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');

    TIniFile ini(settingsFile.toStdString());
    ini.WriteString("Camera", "Config", camera.SaveToString().toStdString());
    ini.WriteString("Camera", "Directory", folder.toStdString());
    ini.WriteBool("Camera", "FTP", false);
    ini.WriteBool("Camera", "WWW", true);
    ini.WriteString("WWWHost", "Port", "8080");
    // The Test Pattern's ball moves steadily, so the difference hardly changes from one compare
    // to the next and the default sensitivity would see motion only now and then.
    if (camera.VCapSource == QLatin1String("Test Pattern"))
        ini.WriteInteger("Camera", "Sensitivity", 0);
    ini.UpdateFile();
}
