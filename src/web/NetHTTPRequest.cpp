#include "NetHTTPRequest.h"

#include <algorithm>
#include <optional>

namespace {

constexpr qsizetype FoldWidth = 78;

bool IsBlankOrTab(QChar c) {
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

bool IsContinuation(const QString& line) {
    return !line.isEmpty() && IsBlankOrTab(line.front());
}

QString TrimLeft(const QString& text) {
    qsizetype start = 0;
    while (start < text.size() && IsBlankOrTab(text[start]))
        ++start;
    return text.mid(start);
}

// Breaks a long line at blanks; each continuation starts with the blank it was broken at.
QStringList FoldLine(const QString& line) {
    QStringList lines;
    QString rest = line;
    while (rest.size() > FoldWidth) {
        const qsizetype blank = rest.lastIndexOf(QLatin1Char(' '), FoldWidth);
        if (blank <= 0)
            break;
        lines.append(rest.left(blank));
        rest = rest.mid(blank);
    }
    lines.append(rest);
    return lines;
}

QString LineText(QByteArrayView bytes) {
    return QString::fromUtf8(bytes);
}

// -1 when missing or not a whole number.
qint64 ContentLengthOf(const TNetHeaderList& headers) {
    const QString text = headers.Value(QStringLiteral("Content-Length")).trimmed();
    bool ok = false;
    const qint64 length = text.toLongLong(&ok);
    return ok && length >= 0 ? length : -1;
}

void ReadHeaders(TNetHTTPInput& input, TNetHeaderList& headers, int maxLines) {
    for (int count = 0;; ++count) {
        const QString line = LineText(input.ReadLineView());
        headers.Lines.append(line);
        if (line.trimmed().isEmpty())
            return;
        if (count + 1 > maxLines)
            throw ENetHTTPRequestTooLarge();
    }
}

QByteArray ReadBody(TNetHTTPInput& input, const TNetHTTPRequestInfo& request,
                    const TNetHTTPLimits& limits) {
    const qint64 length = ContentLengthOf(request.RequestHeaders);
    if (length > limits.MaxBodyBytes)
        throw ENetHTTPRequestTooLarge();
    if (length >= 0)
        return input.ReadBytes(length);
    if (request.Command == QLatin1String("POST"))
        return input.ReadToEnd();
    return {};
}

QStringList ParseParams(const QString& paramText) {
    QStringList params;
    // Body and query are joined by CR LF; both sides are parameter lists of their own.
    for (const QString& part : paramText.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts))
        for (const QString& piece : part.split(QLatin1Char('&'), Qt::SkipEmptyParts))
            params.append(DecodeParam(piece));
    return params;
}

void ParseCookies(TNetHTTPRequestInfo& request) {
    for (const QString& value : request.RequestHeaders.Values(QStringLiteral("Cookie"))) {
        for (const QString& piece : value.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            const QString pair = piece.trimmed();
            // $Version, $Path and $Domain describe the cookie before them; they are not cookies.
            if (pair.isEmpty() || pair.startsWith(QLatin1Char('$')))
                continue;
            const qsizetype equals = pair.indexOf(QLatin1Char('='));
            if (equals < 0)
                request.Cookies.push_back({pair, {}});
            else
                request.Cookies.push_back({pair.left(equals).trimmed(), pair.mid(equals + 1)});
        }
    }
}

// "host", "host:port", "[v6]:port": the host without the port.
QString HostWithoutPort(const QString& hostAndPort) {
    const qsizetype colon = hostAndPort.lastIndexOf(QLatin1Char(':'));
    if (colon < 0 || colon < hostAndPort.lastIndexOf(QLatin1Char(']')))
        return hostAndPort;
    return hostAndPort.left(colon);
}

struct TTargetParts {
    QString Document;
    QString Host;
};

TTargetParts SplitTarget(const QString& target) {
    if (target == QLatin1String("*"))
        return {target, {}};
    QString path = target;
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    QString host;
    if (const qsizetype scheme = path.indexOf(QLatin1String("://")); scheme >= 0) {
        const QString rest = path.mid(scheme + 3);
        const qsizetype slash = rest.indexOf(QLatin1Char('/'));
        host = HostWithoutPort(slash < 0 ? rest : rest.left(slash));
        path = slash < 0 ? QString() : rest.mid(slash);
    }
    const qsizetype lastSlash = path.lastIndexOf(QLatin1Char('/'));
    QString directory = path.left(lastSlash + 1);
    QString file = path.mid(lastSlash + 1);
    if (!directory.startsWith(QLatin1Char('/')))
        directory.prepend(QLatin1Char('/'));
    if (const qsizetype hash = file.indexOf(QLatin1Char('#')); hash >= 0)
        file.truncate(hash);
    return {directory + file, host};
}

void ParseAuthorization(TNetHTTPRequestInfo& request) {
    const QString authorization = request.RequestHeaders.Value(QStringLiteral("Authorization"));
    if (authorization.isEmpty())
        return;
    request.HasAuthorization = true;
    const qsizetype blank = authorization.indexOf(QLatin1Char(' '));
    const QString scheme = blank < 0 ? authorization : authorization.left(blank);
    if (scheme.compare(QLatin1String("Basic"), Qt::CaseInsensitive) != 0)
        throw ENetHTTPUnsupportedAuthorisationScheme();
    const QString encoded = blank < 0 ? QString() : authorization.mid(blank + 1).trimmed();
    const QString credentials = QString::fromUtf8(QByteArray::fromBase64(encoded.toLatin1()));
    const qsizetype colon = credentials.indexOf(QLatin1Char(':'));
    request.AuthUser = colon < 0 ? credentials : credentials.left(colon);
    request.AuthPassword = colon < 0 ? QString() : credentials.mid(colon + 1);
}

std::optional<int> HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return std::nullopt;
}

