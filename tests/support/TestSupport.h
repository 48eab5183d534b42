#pragma once

#include "FakeCapturePlatform.h"
#include "MainWindow.h"

#include <QString>
#include <QStringList>
#include <filesystem>
#include <memory>
#include <ostream>

// Readable failure messages for Qt texts.
void PrintTo(const QString& text, std::ostream* out);
void PrintTo(const QStringList& texts, std::ostream* out);

// A fresh folder under the system's temporary folder, removed with everything in it.
class TTempDir {
  public:
    TTempDir();
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    const std::filesystem::path& Path() const { return Root; }
    QString QPath() const { return QString::fromStdString(Root.string()); }
    // The path of a file in the folder, as text.
    QString File(const QString& name) const { return QPath() + QLatin1Char('/') + name; }

  private:
    std::filesystem::path Root;
};

// A listening TCP socket on every local address, on a port the system picked. Held, it keeps
// the port taken and accepts connections into its backlog without a word (a server that stopped
// answering); released, it frees the port for the code under test.
class TListeningSocket {
  public:
    TListeningSocket();
    ~TListeningSocket() { Release(); }
    TListeningSocket(const TListeningSocket&) = delete;
    TListeningSocket& operator=(const TListeningSocket&) = delete;

    int Port() const { return Number; }
    void Release();

  private:
    int Fd = -1;
    int Number = 0;
};

// Every message box the program would show during a test, in order.
QStringList& ShownMessages();

// A frame of one grey, as the capture component hands frames over (24 bits, blue green red).
QImage UniformFrame(QSize size, int grey);

void WriteTextFile(const QString& fileName, const QByteArray& content);
QByteArray ReadTextFile(const QString& fileName);

// A main window whose program folder is a temporary one, so its settings, error log and help
// lie where the test puts them. The executable is called "kamvero" unless told otherwise.
struct TWindowUnderTest {
    explicit TWindowUnderTest(const TTempDir& folder, const QString& exeName = "kamvero");
    // A fresh window in place of this one, as at a new start of the program.
    void Restart();

    QString ExecutablePath;
    QList<QUrl> OpenedUrls;
    // The time the window sees; tests may set it at any moment.
    std::function<QDateTime()> Clock = [] {
        return QDateTime::currentDateTime();
    };
    // The camera the window sees; tests add devices to it before the window is shown.
    std::shared_ptr<TFakeCapturePlatform> Platform = std::make_shared<TFakeCapturePlatform>();
    std::unique_ptr<TfrmMain> Window;

    TfrmMain* operator->() const { return Window.get(); }
};
