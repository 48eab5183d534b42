// Uploads to one FTP server: our client against curl, one connection per file (connect, log
// in, store passively, disconnect) as a publishing pass makes it, for a snapshot-sized file
// (60 KB) and a large one (5 MB). Ours runs as in the program: on the GUI thread with the
// anti-freeze servicing the event loop. curl runs as one process per upload. The two alternate,
// so a slower spell of the machine or the server falls on both alike; the table compares the
// median, mean and slowest wall time of one upload.
// Usage: ftp_upload host port user password [runs]

#include "BenchTable.h"
#include "NetAntiFreeze.h"
#include "NetErrors.h"
#include "NetFTP.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr double Target = 1.0;
constexpr int WarmUpRuns = 3;

struct TServer {
    QString Host;
    int Port = 0;
    QString User;
    QString Password;
};

struct TUploadCase {
    const char* Label;
    qsizetype Bytes;
};

constexpr TUploadCase Cases[] = {{"60 KB", 60 * 1024}, {"5 MB", 5 * 1024 * 1024}};

// Incompressible bytes, so nothing on the way can make a transfer cheaper than its size.
void WriteSampleFile(const QString& fileName, qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    std::mt19937 random(7);
    for (char& byte : bytes)
        byte = static_cast<char>(random());
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != size)
        throw std::runtime_error("cannot write " + fileName.toStdString());
}

void UploadWithOurClient(const TServer& server, const QString& localFile,
                         const QString& remoteName) {
    TNetFTP ftp;
    ftp.Host = server.Host;
    ftp.Port = server.Port;
    ftp.User = server.User;
    ftp.Password = server.Password;
    ftp.Passive = true;
    ftp.ConnectServer(true);
    ftp.UploadFile(localFile, remoteName, false);
    ftp.DisconnectServer();
}

class TSpawnActions {
  public:
    TSpawnActions() { posix_spawn_file_actions_init(&Actions); }
    ~TSpawnActions() { posix_spawn_file_actions_destroy(&Actions); }
    TSpawnActions(const TSpawnActions&) = delete;
    TSpawnActions& operator=(const TSpawnActions&) = delete;
    posix_spawn_file_actions_t* Get() { return &Actions; }

  private:
    posix_spawn_file_actions_t Actions;
};

// Runs the command with its output discarded; throws unless it ends with exit code 0.
void RunQuietly(std::vector<std::string> arguments) {
    TSpawnActions actions;
    posix_spawn_file_actions_addopen(actions.Get(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], actions.Get(), nullptr, argv.data(), environ) != 0)
        throw std::runtime_error("cannot start " + arguments[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            throw std::runtime_error("lost " + arguments[0]);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(arguments[0] + " failed with status " + std::to_string(status));
}

void UploadWithCurl(const TServer& server, const QString& localFile, const QString& remoteName) {
    const QString url = QStringLiteral("ftp://%1:%2@%3:%4/%5")
                            .arg(server.User, server.Password, server.Host)
                            .arg(server.Port)
                            .arg(remoteName);
    // --max-time bounds a hung transfer; it never comes near a healthy one.
    RunQuietly({"curl", "-s", "-S", "--max-time", "60", "--ftp-pasv", "-T", localFile.toStdString(),
                url.toStdString()});
}

double Mean(const std::vector<double>& times) {
    return std::accumulate(times.begin(), times.end(), 0.0) / static_cast<double>(times.size());
}

// A stall (a lost wake-up, a retransmission) shows here long before it moves the median.
double Slowest(const std::vector<double>& times) {
    return *std::max_element(times.begin(), times.end());
}

struct TTimes {
    std::vector<double> Ours;
    std::vector<double> Peer;
};

TTimes TimeUploads(const TServer& server, const QString& localFile, int runs) {
    const auto ours = [&] {
        UploadWithOurClient(server, localFile, "ours.bin");
    };
    const auto peer = [&] {
        UploadWithCurl(server, localFile, "curl.bin");
    };
    for (int i = 0; i < WarmUpRuns; ++i) {
        ours();
        peer();
    }
    TTimes times;
    for (int i = 0; i < runs; ++i) {
        times.Ours.push_back(TimeMs(ours));
        times.Peer.push_back(TimeMs(peer));
    }
    return times;
}

TServer ServerFromArguments(char** argv) {
    bool ok = false;
    TServer server{QString::fromLocal8Bit(argv[1]), QString::fromLocal8Bit(argv[2]).toInt(&ok),
                   QString::fromLocal8Bit(argv[3]), QString::fromLocal8Bit(argv[4])};
    if (!ok || server.Port <= 0 || server.Port > 65535)
        throw std::runtime_error(std::string("not a port: ") + argv[2]);
    return server;
}

int RunBenchmark(const TServer& server, int runs) {
    QTemporaryDir folder;
    if (!folder.isValid())
        throw std::runtime_error("no temporary folder");
    std::printf("FTP upload to %s:%d, one connection per file, passive, %d runs each\n\n",
                server.Host.toLocal8Bit().constData(), server.Port, runs);
    PrintHeader();
    for (const TUploadCase& uploadCase : Cases) {
        const QString localFile = folder.filePath(QString::fromLatin1(uploadCase.Label));
        WriteSampleFile(localFile, uploadCase.Bytes);
        const TTimes times = TimeUploads(server, localFile, runs);
        const std::string label = std::string("upload ") + uploadCase.Label;
        PrintRow(label + ", median", Median(times.Ours), Median(times.Peer), Target);
        PrintRow(label + ", mean", Mean(times.Ours), Mean(times.Peer), 0);
        PrintRow(label + ", slowest", Slowest(times.Ours), Slowest(times.Peer), 0);
    }
    std::printf("\npeer: one curl -T --ftp-pasv process per upload, its start included\n");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 5 || argc > 6) {
        std::fprintf(stderr, "usage: %s host port user password [runs]\n", argv[0]);
        return 2;
    }
    QCoreApplication app(argc, argv);
    TNetAntiFreeze antiFreeze([] { QCoreApplication::processEvents(); });
    try {
        const int runs = argc == 6 ? std::max(1, std::atoi(argv[5])) : 100;
        return RunBenchmark(ServerFromArguments(argv), runs);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ftp_upload: %s\n", error.what());
        return 1;
    }
}
