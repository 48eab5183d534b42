#pragma once

#include "NetErrors.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>
#include <vector>

// Reading one HTTP request: the request line, the header lines, the body, and what the engine
// derives from them. Everything here works on a byte source, so the parser runs on sockets and
// on bytes in memory alike (tests, fuzzing).

// Request failures that end the connection without an answer.
class ENetHTTPErrorParsingCommand : public ENetError {
  public:
    ENetHTTPErrorParsingCommand() : ENetError(QStringLiteral("Error in parsing command.")) {}
};
class ENetHTTPUnsupportedAuthorisationScheme : public ENetError {
  public:
    ENetHTTPUnsupportedAuthorisationScheme()
        : ENetError(QStringLiteral("Unsupported authorization scheme.")) {}
};
// A line, the header block or the body over its limit: one client must not be able to hold
// unbounded memory.
class ENetHTTPRequestTooLarge : public ENetError {
  public:
    ENetHTTPRequestTooLarge() : ENetError(QStringLiteral("Request too large.")) {}
};

// A request sent too slowly: one client must not hold a connection's thread for long by
// dribbling its bytes.
class ENetHTTPRequestTooSlow : public ENetError {
  public:
    ENetHTTPRequestTooSlow() : ENetError(QStringLiteral("Request too slow.")) {}
};

struct TNetHTTPLimits {
    qsizetype MaxLineBytes = 8192; // without the line end
    int MaxHeaderLines = 100;      // the empty line that ends the block not counted
    qint64 MaxBodyBytes = 1024 * 1024;
    // The request line and the headers, counted from the request's first byte.
    std::chrono::milliseconds MaxHeadTime{30000};
    // The body after that: this long, and then no slower than this on average.
    std::chrono::milliseconds BodyGraceTime{2000};
    qint64 MinBodyBytesPerSecond = 16384;
};

// Lines "Name: value". Names match case-insensitively; continuation lines (starting with a blank
// or a tab) belong to the line above.
class TNetHeaderList {
  public:
    explicit TNetHeaderList(bool foldLines = true) : FoldLines(foldLines) {}

    QStringList Lines;

    // The value of the first line named `name`, folded continuations joined by one blank;
    // empty when there is none.
    QString Value(const QString& name) const;
    // The values of every line named `name`, in order.
    QStringList Values(const QString& name) const;
    bool Contains(const QString& name) const { return IndexOf(name) >= 0; }
    // Replaces the line of that name (and its continuations) or appends one; an empty value
    // removes it. With folding on, a line over 78 characters is broken at blanks.
    void SetValue(const QString& name, const QString& value);

  private:
    bool FoldLines;

    qsizetype IndexOf(const QString& name, qsizetype from = 0) const;
    QString ValueAt(qsizetype index) const;
    qsizetype ContinuationEnd(qsizetype index) const;
};

struct TNetCookie {
    QString Name;
    QString Value;
};

// Texts are the request's bytes read as UTF-8, the encoding of file names here.
class TNetHTTPRequestInfo {
  public:
    QString RemoteIP;
    QString Command;  // upper-cased method word
    QString Document; // "/" + path of the target; no query, no fragment, not percent-decoded
    QString Version;
    QString Host;
    TNetHeaderList RequestHeaders;
    QString ParamText; // body, then CR LF and the query
    QStringList Params;
    std::vector<TNetCookie> Cookies;
    bool HasAuthorization = false;
    QString AuthUser;
    QString AuthPassword;
};

struct TNetHTTPRequestLine {
    QString Command; // upper-cased
    QString Target;
    QString Version;
};

// Where request bytes come from.
class TNetByteSource {
  public:
    using TClock = std::chrono::steady_clock;

    virtual ~TNetByteSource() = default;
    // Up to `size` bytes into `buffer`; 0 when the peer has closed. Throws on failures and time
    // limits.
    virtual qsizetype Receive(char* buffer, qsizetype size) = 0;
    // Later receives wait no later than this, besides any limit of the source's own. Sources
    // that never wait may ignore it.
    virtual void SetDeadline(TClock::time_point deadline) { static_cast<void>(deadline); }
};

// Bytes from memory, handed out in pieces of the given sizes (cycled), to exercise every split.
class TNetMemorySource : public TNetByteSource {
  public:
    explicit TNetMemorySource(QByteArray bytes, std::vector<qsizetype> pieceSizes = {});
    qsizetype Receive(char* buffer, qsizetype size) override;

  private:
    QByteArray Bytes;
    std::vector<qsizetype> PieceSizes;
    qsizetype Position = 0;
    std::size_t NextPiece = 0;
};

// The input buffer of a connection: lines and counted bytes within the limits. Lines (the
// request line and headers) must be complete within MaxHeadTime of the first byte; counted or
// remaining bytes (the body) keep to the minimum rate. Either failing is ENetHTTPRequestTooSlow
// or the source's time-out.
class TNetHTTPInput {
  public:
    TNetHTTPInput(TNetByteSource& source, const TNetHTTPLimits& limits);

    // The bytes before the next line feed, one CR before it removed. ENetHTTPRequestTooLarge
    // for a longer line than allowed, ENetConnClosedGracefully when the peer closed first.
    QByteArray ReadLn();
    // The same without a copy: the view is valid until the next read.
    QByteArrayView ReadLineView();
    QByteArray ReadBytes(qint64 count);
    // Everything until the peer closes, within the body limit.
    QByteArray ReadToEnd();
    const TNetHTTPLimits& Limits() const { return Limit; }

  private:
    static constexpr qsizetype FirstReceiveBytes = 4096;
    static constexpr qsizetype ReceiveChunkBytes = 32768;
    using TClock = TNetByteSource::TClock;
    enum class TPart { Head, Body };

    TNetByteSource& Source;
    TNetHTTPLimits Limit;
    QByteArray Buffer;
    qsizetype Consumed = 0;
    qsizetype ScanFrom = 0; // bytes before it hold no line feed: slow senders cost no rescans
    bool PeerClosed = false;
    std::optional<TClock::time_point> HeadStarted; // when the first byte came
    std::optional<TClock::time_point> BodyStarted;
    qint64 BodyBytesReceived = 0;

    qsizetype Available() const { return Buffer.size() - Consumed; }
    TClock::time_point Deadline(TPart part) const;
    bool ReceiveMore(TPart part);
    QByteArray Take(qsizetype count);
};

// Request line: version after the last blank, method before the first blank of the rest.
TNetHTTPRequestLine ParseRequestLine(const QString& line);
// GET, POST and HEAD go to the handler; every other method is left unanswered.
bool IsAnsweredCommand(const QString& command);
// Reads the header block and the body after the request line and fills in the request
// (ENetHTTPUnsupportedAuthorisationScheme for credentials other than Basic).
TNetHTTPRequestInfo ReadRequest(TNetHTTPInput& input, const TNetHTTPRequestLine& line,
                                const QString& remoteIP, bool parseParams);

// A parameter with "+" as blank and %XX escapes decoded (invalid or zero escapes dropped).
QString DecodeParam(const QString& text);
