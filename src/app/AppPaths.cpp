#include "AppPaths.h"

#include <QFileInfo>
#include <algorithm>
#include <filesystem>

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