// The value of the one or two hex digits of an escape; nullopt when they are not hex.
std::optional<int> EscapeValue(const QByteArray& digits) {
    if (digits.isEmpty())
        return std::nullopt;
    int value = 0;
    for (const char c : digits) {
        const std::optional<int> digit = HexValue(c);
        if (!digit)
            return std::nullopt;
        value = value * 16 + *digit;
    }
    return value;
}

} // namespace

// ---- Header list --------------------------------------------------------------------------------

qsizetype TNetHeaderList::IndexOf(const QString& name, qsizetype from) const {
    for (qsizetype i = from; i < Lines.size(); ++i) {
        const QString& line = Lines[i];
        if (IsContinuation(line))
            continue;
        const qsizetype colon = line.indexOf(QLatin1Char(':'));
        if (colon >= 0 && QStringView(line).left(colon).compare(name, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

qsizetype TNetHeaderList::ContinuationEnd(qsizetype index) const {
    qsizetype end = index + 1;
    while (end < Lines.size() && IsContinuation(Lines[end]))
        ++end;
    return end;
}

QString TNetHeaderList::ValueAt(qsizetype index) const {
    const QString& line = Lines[index];
    QString value = TrimLeft(line.mid(line.indexOf(QLatin1Char(':')) + 1));
    const qsizetype end = ContinuationEnd(index);
    for (qsizetype i = index + 1; i < end; ++i) {
        if (!value.isEmpty() && !IsBlankOrTab(value.back()))
            value += QLatin1Char(' ');
        value += TrimLeft(Lines[i]);
    }
    return value;
}

QString TNetHeaderList::Value(const QString& name) const {
    const qsizetype index = IndexOf(name);
    return index < 0 ? QString() : ValueAt(index);
}

QStringList TNetHeaderList::Values(const QString& name) const {
    QStringList values;
    for (qsizetype i = IndexOf(name); i >= 0; i = IndexOf(name, i + 1))
        values.append(ValueAt(i));
    return values;
}

void TNetHeaderList::SetValue(const QString& name, const QString& value) {
    const qsizetype index = IndexOf(name);
    if (index >= 0)
        Lines.remove(index, ContinuationEnd(index) - index);
    if (value.isEmpty())
        return;
    QString line;
    line.reserve(name.size() + 2 + value.size());
    line += name;
    line += QLatin1String(": ");
    line += value;
    const qsizetype at = index >= 0 ? index : Lines.size();
    if (!FoldLines || line.size() <= FoldWidth) {
        Lines.insert(at, std::move(line));
        return;
    }
    const QStringList newLines = FoldLine(line);
    for (qsizetype i = 0; i < newLines.size(); ++i)
        Lines.insert(at + i, newLines[i]);
}

// ---- Byte sources and the input buffer ----------------------------------------------------------

TNetMemorySource::TNetMemorySource(QByteArray bytes, std::vector<qsizetype> pieceSizes)
    : Bytes(std::move(bytes)), PieceSizes(std::move(pieceSizes)) {}

qsizetype TNetMemorySource::Receive(char* buffer, qsizetype size) {
    qsizetype count = std::min(size, Bytes.size() - Position);
    if (!PieceSizes.empty()) {
        count = std::min(count, std::max<qsizetype>(1, PieceSizes[NextPiece]));
        NextPiece = (NextPiece + 1) % PieceSizes.size();
    }
    std::copy_n(Bytes.constData() + Position, count, buffer);
    Position += count;
    return count;
}

TNetHTTPInput::TNetHTTPInput(TNetByteSource& source, const TNetHTTPLimits& limits)
    : Source(source), Limit(limits) {}

TNetHTTPInput::TClock::time_point TNetHTTPInput::Deadline(TPart part) const {
    if (part == TPart::Head)
        return HeadStarted ? *HeadStarted + Limit.MaxHeadTime : TClock::time_point::max();
    if (!BodyStarted || Limit.MinBodyBytesPerSecond <= 0)
        return TClock::time_point::max();
    // Each byte received buys the time it takes at the least rate allowed.
    const auto earned =
        std::chrono::milliseconds(BodyBytesReceived * 1000 / Limit.MinBodyBytesPerSecond);
    return *BodyStarted + Limit.BodyGraceTime + earned;
}

bool TNetHTTPInput::ReceiveMore(TPart part) {
    if (PeerClosed)
        return false;
    if (part == TPart::Body && !BodyStarted)
        BodyStarted = TClock::now();
    const TClock::time_point deadline = Deadline(part);
    // Checked here as well as in the wait: a client whose bytes always come just before a wait
    // would end never lets it end.
    if (TClock::now() >= deadline)
        throw ENetHTTPRequestTooSlow();
    Source.SetDeadline(deadline);
    if (Consumed == Buffer.size()) {
        Buffer.clear();
        ScanFrom -= Consumed;
        Consumed = 0;
    } else if (Consumed >= ReceiveChunkBytes) {
        Buffer.remove(0, Consumed);
        ScanFrom -= Consumed;
        Consumed = 0;
    }
    const qsizetype kept = Buffer.size();
    // Most requests fit the first, small piece; a larger buffer per request only costs the
    // allocator (heaps trimmed and grown again).
    const qsizetype chunk = kept == 0 ? FirstReceiveBytes : ReceiveChunkBytes;
    Buffer.resize(kept + chunk);
    qsizetype received = 0;
    try {
        received = Source.Receive(Buffer.data() + kept, chunk);
    } catch (...) {
        Buffer.resize(kept);
        throw;
    }
    Buffer.resize(kept + received);
    PeerClosed = received == 0;
    if (received > 0 && !HeadStarted)
        HeadStarted = TClock::now();
    if (part == TPart::Body)
        BodyBytesReceived += received;
    return received > 0;
}

QByteArray TNetHTTPInput::Take(qsizetype count) {
    QByteArray bytes = Buffer.mid(Consumed, count);
    Consumed += count;
    ScanFrom = std::max(ScanFrom, Consumed);
    return bytes;
}

QByteArray TNetHTTPInput::ReadLn() {
    return ReadLineView().toByteArray();
}

QByteArrayView TNetHTTPInput::ReadLineView() {
    ScanFrom = std::max(ScanFrom, Consumed);
    for (;;) {
        const qsizetype lineFeed = Buffer.indexOf('\n', ScanFrom);
        if (lineFeed >= 0) {
            QByteArrayView line(Buffer.constData() + Consumed, lineFeed - Consumed);
            Consumed = lineFeed + 1;
            ScanFrom = Consumed;
            if (line.endsWith('\r'))
                line.chop(1);
            if (line.size() > Limit.MaxLineBytes)
                throw ENetHTTPRequestTooLarge();
            return line;
        }
        ScanFrom = Buffer.size();
        // One byte more for the CR of a line that is exactly as long as allowed.
        if (Available() > Limit.MaxLineBytes + 1)
            throw ENetHTTPRequestTooLarge();
        if (!ReceiveMore(TPart::Head))
            throw ENetConnClosedGracefully();
    }
}

QByteArray TNetHTTPInput::ReadBytes(qint64 count) {
    while (Available() < count)
        if (!ReceiveMore(TPart::Body))
            throw ENetConnClosedGracefully();
    return Take(static_cast<qsizetype>(count));
}

QByteArray TNetHTTPInput::ReadToEnd() {
    while (ReceiveMore(TPart::Body))
        if (Available() > Limit.MaxBodyBytes)
            throw ENetHTTPRequestTooLarge();
    return Take(Available());
}

// ---- Parsing ------------------------------------------------------------------------------------

TNetHTTPRequestLine ParseRequestLine(const QString& line) {
    const qsizetype lastBlank = line.lastIndexOf(QLatin1Char(' '));
    if (lastBlank < 0)
        throw ENetHTTPErrorParsingCommand();
    const QString rest = line.left(lastBlank);
    const qsizetype firstBlank = rest.indexOf(QLatin1Char(' '));
    TNetHTTPRequestLine result;
    result.Version = line.mid(lastBlank + 1);
    result.Command = (firstBlank < 0 ? rest : rest.left(firstBlank)).toUpper();
    result.Target = firstBlank < 0 ? QString() : rest.mid(firstBlank + 1);
    return result;
}

bool IsAnsweredCommand(const QString& command) {
    return command == QLatin1String("GET") || command == QLatin1String("POST") ||
           command == QLatin1String("HEAD");
}

TNetHTTPRequestInfo ReadRequest(TNetHTTPInput& input, const TNetHTTPRequestLine& line,
                                const QString& remoteIP, bool parseParams) {
    const TNetHTTPLimits& limits = input.Limits();
    TNetHTTPRequestInfo request;
    request.RemoteIP = remoteIP;
    request.Command = line.Command;
    request.Version = line.Version;
    ReadHeaders(input, request.RequestHeaders, limits.MaxHeaderLines);
    request.ParamText = QString::fromUtf8(ReadBody(input, request, limits));

    QString target = line.Target;
    if (const qsizetype question = target.indexOf(QLatin1Char('?')); question >= 0) {
        const QString query = target.mid(question + 1);
        target.truncate(question);
        if (!query.isEmpty())
            request.ParamText = request.ParamText.isEmpty()
                                    ? query
                                    : request.ParamText + QStringLiteral("\r\n") + query;
    }
    if (parseParams)
        request.Params = ParseParams(request.ParamText);
    ParseCookies(request);
    request.Host = request.RequestHeaders.Value(QStringLiteral("Host"));
    const TTargetParts parts = SplitTarget(target);
    request.Document = parts.Document;
    if (request.Host.isEmpty())
        request.Host = parts.Host;
    ParseAuthorization(request);
    return request;
}

QString DecodeParam(const QString& text) {
    const QByteArray bytes = text.toUtf8().replace('+', ' ');
    QByteArray decoded;
    decoded.reserve(bytes.size());
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '%') {
            decoded.append(bytes[i]);
            continue;
        }
        const std::optional<int> value = EscapeValue(bytes.mid(i + 1, 2));
        if (value && *value >= 1 && *value <= 255)
            decoded.append(static_cast<char>(*value));
        i += 2;
    }
    return QString::fromUtf8(decoded);
}
