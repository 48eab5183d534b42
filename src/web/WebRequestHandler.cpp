#include "WebRequestHandler.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

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

// Absolute and lexically clean: no ".", no "..", no repeated or trailing "/".
QString CleanAbsolute(const QString& path) {
    // The working folder is asked for only when it is needed: every request passes here.
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

// The size of a file that is opened for the answer; it may have gone since it was found.
qint64 OpenedFileSize(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw ENetError(QStringLiteral("Cannot open file %1").arg(path));
    return file.size();
}

} // namespace

QFileInfo RequestedFile(const QString& documentRoot, const QString& document) {
    // The root's own "/" and the document's leading one meet; cleaning collapses them.
    const QString path = CleanAbsolute(CleanRoot(documentRoot) + QLatin1Char('/') + document);
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
    const QString root = CleanRoot(documentRoot);
    if (root == QLatin1String("/"))
        return path.startsWith(QLatin1Char('/'));
    return path == root || path.startsWith(root + QLatin1Char('/'));
}

void AnswerFileRequest(TNetPeerThread& thread, const TNetHTTPRequestInfo& request,
                       TNetHTTPResponseInfo& response, const TWebRequestContext& context) {
    context.ShowStatus(request.Command);
    // No folder chosen yet serves nothing, rather than whatever folder the program runs in.
    const QFileInfo file = context.DocumentRoot.isEmpty()
                               ? QFileInfo()
                               : RequestedFile(context.DocumentRoot, request.Document);
    const QString path = file.filePath();
    if (!file.isFile()) {
        response.SetResponseNo(404);
        response.ContentText = NotFoundPage(response.StatusText);
    } else if (!LiesWithinRoot(path, context.DocumentRoot)) {
        response.ContentText = AccessDeniedPage;
        response.SetResponseNo(403);
    } else if (request.Command.compare(QLatin1String("HEAD"), Qt::CaseInsensitive) == 0) {
        const qint64 size = OpenedFileSize(path);
        response.SetResponseNo(200);
        response.ContentType = context.MimeTypeForFile(path);
        response.ContentLength = size;
    } else {
        // The file's own type, so a browser shows /camera.jpg as a picture.
        response.ContentType = context.MimeTypeForFile(path);
        const qint64 sent = TNetHTTPServer::SendFile(thread, response, path);
        context.ShowStatus(QStringLiteral("Sending %1 %2 bytes").arg(file.fileName()).arg(sent));
    }
    context.ShowStatus(QString());
}
