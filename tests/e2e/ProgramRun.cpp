#include "ProgramRun.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcessEnvironment>
#include <QThread>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

constexpr auto StartLimit = 20s;
constexpr auto ReplyLimit = 10s;
constexpr auto CloseLimit = 20s;

QStringList Lines(const QString& fileName) {
    return QString::fromUtf8(ReadTextFile(fileName)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace

QByteArray TestPatternCamera() {
    return "[Camera]\n"
           "Config=\"VCapSource=Test Pattern\",WantAudio=0,WantDVAudio=0,WantAudioPreview=0\n"
           "Sense=0.5\nSensitivity=0\nInterval=0.5\nDirectory={folder}/snaps/\n";
}

QByteArray FtpHostSection(int port) {
    return "[FTPHost]\nHost=127.0.0.1:" + QByteArray::number(port) +
           "\nLogin=kamvero\nPassword=$24%2#\nDirectory=/\n";
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(100);
    }
    return true;
}

bool IsWholeJpeg(const QString& fileName) {
    const QByteArray bytes = ReadTextFile(fileName);
    return bytes.startsWith("\xFF\xD8") && bytes.endsWith("\xFF\xD9") &&
           !QImage::fromData(bytes, "JPEG").isNull();
}

TProgramRun::TProgramRun(const QByteArray& settings) {
    // A copy, not a link: the program keeps its settings beside its own executable.
    if (!QFile::copy(QStringLiteral(KAMVERO_PROGRAM), File("kamvero")))
        ADD_FAILURE() << "cannot copy the program " << KAMVERO_PROGRAM;
    QDir(Folder()).mkpath(QStringLiteral("agent"));
    WriteTextFile(File("kamvero.ini"), QByteArray(settings).replace("{folder}", Folder().toUtf8()));
}

TProgramRun::~TProgramRun() {
    if (Running()) {
        Program.kill();
        Program.waitForFinished(5000);
    }
}

QString TProgramRun::AgentFile(const char* name) const {
    return File(QStringLiteral("agent/") + QLatin1String(name));
}

bool TProgramRun::Start() {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(KAMVERO_E2E_AGENT));
    environment.insert(QStringLiteral("KAMVERO_AGENT_DIR"), File(QStringLiteral("agent")));
    // A sanitized program loads the agent before its runtime; that order is harmless here.
    const QString asanOptions = environment.value(QStringLiteral("ASAN_OPTIONS"));
    environment.insert(QStringLiteral("ASAN_OPTIONS"),
                       asanOptions + (asanOptions.isEmpty() ? "" : ":") +
                           QStringLiteral("verify_asan_link_order=0"));
    Program.setProcessEnvironment(environment);
    Program.setWorkingDirectory(Folder());
    Program.setProcessChannelMode(QProcess::MergedChannels);
    Program.setStandardOutputFile(File(QStringLiteral("output.txt")));
    Program.start(File(QStringLiteral("kamvero")), {});
    if (!Program.waitForStarted(5000))
        return false;
    return WaitUntil([this] { return !Running() || Command("visible frmMain") == "yes"; },
                     StartLimit) &&
           Running();
}

QString TProgramRun::Command(const QString& command) {
    // Written whole under another name first, so the agent never reads half a command.
    const QString pending = AgentFile("command.tmp");
    WriteTextFile(pending, command.toUtf8() + '\n');
    QFile::rename(pending, AgentFile("command.txt"));
    QString reply;
    WaitUntil(
        [&] {
            const QStringList replies = Lines(AgentFile("replies.txt"));
            if (replies.size() <= RepliesSeen)
                return !Running();
            reply = replies.at(RepliesSeen++).section(QStringLiteral(" -> "), 1);
            return true;
        },
        ReplyLimit);
    return reply;
}

int TProgramRun::CloseWindow() {
    if (Command(QStringLiteral("close frmMain")) != QLatin1String("ok"))
        return -1;
    if (!WaitUntil([this] { return !Running(); }, CloseLimit))
        return -1;
    return Program.exitStatus() == QProcess::NormalExit ? Program.exitCode() : -1;
}

bool TProgramRun::Running() const {
    return Program.state() != QProcess::NotRunning;
}

QStringList TProgramRun::Messages() const {
    return Lines(AgentFile("messages.txt"));
}

QStringList TProgramRun::LoggedErrors() const {
    return Lines(File(QStringLiteral("errors.txt")));
}

QByteArray TProgramRun::Output() const {
    return ReadTextFile(File(QStringLiteral("output.txt")));
}
