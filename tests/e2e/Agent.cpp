// A test agent loaded into the real program with LD_PRELOAD, so end-to-end tests can drive the
// window the way a user does without the program knowing. It starts with the application
// object when KAMVERO_AGENT_DIR names a folder, and from then on, on the program's own thread:
// - reads commands from <folder>/command.txt (one per line) and appends one reply line per
//   command to <folder>/replies.txt:
//     click <objectName>   a left mouse click in the middle of the widget, through its window
//     close <objectName>   the window manager's close request for the widget's window
//     text <objectName>    the text the widget shows (label, button, line edit, spin box)
//     visible <objectName> "yes" or "no"
// - writes the text of every message box it sees to <folder>/messages.txt and answers it with
//   its default button, as a user reading it would.
#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>

namespace {

QWidget* FindWidget(const QString& name) {
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (top->objectName() == name)
            return top;
        if (auto* found = top->findChild<QWidget*>(name))
            return found;
    }
    return nullptr;
}

QString WidgetText(QWidget* widget) {
    if (auto* label = qobject_cast<QLabel*>(widget))
        return label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(widget))
        return button->text();
    if (auto* edit = qobject_cast<QLineEdit*>(widget))
        return edit->text();
    if (auto* spin = qobject_cast<QAbstractSpinBox*>(widget))
        return spin->text();
    return widget->windowTitle();
}

void AppendLine(const QString& fileName, const QString& line) {
    QFile file(fileName);
    if (file.open(QIODevice::Append))
        file.write(line.toUtf8() + '\n');
}

class TAgent : public QObject {
  public:
    explicit TAgent(QString folder) : QObject(qApp), Folder(std::move(folder)) {
        connect(&Tick, &QTimer::timeout, this, [this] { Poll(); });
        Tick.start(50);
    }

  private:
    QString Folder;
    QTimer Tick;

    QString File(const char* name) const { return Folder + QLatin1Char('/') + name; }

    void Poll() {
        AnswerMessageBox();
        QFile commands(File("command.txt"));
        if (!commands.open(QIODevice::ReadOnly))
            return;
        const QList<QByteArray> lines = commands.readAll().split('\n');
        commands.remove();
        for (const QByteArray& line : lines)
            if (!line.trimmed().isEmpty())
                AppendLine(File("replies.txt"), Run(QString::fromUtf8(line.trimmed())));
    }

    void AnswerMessageBox() const {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        AppendLine(File("messages.txt"), box->text());
        QAbstractButton* button = box->defaultButton();
        if (!button)
            button = box->buttons().value(0);
        if (button)
            button->click();
        else
            box->done(0);
    }

    QString Run(const QString& command) const {
        const QString verb = command.section(QLatin1Char(' '), 0, 0);
        const QString name = command.section(QLatin1Char(' '), 1);
        QWidget* const widget = FindWidget(name);
        if (!widget)
            return command + QStringLiteral(" -> error: no widget");
        if (verb == QLatin1String("click")) {
            if (!widget->isVisible() || !widget->isEnabled())
                return command + QStringLiteral(" -> error: not clickable");
            QTest::mouseClick(widget, Qt::LeftButton, {}, widget->rect().center());
        } else if (verb == QLatin1String("close")) {
            QWindow* const window = widget->window()->windowHandle();
            if (!window)
                return command + QStringLiteral(" -> error: no window");
            // Later, so that this reply is written before the program starts closing.
            QTimer::singleShot(0, window, [window] { window->close(); });
        } else if (verb == QLatin1String("text")) {
            return command + QStringLiteral(" -> ") + WidgetText(widget);
        } else if (verb == QLatin1String("visible")) {
            return command + (widget->isVisible() ? QStringLiteral(" -> yes")
                                                  : QStringLiteral(" -> no"));
        } else {
            return command + QStringLiteral(" -> error: unknown command");
        }
        return command + QStringLiteral(" -> ok");
    }
};

void StartAgent() {
    const QString folder = qEnvironmentVariable("KAMVERO_AGENT_DIR");
    if (folder.isEmpty() || !QDir(folder).exists())
        return;
    // Owned by the application object, which outlives every window.
    new TAgent(folder);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(StartAgent)
