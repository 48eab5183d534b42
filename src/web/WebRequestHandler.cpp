#include "WebRequestHandler.h"

#include "ServedFolder.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <optional>

#include <sys/stat.h>

void TWebDocumentRoot::Set(const QString& root) {
    const std::lock_guard lock(Lock);
    Root = root;
}

QString TWebDocumentRoot::Get() const {
    const std::lock_guard lock(Lock);
    return Root;
}

void TWebStatusRelay::Show(const QString& text) const {
    const std::lock_guard lock(Lock);
    if (ShowText)
        ShowText(text);
}

void TWebStatusRelay::Detach() {
    const std::lock_guard lock(Lock);
    ShowText = nullptr;
}

const QString AccessDeniedPage =
    QStringLiteral("<html><head><title>Error</title></head><body><h1>Access denied</h1>\r"
                   "You do not have sufficient priviligies to access this document.</body></html>");

namespace {

// True for an absolute path that cleaning would leave as it is: every component is a name.
bool IsCleanAbsolute(QStringView path) {
    if (!path.startsWith(u'/'))
        return false;
    if (path.size() == 1)
        return true;
    for (const QStringView component : path.mid(1).tokenize(u'/')) {
        if (component.isEmpty() || component == u"." || component == u"..")
            return false;
    }
    return true;
}

// Absolute and lexically clean: no ".", no "..", no repeated or trailing "/".
QString CleanAbsolute(const QString& path) {
    // Every request passes here, nearly always with a path that is clean already.
    if (IsCleanAbsolute(path))
        return path;
    // The working folder is asked for only when it is needed.
    return QDir::cleanPath(QDir::isAbsolutePath(path) ? path
                                                      : QDir::current().absoluteFilePath(path));
}

QString CleanRoot(const QString& documentRoot) {
    return CleanAbsolute(documentRoot);
}

QString ErrorPage(const QString& statusText) {
    return QStringLiteral("<html><head><title>Error</title></head><body><h1>%1</h1></body></html>")
        .arg(statusText);
}

// The path of a request before any look at the disk.
QString RequestedPath(const QString& cleanRoot, const QString& document) {
    // Joined without a second "/" where the document brings its own: cleaning would collapse
    // it anyway, and a path without one is often clean already.
    if (!document.startsWith(QLatin1Char('/')))
        return CleanAbsolute(cleanRoot + QLatin1Char('/') + document);
    return CleanAbsolute(cleanRoot == QLatin1String("/") ? document : cleanRoot + document);
}

bool LiesWithinCleanRoot(const QString& path, const QString& cleanRoot) {
    if (cleanRoot == QLatin1String("/"))
        return path.startsWith(QLatin1Char('/'));
    return path.size() >= cleanRoot.size() && path.startsWith(cleanRoot) &&
           (path.size() == cleanRoot.size() || path[cleanRoot.size()] == QLatin1Char('/'));
}

struct TOpenedFile {
    TUniqueFd File;
    qint64 Size = 0;
};

// The path below the served folder: "" for the folder itself.
QString RelativeToRoot(const QString& path, const QString& cleanRoot) {
    if (cleanRoot == QLatin1String("/"))
        return path.mid(1);
    return path.mid(std::min(path.size(), cleanRoot.size() + 1));
}

enum class TFileKind { Regular, Folder, Other };

TFileKind KindOf(const TUniqueFd& file, qint64& size) {
    struct stat status {};
    if (::fstat(file.Get(), &status) != 0)
        return TFileKind::Other;
    size = status.st_size;
    if (S_ISREG(status.st_mode))
        return TFileKind::Regular;
    return S_ISDIR(status.st_mode) ? TFileKind::Folder : TFileKind::Other;
}

struct TLookup {
    TServedFolder::TOutcome Outcome = TServedFolder::TOutcome::Missing;
    std::optional<TOpenedFile> File; // when Outcome is Opened
    QString Path;                    // the request's path, or its folder's index.html
    bool IsFolder = false;
};

// Only a regular file counts as opened: anything else (a pipe, a device, a folder) is missing.
TLookup OpenBeneath(const TServedFolder& folder, const QString& relative, const QString& path) {
    TServedFolder::TOpened opened = folder.Open(relative);
    TLookup lookup{opened.Outcome, std::nullopt, path};
    if (opened.Outcome != TServedFolder::TOutcome::Opened)
        return lookup;
    qint64 size = 0;
    const TFileKind kind = KindOf(opened.File, size);
    if (kind == TFileKind::Regular)
        lookup.File = TOpenedFile{std::move(opened.File), size};
    else
        lookup.Outcome = TServedFolder::TOutcome::Missing;
    lookup.IsFolder = kind == TFileKind::Folder;
    return lookup;
}

// The request's file beneath the folder, or for a folder its index.html, looked up the same way.
TLookup LookUpBeneath(const TServedFolder& folder, const QString& relative, const QString& path) {
    TLookup lookup = OpenBeneath(folder, relative, path);
    if (!lookup.IsFolder)
        return lookup;
    const QString index = QStringLiteral("index.html");
    return OpenBeneath(folder, relative.isEmpty() ? index : relative + u'/' + index,
                       CleanAbsolute(path + u'/' + index));
}

bool IsHead(const TNetHTTPRequestInfo& request) {
    return request.Command.compare(QLatin1String("HEAD"), Qt::CaseInsensitive) == 0;
}

void AnswerWithFile(TNetPeerThread& thread, const TNetHTTPRequestInfo& request,
                    TNetHTTPResponseInfo& response, const TWebRequestContext& context,
                    const QString& path, const TOpenedFile& file) {
    // The file's own type, so a browser shows /camera.jpg as a picture.
    response.ContentType = context.MimeTypeForFile(path);
    if (IsHead(request)) {
        response.SetResponseNo(200);
        response.ContentLength = file.Size;
        return;
    }
    const qint64 sent =
        TNetHTTPServer::SendOpenedFile(thread, response, path, file.File.Get(), file.Size);
    QString status = QStringLiteral("Sending ");
    status += QStringView(path).mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    status += QLatin1Char(' ');
    status += QString::number(sent);
    status += QLatin1String(" bytes");
    context.ShowStatus(status);
}

} // namespace

