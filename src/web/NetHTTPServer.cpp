#include "NetHTTPServer.h"

#include "NetErrors.h"

#include <QCoreApplication>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 SendChunkBytes = 32768;
// Room for a usual header, so building it does not grow the buffer line by line.
constexpr qsizetype HeaderReserveBytes = 256;

struct TReason {
    int Code;
    const char* Text;
};

constexpr TReason Reasons[] = {
    {200, QT_TRANSLATE_NOOP("TNetHTTPServer", "OK")},
    {201, QT_TRANSLATE_NOOP("TNetHTTPServer", "Created")},
    {202, QT_TRANSLATE_NOOP("TNetHTTPServer", "Accepted")},
    {203, QT_TRANSLATE_NOOP("TNetHTTPServer", "Non-authoritative Information")},
    {204, QT_TRANSLATE_NOOP("TNetHTTPServer", "No Content")},
    {205, QT_TRANSLATE_NOOP("TNetHTTPServer", "Reset Content")},
    {206, QT_TRANSLATE_NOOP("TNetHTTPServer", "Partial Content")},
    {301, QT_TRANSLATE_NOOP("TNetHTTPServer", "Moved Permanently")},
    {302, QT_TRANSLATE_NOOP("TNetHTTPServer", "Moved Temporarily")},
    {303, QT_TRANSLATE_NOOP("TNetHTTPServer", "See Other")},
    {304, QT_TRANSLATE_NOOP("TNetHTTPServer", "Not Modified")},
    {305, QT_TRANSLATE_NOOP("TNetHTTPServer", "Use Proxy")},
    {400, QT_TRANSLATE_NOOP("TNetHTTPServer", "Bad Request")},
    {401, QT_TRANSLATE_NOOP("TNetHTTPServer", "Unauthorized")},
    {403, QT_TRANSLATE_NOOP("TNetHTTPServer", "Forbidden")},
    {404, QT_TRANSLATE_NOOP("TNetHTTPServer", "Not Found")},
    {405, QT_TRANSLATE_NOOP("TNetHTTPServer", "Method not allowed")},
    {406, QT_TRANSLATE_NOOP("TNetHTTPServer", "Not Acceptable")},
    {407, QT_TRANSLATE_NOOP("TNetHTTPServer", "Proxy Authentication Required")},
    {408, QT_TRANSLATE_NOOP("TNetHTTPServer", "Request Timeout")},
    {409, QT_TRANSLATE_NOOP("TNetHTTPServer", "Conflict")},
    {410, QT_TRANSLATE_NOOP("TNetHTTPServer", "Gone")},
    {411, QT_TRANSLATE_NOOP("TNetHTTPServer", "Length Required")},
    {412, QT_TRANSLATE_NOOP("TNetHTTPServer", "Precondition Failed")},
    {413, QT_TRANSLATE_NOOP("TNetHTTPServer", "Request Entity To Long")},
    {414, QT_TRANSLATE_NOOP("TNetHTTPServer", "Request-URI Too Long. 256 Chars max")},
    {415, QT_TRANSLATE_NOOP("TNetHTTPServer", "Unsupported Media Type")},
    {500, QT_TRANSLATE_NOOP("TNetHTTPServer", "Internal Server Error")},
    {501, QT_TRANSLATE_NOOP("TNetHTTPServer", "Not Implemented")},
    {502, QT_TRANSLATE_NOOP("TNetHTTPServer", "Bad Gateway")},
    {503, QT_TRANSLATE_NOOP("TNetHTTPServer", "Service Unavailable")},
    {504, QT_TRANSLATE_NOOP("TNetHTTPServer", "Gateway timeout")},
    {505, QT_TRANSLATE_NOOP("TNetHTTPServer", "HTTP version not supported")},
};

// Header lines are nearly always ASCII: those go in without an encoded copy of their own.
void AppendUtf8(QByteArray& bytes, QStringView text) {
    const bool ascii =
        std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
    if (!ascii) {
        bytes += text.toUtf8();
        return;
    }
    const qsizetype start = bytes.size();
    bytes.resize(start + text.size());
    std::transform(text.begin(), text.end(), bytes.begin() + start,
                   [](QChar c) { return static_cast<char>(c.unicode()); });
}

// What a connection thread needs of the server, copied at activation.
struct THTTPSettings {
    QString ServerSoftware; // empty when blank
    bool ParseParams = true;
    TNetHTTPLimits Limits;
    TNetHTTPGetEvent OnCommandGet;
    TNetHTTPOtherEvent OnCommandOther;
    TNetMimeLookup MimeTypeForFile;
    TNetHTTPErrorEvent OnCommandError;
};

