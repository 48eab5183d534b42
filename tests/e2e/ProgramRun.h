#pragma once

// The real program, started as its own process from a fresh folder that holds a copy of the
// executable and its settings file, with the test agent (Agent.cpp) loaded into it so a test
// can click, read and close its window as a user would.
//
//   TProgramRun run("[Camera]\nDirectory={folder}/snaps/\n...");
//   run.Start();
//   run.Command("click btnStart");
//   ...
//   run.CloseWindow(); // the window's own close, so the settings are written back

#include "TestSupport.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>

class TProgramRun {
  public:
    // The settings file's text; "{folder}" in it stands for the program's folder.
    explicit TProgramRun(const QByteArray& settings);
    ~TProgramRun(); // a program still running is killed
    TProgramRun(const TProgramRun&) = delete;
    TProgramRun& operator=(const TProgramRun&) = delete;

    // Starts the program and waits until its main window is shown; false when it is not
    // within the time (the program's output then tells why: Output()).
    bool Start();
    // Sends one agent command and answers the text after " -> " ("ok", a widget's text, or
    // "error: ..."); an empty text when the program gave no answer in time.
    QString Command(const QString& command);
    // Asks the main window to close as the window manager would; the exit code, or -1 when
    // the program had not ended within the time.
    int CloseWindow();

    bool Running() const;
    QStringList Messages() const;     // every message box shown so far
    QStringList LoggedErrors() const; // the lines of errors.txt
    QByteArray Output() const;        // what the program wrote to stdout and stderr

    // The program's folder, and a file in it (the settings file is "kamvero.ini").
    QString Folder() const { return Root.QPath(); }
    QString File(const QString& name) const { return Root.File(name); }

  private:
    TTempDir Root;
    QProcess Program;
    int RepliesSeen = 0;

    QString AgentFile(const char* name) const;
};

// The [Camera] section for the built-in Test Pattern at the shortest intervals, snapshots in
// {folder}/snaps/. Sensitivity 0 takes any change of the picture's difference for motion, so
// snapshots come often. More [Camera] keys may follow it.
QByteArray TestPatternCamera();
// The [FTPHost] section for a TFtpServerPeer(root, "kamvero", "secret") listening on the port.
QByteArray FtpHostSection(int port);

// Polls the condition every 100 ms while the event loop runs; true once it holds.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit);

// True when the file holds a whole JPEG (start and end markers) that decodes.
bool IsWholeJpeg(const QString& fileName);
