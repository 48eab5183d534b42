#include "FtpServerPeer.h"

#include <QFile>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto StartTimeout = 10s;
constexpr auto StopTimeout = 5s;
constexpr auto ScriptPath = KAMVERO_TEST_PEERS_DIR "/ftp_server.py";
// Debian's interpreter, where pyftpdlib is installed; the one on PATH may be another.
constexpr auto Interpreter = "/usr/bin/python3";

class TUniqueFd {
  public:
    explicit TUniqueFd(int fd = -1) : Fd(fd) {}
    ~TUniqueFd() { Reset(); }
    TUniqueFd(TUniqueFd&& other) noexcept : Fd(std::exchange(other.Fd, -1)) {}
    TUniqueFd& operator=(TUniqueFd&& other) noexcept {
        if (this != &other) {
            Reset();
            Fd = std::exchange(other.Fd, -1);
        }
        return *this;
    }
    TUniqueFd(const TUniqueFd&) = delete;
    TUniqueFd& operator=(const TUniqueFd&) = delete;

    int Get() const { return Fd; }
    void Reset() {
        if (Fd >= 0)
            ::close(Fd);
        Fd = -1;
    }

  private:
    int Fd;
};

struct TPipe {
    TUniqueFd ReadEnd;
    TUniqueFd WriteEnd;
};

TPipe MakePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("FTP test server: cannot create a pipe");
    return {TUniqueFd(fds[0]), TUniqueFd(fds[1])};
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

class TSpawnAttributes {
  public:
    TSpawnAttributes() { posix_spawnattr_init(&Attributes); }
    ~TSpawnAttributes() { posix_spawnattr_destroy(&Attributes); }
    TSpawnAttributes(const TSpawnAttributes&) = delete;
    TSpawnAttributes& operator=(const TSpawnAttributes&) = delete;
    posix_spawnattr_t* Get() { return &Attributes; }

  private:
    posix_spawnattr_t Attributes;
};

// The child gets the pipe as standard output, the error file as standard error and nothing
// else of ours: an inherited listening socket would keep a port of a test busy.
void RouteOutputs(TSpawnActions& actions, int stdoutFd, const std::string& errorFile) {
    posix_spawn_file_actions_addopen(actions.Get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(actions.Get(), stdoutFd, STDOUT_FILENO);
    posix_spawn_file_actions_addopen(actions.Get(), STDERR_FILENO, errorFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addclosefrom_np(actions.Get(), STDERR_FILENO + 1);
}

// A test binary may block or ignore signals; the server must answer SIGTERM all the same.
void ResetSignals(TSpawnAttributes& attributes) {
    sigset_t none, terminate;
    sigemptyset(&none);
    sigemptyset(&terminate);
    sigaddset(&terminate, SIGTERM);
    posix_spawnattr_setsigmask(attributes.Get(), &none);
    posix_spawnattr_setsigdefault(attributes.Get(), &terminate);
    posix_spawnattr_setflags(attributes.Get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

pid_t SpawnProcess(std::vector<std::string> arguments, int stdoutFd, const std::string& errorFile) {
    TSpawnActions actions;
    RouteOutputs(actions, stdoutFd, errorFile);
    TSpawnAttributes attributes;
    ResetSignals(attributes);
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int error =
        posix_spawn(&pid, argv[0], actions.Get(), attributes.Get(), argv.data(), environ);
    if (error != 0)
        throw std::runtime_error("FTP test server: cannot start " + arguments[0] + ": " +
                                 std::strerror(error));
    return pid;
}

// The port from the server's first line "PORT <n>", or nothing when the server ends, says
// something else or takes longer than the deadline.
std::optional<int> ReadAnnouncedPort(int fd, Clock::time_point deadline) {
    std::string line;
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left <= 0ms)
            return std::nullopt;
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return std::nullopt;
        char buffer[256];
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return std::nullopt;
        line.append(buffer, static_cast<std::size_t>(count));
    }
    const QString text = QString::fromStdString(line.substr(0, line.find('\n')));
    if (!text.startsWith(QLatin1String("PORT ")))
        return std::nullopt;
    bool ok = false;
    const int port = text.mid(5).toInt(&ok);
    return ok && port > 0 ? std::optional<int>(port) : std::nullopt;
}

bool Reaped(pid_t pid) {
    int status = 0;
    pid_t result;
    do
        result = ::waitpid(pid, &status, WNOHANG);
    while (result < 0 && errno == EINTR);
    // ECHILD: somebody else reaped it; it is gone all the same.
    return result == pid || (result < 0 && errno == ECHILD);
}

bool WaitForExit(pid_t pid, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!Reaped(pid)) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

void EndProcess(pid_t pid) {
    ::kill(pid, SIGTERM);
    if (WaitForExit(pid, StopTimeout))
        return;
    ::kill(pid, SIGKILL);
    // SIGKILL cannot be caught; the process is gone as soon as the kernel gets to it.
    WaitForExit(pid, StopTimeout);
}

} // namespace

TFtpServerPeer::TFtpServerPeer(const QString& rootFolder, const QString& user,
                               const QString& password)
    : Root(rootFolder), User(user), Password(password) {
    if (!Scratch.isValid())
        throw std::runtime_error("FTP test server: no temporary folder");
    Start();
}

TFtpServerPeer::~TFtpServerPeer() {
    Stop();
}

void TFtpServerPeer::Start() {
    if (Running())
        return;
    TPipe output = MakePipe();
    Pid = SpawnProcess({Interpreter, ScriptPath, "--root", Root.toStdString(), "--user",
                        User.toStdString(), "--password", Password.toStdString(), "--port",
                        std::to_string(ListenPort), "--commands", CommandsFile().toStdString(),
                        "--exit-with-parent"},
                       output.WriteEnd.Get(), ErrorFile().toStdString());
    // Without our copy of the write end, a server that dies shows as the end of its output.
    output.WriteEnd.Reset();
    const std::optional<int> port =
        ReadAnnouncedPort(output.ReadEnd.Get(), Clock::now() + StartTimeout);
    if (!port) {
        Stop();
        throw std::runtime_error("FTP test server did not start: " + ErrorOutput().toStdString());
    }
    ListenPort = *port;
}

void TFtpServerPeer::Stop() {
    if (!Running())
        return;
    EndProcess(Pid);
    Pid = 0;
}

QStringList TFtpServerPeer::Commands() const {
    QFile file(CommandsFile());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    lines.removeLast(); // what follows the last line end
    return lines;
}

void TFtpServerPeer::ClearCommands() {
    QFile file(CommandsFile());
    if (file.exists())
        file.resize(0);
}

QString TFtpServerPeer::ErrorOutput() const {
    QFile file(ErrorFile());
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("(no error output)");
    return QString::fromUtf8(file.readAll()).trimmed();
}
