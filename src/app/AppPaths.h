#pragma once

#include <QString>

// Where the running program lives and what its settings file is called. Everything the
// program keeps (settings, error log, help) sits beside the executable.

// The full path of the running executable, from /proc/self/exe.
QString RunningExecutablePath();

// The folder of an executable path with one "/" appended: the program's AppPath.
QString AppPathOf(const QString& executablePath);

// The settings file name for an executable name: "kamvero" gives "kamvero.ini", "Cam.EXE"
// gives "Cam.ini" and "my.app.exe" gives "my.ini".
QString SettingsFileNameOf(const QString& executableFileName);
