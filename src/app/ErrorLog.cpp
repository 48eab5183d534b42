#include "ErrorLog.h"

#include "NetConnection.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtDebug>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The long time format names the time zone in some locales; a log line has no use for it.
QString TimeFormatWithoutZone(const QLocale& locale) {
    QString format = locale.timeFormat(QLocale::LongFormat);
    format.remove(QLatin1Char('t'));
    return format.trimmed();
}

TUniqueFd OpenForAppending(const QByteArray& path) {
    return TUniqueFd(::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
}

// The log open for appending `bytes`; a log that they would take past its size is moved aside
// first. Only a regular file is moved: a pipe or /dev/null under the name is taken as it is.
TUniqueFd OpenRoomFor(const QString& fileName, qint64 bytes) {
    const QByteArray path = QFile::encodeName(fileName);
    TUniqueFd file = OpenForAppending(path);
    struct stat status {};
    if (!file.Valid() || ::fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_size == 0 || status.st_size + bytes <= TErrorLog::MaxFileBytes)
        return file;
    if (::rename(path.constData(), QFile::encodeName(OldLogFileName(fileName)).constData()) != 0)
        return file; // better a long log than a lost line
    return OpenForAppending(path);
}

// One line in one write: with O_APPEND the kernel puts it at the end even when another copy of
// the program writes to the same log.
void AppendLine(const QString& fileName, const QDateTime& when, const QString& text) {
    const QString line = FormatLogTime(when) + QLatin1String(" : ") + text;
    const QByteArray bytes = (line + QLatin1Char('\n')).toUtf8();
    const TUniqueFd file = OpenRoomFor(fileName, bytes.size());
    ssize_t written = -1;
    if (file.Valid()) {
        do
            written =
                ::write(file.Get(), bytes.constData(), static_cast<std::size_t>(bytes.size()));
        while (written < 0 && errno == EINTR);
    }
    // The log must never become a new source of failures; the line still reaches stderr.
    if (written != bytes.size())
        qWarning().noquote() << "Cannot write" << fileName << "-" << line;
}

} // namespace

QString FormatLogTime(const QDateTime& when, const QLocale& locale) {
    QString text = locale.toString(when.date(), QLocale::ShortFormat);
    if (when.time() != QTime(0, 0))
        text += QLatin1Char(' ') + locale.toString(when.time(), TimeFormatWithoutZone(locale));
    return text;
}

QString OldLogFileName(const QString& fileName) {
    const QFileInfo log(fileName);
    return log.dir().filePath(log.completeBaseName() + QStringLiteral(".old.") + log.suffix());
}

void TErrorLog::Append(const QString& fileName, const QString& message, const QDateTime& now) {
    if (RepeatsLastMessage(message, now)) {
        ++Repeats;
        LastRepeat = now;
        return;
    }
    WriteRepeats(fileName);
    AppendLine(fileName, now, message);
    LastMessage = message;
    LastWritten = now;
}

void TErrorLog::EndRepeats(const QString& fileName, const QDateTime& now) {
    if (Repeats > 0 && !RepeatsLastMessage(LastMessage, now))
        WriteRepeats(fileName);
}

QDateTime TErrorLog::RepeatsEnd() const {
    return Repeats > 0 ? LastWritten.addSecs(RepeatWindowSecs) : QDateTime();
}

void TErrorLog::Release(const QString& fileName) {
    WriteRepeats(fileName);
    LastMessage.clear();
    LastWritten = QDateTime();
}

bool TErrorLog::RepeatsLastMessage(const QString& message, const QDateTime& now) const {
    if (!LastWritten.isValid() || message != LastMessage)
        return false;
    // A clock set back ends the minute too, rather than holding lines back until it catches up.
    const qint64 sinceLine = LastWritten.secsTo(now);
    return sinceLine >= 0 && sinceLine < RepeatWindowSecs;
}

void TErrorLog::WriteRepeats(const QString& fileName) {
    if (Repeats == 0)
        return;
    AppendLine(fileName, LastRepeat,
               QStringLiteral("Last message repeated %1 times.").arg(Repeats));
    Repeats = 0;
}
