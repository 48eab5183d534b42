#include "WebRequestHandler.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <optional>

#include <fcntl.h>
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

QString NotFoundPage(const QString& statusText) {
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

// The regular file at the path, opened, with its size; none for anything else. Two system calls
// where finding the file first and opening it then takes three. O_NONBLOCK: a named pipe must
// not hold the thread (it is then no regular file and left to the full lookup).
std::optional<TOpenedFile> OpenRegularFile(const QString& path) {
    TUniqueFd file(
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat status {};
    if (!file.Valid() || ::fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode))
        return std::nullopt;
    return TOpenedFile{std::move(file), status.st_size};
}

void AnswerWithFile(TNetPeerThread& thread, const TNetHTTPRequestInfo& request,
                    TNetHTTPResponseInfo& response, const TWebRequestContext& context,
                    const QString& path, const TOpenedFile& file) {
    // The file's own type, so a browser shows /camera.jpg as a picture.
    response.ContentType = context.MimeTypeForFile(path);
    if (request.Command.compare(QLatin1String("HEAD"), Qt::CaseInsensitive) == 0) {
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

void AnswerFileRequest(TNetPeerThread& thread, const TNetHTTPRequestInfo& request,
                       TNetHTTPResponseInfo& response, const TWebRequestContext& context) {
    context.ShowStatus(request.Command);
    // No folder chosen yet serves nothing, rather than whatever folder the program runs in.
    if (context.DocumentRoot.isEmpty()) {
        response.SetResponseNo(404);
        response.ContentText = NotFoundPage(response.StatusText);
        context.ShowStatus(QString());
        return;
    }
    // Nearly every request names a file in the folder: opening it straight away answers it
    // without a look at the disk beforehand. Anything else is told apart by the full lookup.
    const QString root = CleanRoot(context.DocumentRoot);
    QString path = RequestedPath(root, request.Document);
    std::optional<TOpenedFile> opened;
    if (LiesWithinCleanRoot(path, root))
        opened = OpenRegularFile(path);
    if (!opened) {
        const QFileInfo file = RequestedFile(context.DocumentRoot, request.Document);
        path = file.filePath();
        if (!file.isFile()) {
            response.SetResponseNo(404);
            response.ContentText = NotFoundPage(response.StatusText);
        } else if (!LiesWithinCleanRoot(path, root)) {
            response.ContentText = AccessDeniedPage;
            response.SetResponseNo(403);
        } else if (opened = OpenRegularFile(path); !opened) {
            // Found a moment ago and gone since.
            throw EFileOpenError(QStringLiteral("Cannot open file %1").arg(path));
        }
    }
    if (opened)
        AnswerWithFile(thread, request, response, context, path, *opened);
    context.ShowStatus(QString());
}
