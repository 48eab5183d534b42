#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QStringList>

// The error log "errors.txt": failures that must not stop the program are appended to it,
// one dated line each.
class TErrorLog {
  public:
    // Re-reads the file when it exists (so lines written by another copy of the program are
    // kept), adds one line and writes every held line back. A log that has been deleted
    // is therefore rewritten with all the lines held here.
    void Append(const QString& fileName, const QString& message,
                const QDateTime& now = QDateTime::currentDateTime());

    const QStringList& Lines() const { return HeldLines; }
    void Release() { HeldLines.clear(); }

  private:
    QStringList HeldLines;
};

// The locale's short date and long time, the time left out at exactly midnight.
QString FormatLogTime(const QDateTime& when, const QLocale& locale = QLocale());
