// The window side of the web server: its switch, port and folder fields, the request handler
// it installs, and the address shown under "Current IP".
#include "IniFile.h"
#include "MainWindow.h"
#include "NetErrors.h"

#include <QKeyEvent>

namespace {

// The port as typed: a whole number written as the settings file writes numbers, or the
// conversion's own message.
int PortNumber(const QString& text) {
    if (const auto value = ParseIniInteger(text.toStdString()))
        return *value;
    throw EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(text));
}

// The camera's live pictures into the web server's feed.
class TLiveFeedSink : public ILivePictureSink {
  public:
    explicit TLiveFeedSink(std::shared_ptr<TLiveFeed> feed) : Feed(std::move(feed)) {}
    bool Watched() const override { return Feed->Watched(); }
    void Deliver(TLiveJpeg jpeg) override { Feed->Publish(std::move(jpeg)); }
    void Ended() override { Feed->End(); }

  private:
    std::shared_ptr<TLiveFeed> Feed;
};

} // namespace

void TfrmMain::CreateWebComponents() {
    // Queued from one thread, the texts of a request arrive in the order they were sent.
    Web = std::make_shared<TWebShared>(
        [this](const QString& text) {
            QMetaObject::invokeMethod(
                this, [this, text] { StatusBar->SetPanelText(1, text); }, Qt::QueuedConnection);
        },
        [this](const QString& message) {
            QMetaObject::invokeMethod(
                this, [this, message] { LogError(message); }, Qt::QueuedConnection);
        });
    HTTPServer.DefaultPort = 8888;
    HTTPServer.ServerSoftware = QStringLiteral("Kamvera");
    HTTPServer.MimeTypeForFile = [web = Web](const QString& fileName) {
        return web->MimeTable.MimeTypeForFile(fileName);
    };
    HTTPServer.OnCommandGet = [web = Web](TNetPeerThread& thread, TNetHTTPRequestInfo& request,
                                          TNetHTTPResponseInfo& response) {
        HTTPServerCommandGet(*web, thread, request, response);
    };
    HTTPServer.OnCommandError = [web = Web](const QString& message) {
        web->Errors.Show(message);
    };
    // Connection threads never read the field itself; they read this copy.
    connect(edtLocalDirectory1, &QLineEdit::textChanged, this,
            [this](const QString& text) { Web->Root.Set(text); });
    Web->Root.Set(edtLocalDirectory1->text());
    connect(edtWWWPassword, &QLineEdit::textChanged, this,
            [this](const QString& text) { Web->Password.Set(text); });
    Web->Password.Set(edtWWWPassword->text());
    connect(chkLive, &QCheckBox::toggled, this, [this](bool on) {
        Web->LiveOn = on;
        // Whoever watches when it is turned off sees the stream end.
        if (!on)
            Web->Live->End();
    });
    Web->LiveOn = chkLive->isChecked();
    cap1->LiveSink = std::make_shared<TLiveFeedSink>(Web->Live);
    edtPort->installEventFilter(this);
}

void TfrmMain::SetWebServerActive(bool active, int port) {
    if (active) {
        HTTPServer.DefaultPort = port;
        HTTPServer.SetActive(true);
    } else {
        HTTPServer.SetActive(false);
    }
}

void TfrmMain::chkWWWClick() {
    SetTaggedEnabled(this, 3, !chkWWW->isChecked());
    if (chkWWW->isChecked()) {
        SetWebServerActive(true, PortNumber(edtPort->text()));
        lblActiveWWW->setText(QStringLiteral("Yes"));
    } else {
        SetWebServerActive(false, 0);
        lblActiveWWW->setText(QStringLiteral("No"));
    }
}

bool TfrmMain::edtPortKeyPress(QChar Key) {
    return Key < QLatin1Char('0') || Key > QLatin1Char('9');
}

bool TfrmMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched == edtPort && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        // Keys without a character of their own (Delete, arrows) keep their meaning.
        if (key->key() != Qt::Key_Delete && key->text().size() == 1 &&
            edtPortKeyPress(key->text().front()))
            return true;
    }
    return QWidget::eventFilter(watched, event);
}

void TfrmMain::edtWWWPathAfterDialog(QString& Name) {
    edtLocalDirectory1AfterDialog(Name);
}

QString TfrmMain::CurrentIPAddress() const {
    return RasMonitor.CurrentIPAddress();
}

QString TfrmMain::MimeTypeForFile(const QString& FileName) const {
    return Web->MimeTable.MimeTypeForFile(FileName);
}

void TfrmMain::HTTPServerCommandGet(const TWebShared& Web, TNetPeerThread& AThread,
                                    TNetHTTPRequestInfo& ARequestInfo,
                                    TNetHTTPResponseInfo& AResponseInfo) {
    const TWebRequestContext context{
        .DocumentRoot = Web.Root.Get(),
        .MimeTypeForFile =
            [&Web](const QString& name) { return Web.MimeTable.MimeTypeForFile(name); },
        .ShowStatus = [&Web](const QString& text) { Web.Status.Show(text); },
        .Password = &Web.Password,
        .WrongPassword =
            [&Web](const QString& peer) {
                if (const std::optional<QString> line = Web.Refusals.Refused(peer))
                    Web.Errors.Show(*line);
            },
        .Live = Web.LiveOn ? Web.Live : nullptr,
    };
    AnswerWebRequest(AThread, ARequestInfo, AResponseInfo, context);
}
