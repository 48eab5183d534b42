#include "TestSupport.h"

#include <QFile>

#include "FakeCapturePlatform.h"
#include <random>
#include <stdexcept>
#include <utility>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

void PrintTo(const QStringList& texts, std::ostream* out) {
    *out << "{ ";
    for (const QString& text : texts) {
        PrintTo(text, out);
        *out << ' ';
    }
    *out << '}';
}

TTempDir::TTempDir() {
    std::random_device seed;
    const auto name = "kamvero-test-" + std::to_string(seed()) + std::to_string(seed());
    Root = std::filesystem::temp_directory_path() / name;
    std::filesystem::create_directories(Root);
}

TTempDir::~TTempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(Root, ignored);
}

QStringList& ShownMessages() {
    static QStringList messages;
    return messages;
}

QImage UniformFrame(QSize size, int grey) {
    QImage frame(size, QImage::Format_BGR888);
    frame.fill(QColor(grey, grey, grey));
    return frame;
}

void WriteTextFile(const QString& fileName, const QByteArray& content) {
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw std::runtime_error("cannot write " + fileName.toStdString());
    file.write(content);
}

QByteArray ReadTextFile(const QString& fileName) {
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

TWindowUnderTest::TWindowUnderTest(const TTempDir& folder, const QString& exeName)
    : ExecutablePath(folder.File(exeName)) {
    Restart();
}

void TWindowUnderTest::Restart() {
    // One window at a time: the application has one anti-freeze, and the window owns it.
    Window.reset();
    TMainWindowEnvironment environment;
    environment.ExecutablePath = ExecutablePath;
    environment.OpenUrl = [this](const QUrl& url) {
        OpenedUrls << url;
    };
    environment.CapturePlatform = [this] {
        return Platform;
    };
    environment.Clock = [this] {
        return Clock();
    };
    Window = std::make_unique<TfrmMain>(std::move(environment));
    Window->cap1->ShowErrorBox = [](const QString& text) {
        ShownMessages() << text;
    };
}

TListeningSocket::TListeningSocket() : Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    socklen_t length = sizeof address;
    const int on = 1;
    ::setsockopt(Fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(Fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(Fd, 4) != 0 ||
        ::getsockname(Fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        Release();
        throw std::runtime_error("cannot listen on a port of the system's choice");
    }
    Number = ntohs(address.sin_port);
}

void TListeningSocket::Release() {
    if (Fd >= 0)
        ::close(std::exchange(Fd, -1));
}
