#include "StarterSettings.h"

#include "CaptureUtils.h"
#include "GraphConfig.h"
#include "IniFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <unistd.h>

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

namespace {

[[noreturn]] void FailWriting(const QString& fileName, const QString& reason) {
    throw EStarterPageError(
        QStringLiteral("Cannot write file %1. %2").arg(fileName, reason).toStdString());
}

} // namespace

QByteArray StarterPage() {
    QFile page(QStringLiteral(":/kamvero/starter-index.html"));
    if (!page.open(QIODevice::ReadOnly))
        throw EStarterPageError("The starter page is missing from the program's resources.");
    return page.readAll();
}

void WriteStarterPage(const QString& snapshotFolder) {
    const QDir folder(snapshotFolder);
    const QString target = folder.filePath(QStringLiteral("index.html"));
    if (QFileInfo::exists(target))
        return;
    const QByteArray page = StarterPage();
    // Written beside the page's name and renamed when whole; removed again on any failure.
    QTemporaryFile temporary(folder.filePath(QStringLiteral("index.html.XXXXXX")));
    if (!temporary.open() || temporary.write(page) != page.size() || !temporary.flush() ||
        ::fsync(temporary.handle()) != 0)
        FailWriting(target, temporary.errorString());
    // The temporary file is only its owner's; the page is for whoever serves the folder.
    temporary.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                             QFile::ReadOther);
    // A rename never replaces a file, so a page that appeared meanwhile is kept.
    if (!temporary.rename(target)) {
        if (QFileInfo::exists(target))
            return;
        FailWriting(target, temporary.errorString());
    }
    temporary.setAutoRemove(false);
}
