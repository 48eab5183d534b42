#pragma once

#include "CapturePlatform.h"

#include <QString>

// A newcomer's first settings, so Start Capture shows the whole loop at once: the first camera
// the capture platform lists (its own "Test Pattern" when there is none, then with sensitivity 0),
// snapshots in the given folder, the web server on at port 8080, FTP publishing off. Written through the settings
// file's own format, keeping anything the file already holds. Throws EIniFileError when the
// file cannot be written.
void WriteStarterSettings(const QString& settingsFile, const QString& snapshotFolder,
                          ICapturePlatform& platform);
