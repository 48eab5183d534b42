#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <exception>
#include <functional>
#include <stdexcept>

// The application object. It owns the one default error report: an exception that leaves an
// event handler becomes a message box with its text, and the program goes on.
class TApplication : public QApplication {
    Q_OBJECT
  public:
    using MessageSink = std::function<void(const QString& text)>;

    TApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    // Tests replace the modal message box with a sink that records the texts.
    void SetMessageSink(MessageSink sink) { Sink = std::move(sink); }
    void ShowMessage(const QString& text, QMessageBox::Icon icon = QMessageBox::Information) const;

  private:
    MessageSink Sink;
};

// Shows a modal message box through the application's sink (or a plain message box when the
// application object is not a TApplication).
void ShowMessage(const QString& text);

// The default error report for an exception that escaped a handler.
void ShowException(const std::exception& error);

// Runs a handler and reports whatever it throws, so one failing handler never takes the
// event loop (or the rest of a settings load) down with it.
template <typename Handler> void RunHandler(Handler&& handler) noexcept {
    try {
        std::forward<Handler>(handler)();
    } catch (const std::exception& error) {
        ShowException(error);
    } catch (...) {
        ShowException(std::runtime_error("Unknown error"));
    }
}
