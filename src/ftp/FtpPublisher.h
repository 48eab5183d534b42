#pragma once

#include <QString>

#include <functional>

class TNetFTP;

// What one publishing pass reads from the window, at the moment the pass starts.
struct TFtpPassSettings {
    bool Passive = true;
    QString Directory;      // remote directory, sent as typed (empty still sends "CWD ")
    int HistoryCount = 0;   // numbered images kept on the server; below 1: no rotation
    QString BaseName;       // snapshot base name, e.g. "camera"
    QString LocalDirectory; // local snapshot folder, ending in "/"
};

// How the pass reports back to the window.
struct TFtpPassEvents {
    std::function<void(const QString&)> LogError;   // failures the pass survives
    std::function<void(const QString&)> ShowStatus; // status panel texts
    std::function<void()> Uploaded;                 // the newest snapshot is on the server
};

// base + k as four digits at least + ".jpg": history image k.
QString HistoryImageName(const QString& base, int k);

// One pass: connect and log in when not connected, change directory, shift the remote history
// one place down, store the newest local snapshot under base + ".jpg", disconnect. A failed
// connect or store leaves as an exception once the connection is closed; every other refusal
// is logged and the pass goes on.
void RunFtpPass(TNetFTP& ftp, const TFtpPassSettings& settings, const TFtpPassEvents& events);