TUniqueFd OpenForReading(const QString& fileName) {
    TUniqueFd file(::open(QFile::encodeName(fileName).constData(), O_RDONLY | O_CLOEXEC));
    if (!file.Valid())
        throw EFileOpenError(QStringLiteral("Cannot open file %1").arg(fileName));
    return file;
}

qint64 FileSize(const TUniqueFd& file) {
    struct stat status {};
    if (::fstat(file.Get(), &status) != 0)
        throw ENetSocketError(SocketErrorNumber(errno));
    return status.st_size;
}

// What a 500 answer says of a failure: a fixed text per kind, as the message itself may name
// local paths.
QString FailureText(const std::exception& error) {
    if (dynamic_cast<const EFileOpenError*>(&error))
        return QStringLiteral("Cannot open file.");
    if (dynamic_cast<const ENetHTTPHeaderAlreadyWritten*>(&error))
        return QString::fromUtf8(error.what()); // fixed, and says what the handler got wrong
    return HTTPStatusText(500);
}

// The handler failed: a 500 answer naming the failure. The length and stream it may have set
// belong to the answer it did not finish, so they go.
void AnswerFailure(TNetHTTPResponseInfo& response, const QString& text) {
    response.SetResponseNo(500);
    response.ContentText = text;
    if (!response.HeaderHasBeenWritten()) {
        response.ContentLength = -1;
        response.ContentStream.reset();
    }
}

void ReportFailure(const THTTPSettings& settings, const QString& message) {
    if (settings.OnCommandError)
        settings.OnCommandError(message);
}

void CallHandler(const THTTPSettings& settings, TNetPeerThread& thread,
                 TNetHTTPRequestInfo& request, TNetHTTPResponseInfo& response) {
    try {
        settings.OnCommandGet(thread, request, response);
    } catch (const std::exception& error) {
        // A client that went away mid-answer is no failure of ours.
        if (!dynamic_cast<const ENetSocketError*>(&error))
            ReportFailure(settings, QString::fromUtf8(error.what()));
        AnswerFailure(response, FailureText(error));
    } catch (...) {
        ReportFailure(settings, QStringLiteral("Unknown exception."));
        AnswerFailure(response, HTTPStatusText(500));
    }
}

void ServeRequest(const THTTPSettings& settings, TNetPeerThread& thread) {
    TNetTCPServerConnection& connection = thread.Connection();
    TNetHTTPInput input(connection, settings.Limits);
    const TNetHTTPRequestLine line = ParseRequestLine(QString::fromUtf8(input.ReadLineView()));
    if (!IsAnsweredCommand(line.Command) || !settings.OnCommandGet) {
        if (settings.OnCommandOther)
            settings.OnCommandOther(thread, line.Command, line.Target, line.Version);
        return;
    }
    TNetHTTPRequestInfo request =
        ReadRequest(input, line, connection.PeerIP(), settings.ParseParams);
    TNetHTTPResponseInfo response(connection, settings.MimeTypeForFile);
    response.ServerSoftware = settings.ServerSoftware;
    CallHandler(settings, thread, request, response);
    response.SendRest();
}

} // namespace

QString HTTPStatusText(int code) {
    const auto* reason = std::find_if(std::begin(Reasons), std::end(Reasons),
                                      [code](const TReason& entry) { return entry.Code == code; });
    return QCoreApplication::translate(
        "TNetHTTPServer", reason != std::end(Reasons) ? reason->Text : "Unknown Response Code");
}

// ---- Response -----------------------------------------------------------------------------------

TNetHTTPResponseInfo::TNetHTTPResponseInfo(TNetTCPServerConnection& connection,
                                           TNetMimeLookup mimeTypeForFile)
    : Connection(connection), MimeTypeForFile(std::move(mimeTypeForFile)) {}

void TNetHTTPResponseInfo::SetResponseNo(int code) {
    StatusCode = code;
    StatusText = HTTPStatusText(code);
}

void TNetHTTPResponseInfo::SendHeader() {
    SendHeader(false);
}

void TNetHTTPResponseInfo::SendHeader(bool moreFollows) {
    Connection.Write(TakeHeader(), moreFollows);
}

