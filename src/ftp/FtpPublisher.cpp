#include "FtpPublisher.h"

#include "NetErrors.h"
#include "NetFTP.h"

#include <QFileInfo>

#include <exception>

namespace {

// Runs one remote step; a refusal is logged and the pass goes on.
template <class Step> void TryStep(const TFtpPassEvents& events, Step step) {
    try {
        step();
    } catch (const std::exception& error) {
        events.LogError(QString::fromUtf8(error.what()));
    }
}

void RotateHistory(TNetFTP& ftp, const QString& base, int count, const TFtpPassEvents& events) {
    TryStep(events, [&] { ftp.DeleteRemoteFile(HistoryImageName(base, count)); });
    for (int k = count - 1; k >= 1; --k)
        TryStep(events, [&] {
            ftp.RenameRemoteFile(HistoryImageName(base, k), HistoryImageName(base, k + 1));
        });
    TryStep(events, [&] {
        ftp.RenameRemoteFile(base + QStringLiteral(".jpg"), HistoryImageName(base, 1));
    });
}

// Closes the connection when the pass ends, however it ends.
class TDisconnectAtEnd {
  public:
    explicit TDisconnectAtEnd(TNetFTP& ftp) : Ftp(ftp) {}
    ~TDisconnectAtEnd() {
        try {
            Ftp.DisconnectServer();
        } catch (...) {
            // Closing a socket that is already gone has nothing left to report.
        }
    }
    TDisconnectAtEnd(const TDisconnectAtEnd&) = delete;
    TDisconnectAtEnd& operator=(const TDisconnectAtEnd&) = delete;

  private:
    TNetFTP& Ftp;
};

} // namespace

QString HistoryImageName(const QString& base, int k) {
    return base + QStringLiteral("%1.jpg").arg(k, 4, 10, QLatin1Char('0'));
}

void RunFtpPass(TNetFTP& ftp, const TFtpPassSettings& settings, const TFtpPassEvents& events) {
    const TDisconnectAtEnd disconnect(ftp);
    ftp.Passive = settings.Passive;
    events.ShowStatus(QStringLiteral("Starting FTP Processes"));
    if (!ftp.IsConnected())
        ftp.ConnectServer(true);
    TryStep(events, [&] { ftp.ChangeDirectory(settings.Directory); });
    if (settings.HistoryCount > 0)
        RotateHistory(ftp, settings.BaseName, settings.HistoryCount, events);

    const QString localFile = settings.LocalDirectory + settings.BaseName + QStringLiteral(".jpg");
    const QFileInfo local(localFile);
    const qint64 size = local.exists() && local.isFile() ? local.size() : 0;
    events.ShowStatus(QStringLiteral("FTPing %1 %2 bytes").arg(localFile).arg(size));
    ftp.UploadFile(localFile, settings.BaseName + QStringLiteral(".jpg"), false);
    events.Uploaded();
}
