// The window side of FTP publishing: the timer tick, the publishing switch and history count.
#include "MainWindow.h"

void TfrmMain::PassCredentialsToFTPClient() {
    // FIXME: the FTP client takes edtLogin, edtPassword and edtHost here once it exists.
}

void TfrmMain::FTPTimerTimer() {
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
    FTPBusy = false;
}

void TfrmMain::FTPUpload() {
    // FIXME: one publishing pass comes with the FTP client.
}

void TfrmMain::chkFTPClick() {
    // Server settings cannot change under a publisher that is switched on.
    SetTaggedEnabled(this, 2, !chkFTP->isChecked());
    lblActiveFTP->setText(chkFTP->isChecked() ? QStringLiteral("Yes") : QStringLiteral("No"));
}

void TfrmMain::spnThumbsChange() {
    lblFTPQTY->setText(QString::number(spnThumbs->value()));
}
