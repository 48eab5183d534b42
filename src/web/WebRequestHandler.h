#pragma once

#include "LiveFeed.h"
#include "NetHTTPServer.h"
#include "WebPassword.h"

#include <QFileInfo>
#include <QString>

#include <functional>
#include <memory>
#include <mutex>

// The folder the web server serves. Connection threads read a copy taken under the lock; the
// GUI thread sets it whenever the local snapshot folder changes.
class TWebDocumentRoot {
  public:
    void Set(const QString& root);
    QString Get() const;

  private:
    mutable std::mutex Lock;
    QString Root;
};

// Status texts from connection threads to whoever shows them, until that one detaches: a
// handler the server had to let go of may outlive the window it reported to.
class TWebStatusRelay {
  public:
    explicit TWebStatusRelay(std::function<void(const QString&)> show)
        : ShowText(std::move(show)) {}
    void Show(const QString& text) const;
    void Detach();

  private:
    mutable std::mutex Lock;
    std::function<void(const QString&)> ShowText;
};

// What one request needs besides itself; every member is safe to call from any thread.
struct TWebRequestContext {
    QString DocumentRoot; // as typed; empty serves nothing
    std::function<QString(const QString& fileName)> MimeTypeForFile;
    std::function<void(const QString& text)> ShowStatus;      // status panel 1, in order
    const TWebPassword* Password = nullptr;                   // none lets every request in
    std::function<void(const QString& peer)> WrongPassword{}; // credentials offered and refused
    std::shared_ptr<TLiveFeed> Live{}; // live view on: LivePicture and LiveStream come from it
};

// The names live view answers, before the folder is looked at.
inline constexpr QStringView LivePicture = u"/live.jpg";
inline constexpr QStringView LiveStream = u"/live.mjpg";
// What separates the pictures of the stream.
inline constexpr char LiveBoundary[] = "kamveroframe";

// The page of a file that exists outside the served folder.
extern const QString AccessDeniedPage;

// The path a request names: root and document joined, made absolute, "." and ".." resolved,
// repeated "/" collapsed; with the folder's index.html for a folder that has one. Looked up
// once: the answer reads its kind from here.
QFileInfo RequestedFile(const QString& documentRoot, const QString& document);

// True when the path is the served folder itself or lies below it, component by component;
// never for an empty folder text.
bool LiesWithinRoot(const QString& path, const QString& documentRoot);

// Answers a GET, POST or HEAD from the served folder: the file (its MIME type and size), the
// folder's index.html, 403 for an existing file outside the folder, 404 for a missing one. Files
// are opened beneath the folder, so a link counts as outside when it leads there.
void AnswerFileRequest(TNetPeerThread& thread, const TNetHTTPRequestInfo& request,
                       TNetHTTPResponseInfo& response, const TWebRequestContext& context);

// Answers LivePicture with the newest picture (503 while there is none) and LiveStream with a
// multipart/x-mixed-replace stream of pictures until the viewer leaves or the pictures end;
// 503 for a viewer beyond TLiveFeed::MaxViewers. A stream keeps its connection's thread, which
// the server makes up for.
void AnswerLiveRequest(TNetPeerThread& thread, const TNetHTTPRequestInfo& request,
                       TNetHTTPResponseInfo& response, TLiveFeed& feed);

// Answers a request once it carries the password, when one is set (otherwise with 401 and a
// Basic challenge): a live name from the feed while live view is on, everything else as
// AnswerFileRequest does. Without a password and live view it is AnswerFileRequest.
void AnswerWebRequest(TNetPeerThread& thread, const TNetHTTPRequestInfo& request,
                      TNetHTTPResponseInfo& response, const TWebRequestContext& context);
