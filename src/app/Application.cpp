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
        ShowException(std::runtime_error("Unknown error"));
    }
    return false;
}

void TApplication::ShowMessage(const QString& text, QMessageBox::Icon icon) const {
    if (Sink) {
        Sink(text);
        return;
    }
    QMessageBox box(icon, applicationDisplayName(), text, QMessageBox::Ok, activeWindow());
    box.exec();
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
