#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

// The error log "errors.txt": failures that must not stop the program are appended to it, one
// dated line each. A line costs one open, one appending write and one close whatever the log's
// size: nothing is read back or rewritten, so a failure that repeats for days neither slows the
// window down nor rewrites the disk. The same message again within a minute of its line is
// counted, and the count follows as one line when another message comes or the minute ends.
// Past MaxFileBytes the log becomes "errors.old.txt" and a new one begins. GUI thread only.
class TErrorLog {
  public:
    static constexpr qint64 MaxFileBytes = 10 * 1024 * 1024;
    static constexpr qint64 RepeatWindowSecs = 60;

    void Append(const QString& fileName, const QString& message,
                const QDateTime& now = QDateTime::currentDateTime());

    // Writes the count of the repeats held back once their minute is over at `now`; the owner
    // calls it at RepeatsEnd().
    void EndRepeats(const QString& fileName, const QDateTime& now);
    // When repeats are held back, the moment their minute ends; otherwise an invalid time.
    QDateTime RepeatsEnd() const;

    // Writes the count of any repeats held back, minute over or not, and forgets the last message.
    void Release(const QString& fileName);

  private:
    bool RepeatsLastMessage(const QString& message, const QDateTime& now) const;
    void WriteRepeats(const QString& fileName);

    QString LastMessage;
    QDateTime LastWritten; // when LastMessage's line was written: its minute starts there
    QDateTime LastRepeat;
    int Repeats = 0;
};

// The locale's short date and long time, the time left out at exactly midnight.
QString FormatLogTime(const QDateTime& when, const QLocale& locale = QLocale());

// The file the log moves to past its size.
QString OldLogFileName(const QString& fileName);
