#include "AppPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <filesystem>
#include <unistd.h>

QString RunningExecutablePath() {
    std::error_code error;
    const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? QString() : QString::fromStdString(path.string());
}

QString AppPathOf(const QString& executablePath) {
    QString folder = QFileInfo(executablePath).absolutePath();
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    return folder;
}

QString SettingsFileNameOf(const QString& executableFileName) {
    QString name = QFileInfo(executableFileName).fileName();

    // Cut everything from the first ".exe", found case-insensitively, so that a name copied
    // over from another platform still finds its settings.
    const qsizetype exe = name.toLower().indexOf(QLatin1String(".exe"));
    if (exe >= 0)
        name.truncate(exe);

    // Replace the extension when the last of ".", ":" and "/" is a dot; otherwise append.
    const qsizetype lastMark =
        std::max({name.lastIndexOf(QLatin1Char('.')), name.lastIndexOf(QLatin1Char(':')),
                  name.lastIndexOf(QLatin1Char('/'))});
    if (lastMark >= 0 && name.at(lastMark) == QLatin1Char('.'))
        name.truncate(lastMark);
    return name + QLatin1String(".ini");
}

QString SettingsFolderOf(const QString& appPath, const QString& configHome) {
    // access() asks the kernel, so it also knows read-only mounts; root may write anywhere,
    // and a copy run by root keeps its settings where it stands.
    if (!appPath.isEmpty() && ::access(QFile::encodeName(appPath).constData(), W_OK) == 0)
        return appPath;
    const QString folder = QDir(configHome).filePath(QStringLiteral("kamvero")) + QLatin1Char('/');
    // A fresh account may not even have ~/.config yet. A folder that cannot be made shows up
    // later, as the settings file failing to save.
    QDir().mkpath(folder);
    return folder;
}