QByteArray TNetHTTPResponseInfo::TakeHeader() {
    if (HeaderWritten)
        throw ENetHTTPHeaderAlreadyWritten();
    HeaderWritten = true;
    ResponseHeaders.SetValue(QStringLiteral("Server"), ServerSoftware);
    ResponseHeaders.SetValue(QStringLiteral("Content-Type"), ContentType);
    if (ContentLength == -1) {
        if (!ContentText.isEmpty())
            ContentLength = ContentText.toUtf8().size();
        else if (ContentStream)
            ContentLength = ContentStream->size();
    }
    if (ContentLength >= 0)
        ResponseHeaders.SetValue(QStringLiteral("Content-Length"), QString::number(ContentLength));
    if (!AuthRealm.isEmpty()) {
        SetResponseNo(401);
        ResponseHeaders.SetValue(QStringLiteral("WWW-Authenticate"),
                                 QStringLiteral("Basic realm=\"%1\"").arg(AuthRealm));
    }

    QByteArray header;
    header.reserve(HeaderReserveBytes);
    header += "HTTP/1.1 ";
    header += QByteArray::number(StatusCode);
    header += ' ';
    AppendUtf8(header, StatusText);
    header += "\r\n";
    for (const QString& cookie : std::as_const(Cookies)) {
        header += "Set-Cookie: ";
        AppendUtf8(header, cookie);
        header += "\r\n";
    }
    for (const QString& line : std::as_const(ResponseHeaders.Lines)) {
        AppendUtf8(header, line);
        header += "\r\n";
    }
    header += "\r\n";
    return header;
}

void TNetHTTPResponseInfo::SendContent() {
    if (!ContentText.isEmpty()) {
        Connection.Write(ContentText.toUtf8());
        ContentText.clear();
        return;
    }
    if (!ContentStream || !ContentStream->seek(0))
        return;
    QByteArray chunk(SendChunkBytes, Qt::Uninitialized);
    for (;;) {
        const qint64 count = ContentStream->read(chunk.data(), chunk.size());
        if (count <= 0)
            return;
        Connection.Write(QByteArrayView(chunk.constData(), count));
    }
}

void TNetHTTPResponseInfo::SendRest() {
    if (!HeaderWritten && !ContentText.isEmpty()) {
        // One system call and one packet for the whole answer.
        QByteArray answer = TakeHeader();
        answer += ContentText.toUtf8();
        ContentText.clear();
        Connection.Write(answer);
        return;
    }
    const bool contentFollows = !ContentText.isEmpty() || ContentStream;
    if (!HeaderWritten)
        SendHeader(contentFollows);
    if (contentFollows)
        SendContent();
}

// ---- Server -------------------------------------------------------------------------------------

TNetHTTPServer::TNetHTTPServer() = default;

TNetHTTPServer::~TNetHTTPServer() {
    Deactivate();
}

TNetTCPServer::TPeerJob TNetHTTPServer::MakePeerJob() const {
    auto settings = std::make_shared<const THTTPSettings>(THTTPSettings{
        ServerSoftware.trimmed().isEmpty() ? QString() : ServerSoftware,
        ParseParams,
        Limits,
        OnCommandGet,
        OnCommandOther,
        MimeTypeForFile,
        OnCommandError,
    });
    return [settings](TNetPeerThread& thread) {
        ServeRequest(*settings, thread);
    };
}

void TNetHTTPServer::ChooseContentType(TNetHTTPResponseInfo& response, const QString& fileName) {
    if (response.ContentType.isEmpty())
        response.ContentType = response.MimeTypeForFile
                                   ? response.MimeTypeForFile(fileName)
                                   : QStringLiteral("application/octet-stream");
}

qint64 TNetHTTPServer::SendFile(TNetPeerThread& thread, TNetHTTPResponseInfo& response,
                                const QString& fileName) {
    // Before opening: a failure answer keeps the type.
    ChooseContentType(response, fileName);
    const TUniqueFd file = OpenForReading(fileName);
    return SendOpenedFile(thread, response, fileName, file.Get(), FileSize(file));
}

qint64 TNetHTTPServer::SendOpenedFile(TNetPeerThread& thread, TNetHTTPResponseInfo& response,
                                      const QString& fileName, int fileFd, qint64 size) {
    ChooseContentType(response, fileName);
    response.ContentLength = size;
    response.SendHeader(size > 0);
    // The whole rest at once: the kernel splits it as the socket takes it.
    for (qint64 sent = 0; sent < size;) {
        const qint64 count = thread.Connection().WriteFromFile(fileFd, sent, size - sent);
        if (count == 0)
            throw ENetNoDataToRead();
        sent += count;
    }
    return size;
}