QFileInfo RequestedFile(const QString& documentRoot, const QString& document) {
    const QString path = RequestedPath(CleanRoot(documentRoot), document);
    QFileInfo file(path);
    if (!file.isFile() && file.isDir()) {
        QFileInfo index(CleanAbsolute(path + QStringLiteral("/index.html")));
        if (index.isFile())
            return index;
    }
    return file;
}

bool LiesWithinRoot(const QString& path, const QString& documentRoot) {
    if (documentRoot.isEmpty())
        return false;
    return LiesWithinCleanRoot(path, CleanRoot(documentRoot));
}

namespace {

void AnswerMissing(TNetHTTPResponseInfo& response) {
    response.SetResponseNo(404);
    response.ContentText = ErrorPage(response.StatusText);
}

// A path outside the folder, reached by ".." or a link: refused when there is something to
// refuse, else missing, so nothing is served from outside and nothing else is said about it.
void AnswerOutside(TNetHTTPResponseInfo& response, const QString& documentRoot,
                   const QString& document) {
    if (!RequestedFile(documentRoot, document).isFile()) {
        AnswerMissing(response);
        return;
    }
    response.ContentText = AccessDeniedPage;
    response.SetResponseNo(403);
}

} // namespace

void AnswerFileRequest(TNetPeerThread& thread, const TNetHTTPRequestInfo& request,
                       TNetHTTPResponseInfo& response, const TWebRequestContext& context) {
    context.ShowStatus(request.Command);
    // No folder chosen yet serves nothing, rather than whatever folder the program runs in.
    if (context.DocumentRoot.isEmpty()) {
        AnswerMissing(response);
        context.ShowStatus(QString());
        return;
    }
    const QString root = CleanRoot(context.DocumentRoot);
    const QString path = RequestedPath(root, request.Document);
    if (!LiesWithinCleanRoot(path, root)) {
        AnswerOutside(response, context.DocumentRoot, request.Document);
        context.ShowStatus(QString());
        return;
    }
    // Opened beneath the folder itself, not by name: a link cannot lead out, whenever it was
    // made. The file is then served from what was opened.
    const TServedFolder folder(root);
    const TLookup lookup = LookUpBeneath(folder, RelativeToRoot(path, root), path);
    switch (lookup.Outcome) {
    case TServedFolder::TOutcome::Opened:
        AnswerWithFile(thread, request, response, context, lookup.Path, *lookup.File);
        break;
    case TServedFolder::TOutcome::Missing:
        AnswerMissing(response);
        break;
    case TServedFolder::TOutcome::Outside:
        AnswerOutside(response, context.DocumentRoot, request.Document);
        break;
    case TServedFolder::TOutcome::Refused:
        throw EFileOpenError(QStringLiteral("Cannot open file %1").arg(lookup.Path));
    }
    context.ShowStatus(QString());
}

