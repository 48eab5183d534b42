#pragma once

#include <QString>

// Where the running program lives and what its settings file is called. Everything the
// program keeps (settings, error log, help) sits beside the executable, unless that folder
// cannot be written (an installed copy): then the settings and the error log move to the
// user's configuration folder while the help stays with the program.

// The full path of the running executable, from /proc/self/exe.
QString RunningExecutablePath();

// The folder of an executable path with one "/" appended: the program's AppPath.
QString AppPathOf(const QString& executablePath);

// The settings file name for an executable name: "kamvero" gives "kamvero.ini", "Cam.EXE"
// gives "Cam.ini" and "my.app.exe" gives "my.ini".
QString SettingsFileNameOf(const QString& executableFileName);

// The folder, with one "/" appended, that holds the settings file and the error log: appPath
// itself while it can be written, else "kamvero/" under configHome ($XDG_CONFIG_HOME or
// ~/.config), created when missing.
QString SettingsFolderOf(const QString& appPath, const QString& configHome);
