#include "ResolverSandbox.h"

#include "TestSupport.h"

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <stdexcept>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>

namespace {

constexpr char SandboxVariable[] = "KAMVERO_RESOLVER_SANDBOX";
constexpr int RunLimitMs = 60000;
constexpr int SliceMs = 20;

const QStringList NamespaceOptions = {"--user", "--map-root-user", "--net", "--mount"};

// "unshare" with `arguments`; its exit code, or -1 when it did not run to its end.
int Unshare(const QStringList& arguments, const QProcessEnvironment& environment, QString& output) {
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("unshare"), NamespaceOptions + arguments);
    if (!process.waitForStarted(10000)) {
        output = process.errorString();
        return -1;
    }
    if (!process.waitForFinished(RunLimitMs)) {
        process.kill();
        process.waitForFinished(5000);
        output = QString::fromLocal8Bit(process.readAll()) + QStringLiteral("\n(killed)");
        return -1;
    }
    output = QString::fromLocal8Bit(process.readAll());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

void BringLoopbackUp() {
    const TUniqueFd control(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq request{};
    std::snprintf(request.ifr_name, sizeof request.ifr_name, "lo");
    if (::ioctl(control.Get(), SIOCGIFFLAGS, &request) != 0)
        throw std::runtime_error("cannot read the loopback interface's flags");
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    if (::ioctl(control.Get(), SIOCSIFFLAGS, &request) != 0)
        throw std::runtime_error("cannot bring the loopback interface up");
}

// The query's name as dotted text, and where its question ends; {"", 0} when it is malformed.
std::pair<QString, qsizetype> QuestionOf(const QByteArray& query) {
    constexpr qsizetype HeaderBytes = 12;
    QStringList labels;
    qsizetype at = HeaderBytes;
    while (at < query.size() && query[at] != 0) {
        const auto length = static_cast<unsigned char>(query[at]);
        if (length > 63 || at + 1 + length > query.size())
            return {};
        labels << QString::fromLatin1(query.mid(at + 1, length));
        at += 1 + length;
    }
    const qsizetype end = at + 1 + 4; // the terminating zero, then type and class
    if (end > query.size())
        return {};
    return {labels.join(QLatin1Char('.')), end};
}

// An answer to `query`: the address 127.0.0.1, or with `found` false, "no such name".
QByteArray AnswerTo(const QByteArray& query, qsizetype questionEnd, bool found) {
    QByteArray answer = query.left(questionEnd);        // the header and the question
    answer[2] = static_cast<char>(0x81);                // a response; recursion was desired
    answer[3] = static_cast<char>(found ? 0x80 : 0x83); // recursion available; 3: no such name
    const std::array<char, 8> counts = {0, 1, 0, static_cast<char>(found ? 1 : 0), 0, 0, 0, 0};
    answer.replace(4, static_cast<qsizetype>(counts.size()), counts.data(),
                   static_cast<qsizetype>(counts.size()));
    if (found) // the question's name, type A, class IN, 60 s, 4 bytes: 127.0.0.1
        answer.append(QByteArray::fromHex("c00c000100010000003c00047f000001"));
    return answer;
}

} // namespace

namespace ResolverSandbox {

bool InSandbox() {
    return qEnvironmentVariableIsSet(SandboxVariable);
}

TRun RunCurrentTestInSandbox() {
    TRun run;
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (Unshare({QStringLiteral("true")}, environment, run.Output) != 0) {
        run.Output = QStringLiteral("no user and network namespaces here: ") + run.Output;
        return run;
    }
    run.Started = true;
    const testing::TestInfo* const test = testing::UnitTest::GetInstance()->current_test_info();
    QProcessEnvironment inner = environment;
    inner.insert(QString::fromLatin1(SandboxVariable), QStringLiteral("1"));
    run.ExitCode = Unshare(
        {QCoreApplication::applicationFilePath(),
         QStringLiteral("--gtest_filter=%1.%2")
             .arg(QString::fromUtf8(test->test_suite_name()), QString::fromUtf8(test->name()))},
        inner, run.Output);
    return run;
}

void Enter() {
    BringLoopbackUp();
    // Kept for the life of the process: the mount refers to it.
    static const TTempDir folder;
    const QString config = folder.File(QStringLiteral("resolv.conf"));
    WriteTextFile(config, "nameserver 127.0.0.1\noptions timeout:5 attempts:1\n");
    if (::mount(config.toLocal8Bit().constData(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) !=
        0)
        throw std::runtime_error("cannot put a resolver configuration in place");
}

} // namespace ResolverSandbox

TScriptedResolver::TScriptedResolver() : Socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(53);
    if (::bind(Socket.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("the scripted resolver cannot bind 127.0.0.1:53");
    Thread = std::thread([this] { Serve(); });
}

TScriptedResolver::~TScriptedResolver() {
    Stop = true;
    Thread.join();
}

void TScriptedResolver::Release() {
    Released = true;
}

void TScriptedResolver::Serve() {
    struct THeld {
        sockaddr_in From;
        QByteArray Query;
        qsizetype QuestionEnd;
    };
    std::vector<THeld> held;
    const auto send = [this](const THeld& query, bool found) {
        const QByteArray answer = AnswerTo(query.Query, query.QuestionEnd, found);
        ::sendto(Socket.Get(), answer.constData(), static_cast<std::size_t>(answer.size()), 0,
                 reinterpret_cast<const sockaddr*>(&query.From), sizeof query.From);
    };
    while (!Stop) {
        if (Released) {
            for (const THeld& query : held)
                send(query, false);
            held.clear();
        }
        pollfd poll{Socket.Get(), POLLIN, 0};
        if (::poll(&poll, 1, SliceMs) <= 0)
            continue;
        std::array<char, 1500> buffer{};
        THeld query{};
        socklen_t size = sizeof query.From;
        const ssize_t got = ::recvfrom(Socket.Get(), buffer.data(), buffer.size(), 0,
                                       reinterpret_cast<sockaddr*>(&query.From), &size);
        if (got <= 0)
            continue;
        query.Query = QByteArray(buffer.data(), got);
        const auto [name, end] = QuestionOf(query.Query);
        if (end == 0)
            continue;
        query.QuestionEnd = end;
        if (name.startsWith(QLatin1String("silent.")))
            held.push_back(query);
        else
            send(query, name.startsWith(QLatin1String("camera.")));
    }
}
