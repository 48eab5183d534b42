// The window side of the web server: its switch, port and folder fields, and the address.
#include "IniFile.h"
#include "MainWindow.h"

#include <stdexcept>

namespace {

// Raised for a text that is not a whole number, with the conversion's own message.
class EConvertError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

int StrToInt(const QString& text) {
    if (const auto value = ParseIniInteger(text.toStdString()))
        return *value;
    throw EConvertError(
        QStringLiteral("'%1' is not a valid integer value").arg(text).toStdString());
}

} // namespace

void TfrmMain::SetWebServerActive(bool /*active*/, int /*port*/) {
    // FIXME: the HTTP server is switched here once it exists.
}

void TfrmMain::chkWWWClick() {
    SetTaggedEnabled(this, 3, !chkWWW->isChecked());
    if (chkWWW->isChecked()) {
        SetWebServerActive(true, StrToInt(edtPort->text()));
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
