// The window side of FTP publishing: the timer tick, one pass, the client's status texts, the
// publishing switch and history count.
#include "FtpPublisher.h"
#include "MainWindow.h"

#include <QCoreApplication>
#include <QScopeGuard>

#include <tuple>
#include <utility>

namespace {

// The host field may name a port after a colon ("ftp.example.org:2121") for a server that does
// not listen on the standard one; a bare host name, or anything else after a colon, is taken
// as it is with the standard port.
std::pair<QString, int> FtpHostAndPort(const QString& text) {
    const qsizetype colon = text.indexOf(QLatin1Char(':'));
    if (colon > 0 && colon == text.lastIndexOf(QLatin1Char(':'))) {
        bool isNumber = false;
        const int port = text.mid(colon + 1).toInt(&isNumber);
        if (isNumber && port > 0 && port <= 65535)
            return {text.left(colon), port};
    }
    return {text, TNetFTP::DefaultPort};
}

} // namespace

void TfrmMain::CreateNetComponents() {
    NetAntiFreeze1 = std::make_unique<TNetAntiFreeze>([] { QCoreApplication::processEvents(); });
    NetFTP.Passive = true;
    NetFTP.OnStatus = [this](TNetComponent& sender, TNetStatus status, const QString& text) {
        NetFTPStatus(sender, status, text);
    };
    NetFTP.OnWorkEnd = [this](TNetComponent& sender, TWorkMode mode) {
        NetFTPWorkEnd(sender, mode);
    };
}

void TfrmMain::PassCredentialsToFTPClient() {
    NetFTP.User = edtLogin->text();
    NetFTP.Password = edtPassword->text();
    std::tie(NetFTP.Host, NetFTP.Port) = FtpHostAndPort(edtHost->text());
}

void TfrmMain::FTPTimerTimer() {
    // A tick inside a running pass must not end that pass's hold on the motion timer.
    const bool busyBefore = FTPBusy;
    FTPBusy = true;
    lblIP->setText(CurrentIPAddress());
    RestartCountdown();
    if (chkFTP->isChecked() && NewSnapshot) {
        try {
            FTPUpload();
        } catch (const std::exception& error) {
            LogError(QString::fromUtf8(error.what()));
        }
    }
    FTPBusy = busyBefore;
}

void TfrmMain::FTPUpload() {
    // The client has one control connection; a second pass would interleave its commands.
    if (FTPPassRunning) {
        LogError(QStringLiteral("FTP pass skipped: the previous pass is still running."));
        return;
    }
    const TFtpPassSettings settings{
        .Passive = chkPassive->isChecked(),
        .Directory = edtFTPDirectory->text(),
        .HistoryCount = spnThumbs->value(),
        .BaseName = edtFilename1->text(),
        .LocalDirectory = edtLocalDirectory1->text(),
    };
    const TFtpPassEvents events{
        .LogError = [this](const QString& message) { LogError(message); },
        .ShowStatus = [this](const QString& text) { StatusBar->SetPanelText(1, text); },
        .Uploaded = [this] { NewSnapshot = false; },
    };
    FTPPassRunning = true;
    const auto passEnded = qScopeGuard([this] {
        FTPPassRunning = false;
        CloseIfAskedDuringPass();
    });
    RunFtpPass(NetFTP, settings, events);
}

void TfrmMain::CloseIfAskedDuringPass() {
    if (!CloseAfterPass)
        return;
    CloseAfterPass = false;
    // Queued, so the pass and whatever called it have left the stack before the window goes.
    QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

void TfrmMain::NetFTPStatus(TNetComponent& /*axSender*/, TNetStatus /*axStatus*/,
                            const QString& asStatusText) {
    StatusBar->SetPanelText(1, asStatusText);
}

void TfrmMain::NetFTPWorkEnd(TNetComponent& /*Sender*/, TWorkMode /*AWorkMode*/) {
    StatusBar->SetPanelText(1, QStringLiteral("Transfer complete"));
}

void TfrmMain::chkFTPClick() {
    // Server settings cannot change under a publisher that is switched on.
    SetTaggedEnabled(this, 2, !chkFTP->isChecked());
    lblActiveFTP->setText(chkFTP->isChecked() ? QStringLiteral("Yes") : QStringLiteral("No"));
}

void TfrmMain::spnThumbsChange() {
    lblFTPQTY->setText(QString::number(spnThumbs->value()));
}
