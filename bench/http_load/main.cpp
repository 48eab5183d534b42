// Serves a folder as the program's web server does (the HTTP engine, the file request handler,
// the MIME table from the system's registrations) on 127.0.0.1 with a port the system picks,
// for the load benchmark. Prints "PORT n" once listening and serves until SIGTERM or SIGINT,
// then deactivates. It ends by itself after the given lifetime, so a benchmark that lost track
// of it leaves no server behind for long.
// Usage: http_serve folder [lifetime seconds, default 600]

#include "NetHTTPServer.h"
#include "NetMimeTable.h"
#include "WebRequestHandler.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>

#include <pthread.h>

namespace {

using namespace std::chrono_literals;

constexpr std::chrono::seconds DefaultLifetime = 600s;

// Blocks the stop signals before any thread starts, so every thread inherits the mask and only
// the wait below takes them.
sigset_t BlockStopSignals() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    return stopSignals;
}

// True when a stop signal came, false when the lifetime ran out first.
bool WaitForStopSignal(const sigset_t& stopSignals, std::chrono::seconds lifetime) {
    const timespec limit{static_cast<time_t>(lifetime.count()), 0};
    for (;;) {
        if (sigtimedwait(&stopSignals, nullptr, &limit) >= 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

void ServeFolder(const QString& folder, std::chrono::seconds lifetime,
                 const sigset_t& stopSignals) {
    const TNetMimeTable mime;
    const TWebRequestContext context{
        .DocumentRoot = folder,
        .MimeTypeForFile = [&mime](const QString& name) { return mime.MimeTypeForFile(name); },
        .ShowStatus = [](const QString&) {},
    };
    TNetHTTPServer server;
    server.ServerSoftware = QStringLiteral("Kamvera");
    server.Bindings = {{QStringLiteral("127.0.0.1"), 0}};
    server.OnCommandGet = [&context](TNetPeerThread& thread, TNetHTTPRequestInfo& request,
                                     TNetHTTPResponseInfo& response) {
        AnswerFileRequest(thread, request, response, context);
    };
    server.SetActive(true);
    std::printf("PORT %d\n", server.BoundPort());
    std::fflush(stdout);
    if (!WaitForStopSignal(stopSignals, lifetime))
        std::fprintf(stderr, "http_serve: lifetime over, stopping\n");
    server.SetActive(false);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s folder [lifetime seconds]\n", argv[0]);
        return 2;
    }
    const sigset_t stopSignals = BlockStopSignals();
    QCoreApplication app(argc, argv);
    const QString folder = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath();
    if (!QFileInfo(folder).isDir()) {
        std::fprintf(stderr, "http_serve: not a folder: %s\n", argv[1]);
        return 2;
    }
    const std::chrono::seconds lifetime =
        argc == 3 ? std::chrono::seconds(std::max(1, std::atoi(argv[2]))) : DefaultLifetime;
    try {
        ServeFolder(folder, lifetime, stopSignals);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "http_serve: %s\n", error.what());
        return 1;
    }
}
