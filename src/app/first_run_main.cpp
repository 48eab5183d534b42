// Writes a newcomer's settings file where the program will look for it (beside the program, or
// in the user's configuration folder when the program's folder cannot be written) when there is
// none yet, and makes its snapshot folder beside the settings with a starter index.html for the
// web server.
// Usage: kamvero-first-run <path of the kamvero executable>
#include "AppPaths.h"
#include "IniFile.h"
#include "StarterSettings.h"
#include "gst/GstPlatform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <cstdio>

int main(int argc, char** argv) {
    Q_INIT_RESOURCE(kamvero);
    const QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "Usage: kamvero-first-run <path of the kamvero executable>\n");
        return 2;
    }
    const QString program = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath();
    const QString folder = SettingsFolderOf(
        AppPathOf(program), QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
    const QString settings = folder + SettingsFileNameOf(program);
    if (QFileInfo::exists(settings))
        return 0;
    const QString snapshots = folder + QStringLiteral("snapshots/");
    if (!QDir().mkpath(snapshots)) {
        std::fprintf(stderr, "Cannot create folder %s\n", qPrintable(snapshots));
        return 1;
    }
    // The page first: settings once written end every later run here, a missing page would stay.
    try {
        WriteStarterPage(snapshots);
        WriteStarterSettings(settings, snapshots, *CreateGstPlatform());
    } catch (const std::runtime_error& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    std::printf("Wrote starter settings %s (snapshots and a starter page in %s, web server on "
                "http://localhost:8080/)\n",
                qPrintable(settings), qPrintable(snapshots));
    return 0;
}
