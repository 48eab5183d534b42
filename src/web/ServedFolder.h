#pragma once

#include "NetConnection.h"

#include <QString>

// The folder the web server serves, opened once, and files opened beneath it: no symbolic link,
// no ".." and no link swapped in between a look and the open reaches anything outside. Links
// that stay inside the folder are followed.
class TServedFolder {
  public:
    enum class TOutcome {
        Opened,  // File holds it, read-only
        Missing, // nothing there (or a file where a folder was needed, or a loop of links)
        Outside, // the path leaves the folder, through ".." or a link
        Refused, // there, but the system would not open it; Error says why
    };
    struct TOpened {
        TOutcome Outcome = TOutcome::Missing;
        TUniqueFd File;
        int Error = 0; // errno, for Refused
    };

    // The folder at the path, links on the way followed (it may be a link itself).
    explicit TServedFolder(const QString& path);

    // `relative` names a file or folder below the served one ("" for the folder itself); "/"
    // separates its components. Done by the kernel where it can (openat2), else by Walk.
    TOpened Open(const QString& relative) const;
    // The same one component at a time, never following a link without reading it first: for
    // kernels without openat2 and for absolute links, which the kernel refuses beneath a folder.
    TOpened Walk(const QString& relative) const;

  private:
    TUniqueFd Folder; // O_PATH

    QByteArray RealPath() const;
};
