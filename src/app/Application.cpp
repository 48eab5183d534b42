#include "Application.h"

#include <QMessageBox>

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    // Qt itself is not exception-safe, so nothing may be thrown through the event loop.
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        ShowException(error);
    } catch (...) {
        ShowMessage(QStringLiteral("Unknown error"));
    }
    return false;
}

void TApplication::ShowMessage(const QString& text) const {
    if (Sink) {
        Sink(text);
        return;
    }
    QMessageBox::information(activeWindow(), applicationDisplayName(), text);
}

void ShowMessage(const QString& text) {
    if (const auto* app = qobject_cast<TApplication*>(QCoreApplication::instance())) {
        app->ShowMessage(text);
        return;
    }
    QMessageBox::information(nullptr, QString(), text);
}

void ShowException(const std::exception& error) {
    ShowMessage(QString::fromUtf8(error.what()));
}
