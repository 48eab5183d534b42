#include "ErrorLog.h"

#include <QFile>
#include <QSaveFile>
#include <QTextStream>
#include <QtDebug>

namespace {

QStringList ReadLines(const QString& fileName) {
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QStringList lines;
    QTextStream in(&file);
    while (!in.atEnd())
        lines << in.readLine();
    return lines;
}

bool WriteLines(const QString& fileName, const QStringList& lines) {
    // A crash in the middle of a write must not cost the lines already logged.
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return false;
    QTextStream out(&file);
    for (const QString& line : lines)
        out << line << '\n';
    out.flush();
    return file.commit();
}

// The long time format names the time zone in some locales; a log line has no use for it.
QString TimeFormatWithoutZone(const QLocale& locale) {
    QString format = locale.timeFormat(QLocale::LongFormat);
    format.remove(QLatin1Char('t'));
    return format.trimmed();
}

} // namespace

QString FormatLogTime(const QDateTime& when, const QLocale& locale) {
    QString text = locale.toString(when.date(), QLocale::ShortFormat);
    if (when.time() != QTime(0, 0))
        text += QLatin1Char(' ') + locale.toString(when.time(), TimeFormatWithoutZone(locale));
    return text;
}

void TErrorLog::Append(const QString& fileName, const QString& message, const QDateTime& now) {
    if (QFile::exists(fileName))
        HeldLines = ReadLines(fileName);
    const QString line = FormatLogTime(now) + QLatin1String(" : ") + message;
    HeldLines << line;
    // The log must never become a new source of failures; the line still reaches stderr.
    if (!WriteLines(fileName, HeldLines))
        qWarning().noquote() << "Cannot write" << fileName << "-" << line;
}
