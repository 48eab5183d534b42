#pragma once

#include "CapturePlatform.h"

#include <QByteArray>
#include <QString>

#include <stdexcept>

// A newcomer's first settings, so Start Capture shows the whole loop at once: the first camera
// the capture platform lists (its own "Test Pattern" when there is none, then with sensitivity 0),
// snapshots in the given folder, the web server on at port 8080, FTP publishing off. Written through the settings
// file's own format, keeping anything the file already holds. Throws EIniFileError when the
// file cannot be written.
void WriteStarterSettings(const QString& settingsFile, const QString& snapshotFolder,
                          ICapturePlatform& platform);

class EStarterPageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The starter folder's index.html: the newest snapshot, the archive ring's files and the live
// view when the server offers one. Kept in the program's resources.
QByteArray StarterPage();

// Puts the starter page into the folder as index.html unless the folder has one, which is kept
// as it is. The page appears whole or not at all. Throws EStarterPageError when it cannot be
// written.
void WriteStarterPage(const QString& snapshotFolder);
