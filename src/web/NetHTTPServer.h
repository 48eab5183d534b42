#pragma once

#include "NetHTTPRequest.h"
#include "NetTCPServer.h"

#include <QIODevice>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// The HTTP engine: one request per connection (no keep-alive), GET, POST and HEAD handed to
// OnCommandGet on the connection's thread, every other method left unanswered.

class ENetHTTPHeaderAlreadyWritten : public ENetError {
  public:
    ENetHTTPHeaderAlreadyWritten()
        : ENetError(QStringLiteral("Header has already been written.")) {}
};

// The reason phrase of a status code ("Unknown Response Code" for codes outside the table).
QString HTTPStatusText(int code);

using TNetMimeLookup = std::function<QString(const QString& fileName)>;

// The answer to one request. Belongs to its connection's thread.
class TNetHTTPResponseInfo {
  public:
    explicit TNetHTTPResponseInfo(TNetTCPServerConnection& connection,
                                  TNetMimeLookup mimeTypeForFile = {});
    TNetHTTPResponseInfo(const TNetHTTPResponseInfo&) = delete;
    TNetHTTPResponseInfo& operator=(const TNetHTTPResponseInfo&) = delete;

    int ResponseNo() const { return StatusCode; }
    // Sets the status code and StatusText from the reason table.
    void SetResponseNo(int code);

    QString StatusText = QStringLiteral("OK");
    QString ContentType = QStringLiteral("text/html");
    qint64 ContentLength = -1; // -1: from ContentText or ContentStream when the header is sent
    QString ContentText;       // sent as UTF-8
    std::unique_ptr<QIODevice> ContentStream;
    QString ServerSoftware;
    QString AuthRealm; // when set: 401 with a Basic challenge
    TNetHeaderList ResponseHeaders{false};
    QStringList Cookies; // one Set-Cookie line each

    bool HeaderHasBeenWritten() const { return HeaderWritten; }
    // Status line (always HTTP/1.1), Set-Cookie lines, header lines, empty line: one write.
    void SendHeader();
    // ContentText as it is (then cleared), else the whole ContentStream in 32768-byte chunks.
    void SendContent();
    // What is still unsent: the header unless written, then the content. A header with a text
    // body goes out in one write.
    void SendRest();

  private:
    friend class TNetHTTPServer;

    TNetTCPServerConnection& Connection;
    TNetMimeLookup MimeTypeForFile;
    int StatusCode = 200;
    bool HeaderWritten = false;

    // The header's bytes, now counted as written.
    QByteArray TakeHeader();
    // A header followed by body bytes is held back to share their packets.
    void SendHeader(bool moreFollows);
};

using TNetHTTPGetEvent = std::function<void(TNetPeerThread& thread, TNetHTTPRequestInfo& request,
                                            TNetHTTPResponseInfo& response)>;
using TNetHTTPErrorEvent = std::function<void(const QString& message)>;
using TNetHTTPOtherEvent = std::function<void(TNetPeerThread& thread, const QString& command,
                                              const QString& target, const QString& version)>;

class TNetHTTPServer : public TNetTCPServer {
  public:
    TNetHTTPServer();
    ~TNetHTTPServer() override;

    QString ServerSoftware;
    bool ParseParams = true;
    TNetHTTPLimits Limits;
    // Called on the connection's thread, possibly on several at once. Copied at activation.
    // It must not wait for the GUI thread: deactivation waits for running handlers there, up
    // to TerminateWaitTime, and then lets them go (they may outlive the server then).
    TNetHTTPGetEvent OnCommandGet;
    TNetHTTPOtherEvent OnCommandOther;
    // The whole message of an exception OnCommandGet threw, for the error log: the 500 answer
    // names only the kind of failure. Called on the connection's thread, like OnCommandGet.
    TNetHTTPErrorEvent OnCommandError;
    // The server's own MIME table, consulted by SendFile when the response has no content
    // type; "application/octet-stream" when unset.
    TNetMimeLookup MimeTypeForFile;

    // Sends the file as the complete response (header with its size, then its bytes straight
    // from the page cache) and answers the number of bytes sent. Uses nothing of the server
    // object itself, so it is safe from any connection thread.
    static qint64 SendFile(TNetPeerThread& thread, TNetHTTPResponseInfo& response,
                           const QString& fileName);
    // The same for the file the caller has opened and measured (a descriptor it keeps owning).
    static qint64 SendOpenedFile(TNetPeerThread& thread, TNetHTTPResponseInfo& response,
                                 const QString& fileName, int fileFd, qint64 size);

  protected:
    TPeerJob MakePeerJob() const override;

  private:
    // The file's type unless the response has one.
    static void ChooseContentType(TNetHTTPResponseInfo& response, const QString& fileName);
};
