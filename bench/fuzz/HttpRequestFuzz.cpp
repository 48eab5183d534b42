// libFuzzer target for the HTTP request parser: arbitrary bytes go through the steps a
// connection thread takes (request line, then for an answered method the header block, the
// body and everything derived from them), read from memory in pieces whose sizes come from the
// input, so every split of a line or a body is reachable.
//
// Input layout: one flags byte, one count byte, that many piece sizes, then the request.
// Flags: bit 0 parses parameters, bit 1 uses tiny limits so the fuzzer reaches each limit
// without megabytes of input.
//
// Parse failures are ENetError and end the connection, as on a socket; any other exception or a
// broken invariant of the parsed request is a finding.

#include "FuzzSupport.h"
#include "NetErrors.h"
#include "NetHTTPRequest.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

constexpr std::size_t MaxPieceSizes = 8;

struct TFuzzCase {
    bool ParseParams = false;
    TNetHTTPLimits Limits;
    std::vector<qsizetype> PieceSizes;
    QByteArray Request;
};

TNetHTTPLimits TinyLimits() {
    TNetHTTPLimits limits;
    limits.MaxLineBytes = 64;
    limits.MaxHeaderLines = 4;
    limits.MaxBodyBytes = 256;
    return limits;
}

TFuzzCase SplitInput(const std::uint8_t* data, std::size_t size) {
    TFuzzCase fuzzCase;
    std::size_t at = 0;
    const std::uint8_t flags = at < size ? data[at++] : 0;
    fuzzCase.ParseParams = (flags & 1) != 0;
    if ((flags & 2) != 0)
        fuzzCase.Limits = TinyLimits();
    const std::size_t pieces = at < size ? data[at++] % (MaxPieceSizes + 1) : 0;
    // A piece size of 0 means "one byte", as the source hands out at least one.
    for (std::size_t i = 0; i < pieces && at < size; ++i)
        fuzzCase.PieceSizes.push_back(data[at++]);
    fuzzCase.Request =
        QByteArray(reinterpret_cast<const char*>(data + at), static_cast<qsizetype>(size - at));
    return fuzzCase;
}

// What the rest of the engine and the handler rely on.
void CheckRequest(const TNetHTTPRequestInfo& request, const TNetHTTPLimits& limits) {
    Require(request.Command == request.Command.toUpper());
    Require(request.Document == QLatin1String("*") || request.Document.startsWith(u'/'));
    Require(!request.Document.contains(u'\\'));
    Require(!request.Document.contains(u'?'));
    // The empty line that ends the block is kept as the last line.
    Require(request.RequestHeaders.Lines.size() <= limits.MaxHeaderLines + 1);
    for (const QString& line : request.RequestHeaders.Lines)
        Require(line.size() <= limits.MaxLineBytes); // UTF-16 units never outnumber UTF-8 bytes
    Require(request.HasAuthorization ||
            (request.AuthUser.isEmpty() && request.AuthPassword.isEmpty()));
}

void ParseOneRequest(const TFuzzCase& fuzzCase) {
    TNetMemorySource source(fuzzCase.Request, fuzzCase.PieceSizes);
    TNetHTTPInput input(source, fuzzCase.Limits);
    const QByteArray firstLine = input.ReadLn();
    Require(firstLine.size() <= fuzzCase.Limits.MaxLineBytes);
    const TNetHTTPRequestLine line = ParseRequestLine(QString::fromUtf8(firstLine));
    if (!IsAnsweredCommand(line.Command))
        return;
    const TNetHTTPRequestInfo request =
        ReadRequest(input, line, QStringLiteral("127.0.0.1"), fuzzCase.ParseParams);
    CheckRequest(request, fuzzCase.Limits);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const TFuzzCase fuzzCase = SplitInput(data, size);
    try {
        ParseOneRequest(fuzzCase);
    } catch (const ENetError&) {
        // A malformed, oversized or cut-off request: the connection ends unanswered.
    }
    return 0;
}
