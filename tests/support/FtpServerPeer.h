#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <sys/types.h>

// A real FTP server (tests/peers/ftp_server.py, pyftpdlib) on 127.0.0.1 serving one user with
// every permission on a root folder, for the lifetime of the object. Passive and active
// transfers both work. Every command line a client sends is recorded as received.
//
//   TTempDir root;
//   TFtpServerPeer server(root.QPath(), "user", "secret");
//   ftp.Port = server.Port();
//   ...
//   EXPECT_TRUE(server.Commands().contains("STOR snap.jpg"));
//
// Failing to start throws std::runtime_error with the server's error output. The server also
// ends with the thread that started it, so a crashed test leaves none behind: start it on a
// thread that outlives the object.
class TFtpServerPeer {
  public:
    TFtpServerPeer(const QString& rootFolder, const QString& user, const QString& password);
    ~TFtpServerPeer();
    TFtpServerPeer(const TFtpServerPeer&) = delete;
    TFtpServerPeer& operator=(const TFtpServerPeer&) = delete;

    // The listening port; after a restart the same one unless another socket took it meanwhile.
    int Port() const { return ListenPort; }
    bool Running() const { return Pid > 0; }

    // Every command line received since the start (or the last ClearCommands), restarts
    // included, in order, without the line ends; passwords are not masked.
    QStringList Commands() const;
    void ClearCommands();

    // Stop ends the server (connections drop at once); Start brings it back on the same root.
    // Both do nothing when the server is already in that state.
    void Stop();
    void Start();

  private:
    QString Root;
    QString User;
    QString Password;
    QTemporaryDir Scratch; // the command record and the server's error output
    pid_t Pid = 0;
    int ListenPort = 0;

    QString CommandsFile() const { return Scratch.filePath(QStringLiteral("commands.txt")); }
    QString ErrorFile() const { return Scratch.filePath(QStringLiteral("stderr.txt")); }
    QString ErrorOutput() const;
};
