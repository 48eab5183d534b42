// The window side of the web server: its switch, port and folder fields, and the address.
#include "IniFile.h"
#include "MainWindow.h"
#include "NetErrors.h"

namespace {

// The port as typed: a whole number written as the settings file writes numbers, or the
// conversion's own message.
int PortNumber(const QString& text) {
    if (const auto value = ParseIniInteger(text.toStdString()))
        return *value;
    throw EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(text));
}

} // namespace

void TfrmMain::SetWebServerActive(bool /*active*/, int /*port*/) {
    // FIXME: the HTTP server is switched here once it exists.
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

void TfrmMain::edtWWWPathAfterDialog(QString& Name) {
    edtLocalDirectory1AfterDialog(Name);
}

QString TfrmMain::CurrentIPAddress() const {
    // FIXME: the address monitor answers here once it exists; until then the label stands.
    return lblIP->text();
}