namespace {

void AnswerUnavailable(TNetHTTPResponseInfo& response) {
    response.SetResponseNo(503);
    response.ContentText = ErrorPage(response.StatusText);
}

// Every picture is new: neither the browser nor anything on the way may keep one.
void ForbidCaching(TNetHTTPResponseInfo& response) {
    response.ResponseHeaders.SetValue(QStringLiteral("Cache-Control"),
                                      QStringLiteral("no-cache, no-store, must-revalidate"));
}

void SendLivePicture(TNetHTTPResponseInfo& response, const TNetHTTPRequestInfo& request,
                     TLiveFeed::TSeat& seat, TNetTCPServerConnection& connection) {
    const std::optional<TLiveFeed::TPicture> picture = seat.Fresh();
    if (!picture) {
        AnswerUnavailable(response);
        return;
    }
    response.ContentType = QStringLiteral("image/jpeg");
    response.ContentLength = picture->Bytes().size();
    ForbidCaching(response);
    response.SendHeader();
    if (!IsHead(request))
        connection.Write(picture->Bytes());
}

// One part of the stream: its own header, the picture, and the line that ends it.
void SendStreamPart(TNetTCPServerConnection& connection, const TLiveFeed::TPicture& picture) {
    QByteArray head = QByteArrayLiteral("--");
    head += LiveBoundary;
    head += "\r\nContent-Type: image/jpeg\r\nContent-Length: ";
    head += QByteArray::number(picture.Bytes().size());
    head += "\r\n\r\n";
    connection.Write(head, true);
    connection.Write(picture.Bytes(), true);
    connection.Write("\r\n");
}

void SendLiveStream(TNetPeerThread& thread, TNetHTTPResponseInfo& response,
                    const TNetHTTPRequestInfo& request, TLiveFeed::TSeat& seat) {
    // The first picture decides whether there is a stream to send at all.
    std::optional<TLiveFeed::TPicture> picture = seat.Fresh();
    if (!picture) {
        AnswerUnavailable(response);
        return;
    }
    response.ContentType =
        QStringLiteral("multipart/x-mixed-replace; boundary=%1").arg(QLatin1String(LiveBoundary));
    ForbidCaching(response);
    response.SendHeader();
    if (IsHead(request))
        return;
    thread.HoldThreadForLong();
    TNetTCPServerConnection& connection = thread.Connection();
    for (; picture; picture = seat.Next())
        SendStreamPart(connection, *picture);
    // The pictures ended: the closing boundary tells the browser the stream is complete.
    QByteArray closing = QByteArrayLiteral("--");
    closing += LiveBoundary;
    closing += "--\r\n";
    connection.Write(closing);
}

} // namespace

void AnswerLiveRequest(TNetPeerThread& thread, const TNetHTTPRequestInfo& request,
                       TNetHTTPResponseInfo& response, TLiveFeed& feed) {
    std::optional<TLiveFeed::TSeat> seat = feed.TakeSeat();
    if (!seat) {
        AnswerUnavailable(response);
        return;
    }
    if (request.Document == LiveStream)
        SendLiveStream(thread, response, request, *seat);
    else
        SendLivePicture(response, request, *seat, thread.Connection());
}

void AnswerWebRequest(TNetPeerThread& thread, const TNetHTTPRequestInfo& request,
                      TNetHTTPResponseInfo& response, const TWebRequestContext& context) {
    if (!context.Password || context.Password->Admits(request)) {
        if (context.Live && (request.Document == LivePicture || request.Document == LiveStream)) {
            context.ShowStatus(request.Command);
            AnswerLiveRequest(thread, request, response, *context.Live);
            context.ShowStatus(QString());
            return;
        }
        AnswerFileRequest(thread, request, response, context);
        return;
    }
    // A browser asks without credentials first; only a password that was offered is refused.
    if (request.HasAuthorization && context.WrongPassword)
        context.WrongPassword(thread.Connection().PeerIP());
    response.AuthRealm = QString::fromLatin1(TWebPassword::Realm);
    response.SetResponseNo(401);
    response.ContentText = ErrorPage(response.StatusText);
}
