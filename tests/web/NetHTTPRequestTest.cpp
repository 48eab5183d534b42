#include "NetHTTPRequest.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

namespace {

// The request as the engine reads it from `bytes`, handed over in pieces of `pieceSizes`.
TNetHTTPRequestInfo Parse(const QByteArray& bytes, std::vector<qsizetype> pieceSizes = {},
                          const TNetHTTPLimits& limits = {}) {
    TNetMemorySource source(bytes, std::move(pieceSizes));
    TNetHTTPInput input(source, limits);
    const TNetHTTPRequestLine line = ParseRequestLine(QString::fromUtf8(input.ReadLn()));
    return ReadRequest(input, line, QStringLiteral("127.0.0.1"), true);
}

std::vector<qsizetype> RandomPieces(std::mt19937& random) {
    std::uniform_int_distribution<qsizetype> size(1, 7);
    std::vector<qsizetype> pieces(13);
    for (qsizetype& piece : pieces)
        piece = size(random);
    return pieces;
}

struct TRequestCase {
    const char* Name;
    QByteArray Bytes;
    QString Command;
    QString Document;
    QString Version;
    QString Host = {};
    QString ParamText = {};
    QStringList Params = {};
};

const TRequestCase RequestCases[] = {
    {.Name = "lower-case method",
     .Bytes = "get /a.jpg HTTP/1.0\r\n\r\n",
     .Command = "GET",
     .Document = "/a.jpg",
     .Version = "HTTP/1.0"},
    {.Name = "single blank: the target is the version",
     .Bytes = "GET /x\r\n\r\n",
     .Command = "GET",
     .Document = "/",
     .Version = "/x"},
    {.Name = "query into ParamText and Params",
     .Bytes = "GET /a.jpg?t=123&x=a+b%21 HTTP/1.1\r\nHost: cam:8080\r\n\r\n",
     .Command = "GET",
     .Document = "/a.jpg",
     .Version = "HTTP/1.1",
     .Host = "cam:8080",
     .ParamText = "t=123&x=a+b%21",
     .Params = {"t=123", "x=a b!"}},
    {.Name = "backslashes",
     .Bytes = "GET /a\\b.jpg HTTP/1.1\r\n\r\n",
     .Command = "GET",
     .Document = "/a/b.jpg",
     .Version = "HTTP/1.1"},
    {.Name = "fragment",
     .Bytes = "GET /a/b.html#top HTTP/1.1\r\n\r\n",
     .Command = "GET",
     .Document = "/a/b.html",
     .Version = "HTTP/1.1"},
    {.Name = "no leading slash, percent signs kept",
     .Bytes = "HEAD my%20photo.jpg HTTP/1.1\r\n\r\n",
     .Command = "HEAD",
     .Document = "/my%20photo.jpg",
     .Version = "HTTP/1.1"},
    {.Name = "absolute target names the host",
     .Bytes = "GET http://cam.example:8080/pics/c.jpg HTTP/1.1\r\n\r\n",
     .Command = "GET",
     .Document = "/pics/c.jpg",
     .Version = "HTTP/1.1",
     .Host = "cam.example"},
    {.Name = "the Host header wins over the target's host",
     .Bytes = "GET http://other/ HTTP/1.1\r\nhost: cam\r\n\r\n",
     .Command = "GET",
     .Document = "/",
     .Version = "HTTP/1.1",
     .Host = "cam"},
    {.Name = "asterisk",
     .Bytes = "OPTIONS * HTTP/1.1\r\n\r\n",
     .Command = "OPTIONS",
     .Document = "*",
     .Version = "HTTP/1.1"},
    {.Name = "body then query",
     .Bytes = "POST /f?q=1 HTTP/1.1\r\nContent-Length: 7\r\n\r\na=1&b=2",
     .Command = "POST",
     .Document = "/f",
     .Version = "HTTP/1.1",
     .ParamText = "a=1&b=2\r\nq=1",
     .Params = {"a=1", "b=2", "q=1"}},
    {.Name = "POST without length reads to the end",
     .Bytes = "POST / HTTP/1.0\r\n\r\nuntil the client closes",
     .Command = "POST",
     .Document = "/",
     .Version = "HTTP/1.0",
     .ParamText = "until the client closes",
     .Params = {"until the client closes"}},
    {.Name = "GET with a length has its body read",
     .Bytes = "GET / HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc",
     .Command = "GET",
     .Document = "/",
     .Version = "HTTP/1.1",
     .ParamText = "abc",
     .Params = {"abc"}},
    {.Name = "a length that is no number reads no GET body",
     .Bytes = "GET / HTTP/1.1\r\nContent-Length: x\r\n\r\n",
     .Command = "GET",
     .Document = "/",
     .Version = "HTTP/1.1"},
    {.Name = "bare line feeds",
     .Bytes = "GET /i HTTP/1.1\nHost: a\n\n",
     .Command = "GET",
     .Document = "/i",
     .Version = "HTTP/1.1",
     .Host = "a"},
};

class RequestParsing : public testing::TestWithParam<TRequestCase> {};

TEST_P(RequestParsing, GivesTheSameRequestHoweverTheBytesArriveSplit) {
    const TRequestCase& expected = GetParam();
    std::mt19937 random(7);
    for (int round = 0; round < 20; ++round) {
        const auto pieces = round == 0 ? std::vector<qsizetype>{} : RandomPieces(random);
        const TNetHTTPRequestInfo request = Parse(expected.Bytes, pieces);
        SCOPED_TRACE(round);
        EXPECT_EQ(request.Command, expected.Command);
        EXPECT_EQ(request.Document, expected.Document);
        EXPECT_EQ(request.Version, expected.Version);
        EXPECT_EQ(request.Host, expected.Host);
        EXPECT_EQ(request.ParamText, expected.ParamText);
        EXPECT_EQ(request.Params, expected.Params);
        EXPECT_EQ(request.RemoteIP, QStringLiteral("127.0.0.1"));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, RequestParsing, testing::ValuesIn(RequestCases),
                         [](const auto& info) {
                             std::string name;
                             for (const char c : std::string(info.param.Name))
                                 name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

TEST(RequestParsing, FoldedCookieAndAuthorizationHeaders) {
    const TNetHTTPRequestInfo request = Parse("GET / HTTP/1.1\r\n"
                                              "X-Folded: one\r\n"
                                              "  two\r\n"
                                              "\tthree\r\n"
                                              "Cookie: a=1; b=2\r\n"
                                              "cookie: $Version=1; c=x=y\r\n"
                                              "Authorization: basic dXNlcjpwYTpzcw==\r\n"
                                              "\r\n");
    EXPECT_EQ(request.RequestHeaders.Value("x-folded"), QStringLiteral("one two three"));
    ASSERT_EQ(request.Cookies.size(), 3u);
    EXPECT_EQ(request.Cookies[1].Name, QStringLiteral("b"));
    EXPECT_EQ(request.Cookies[1].Value, QStringLiteral("2"));
    EXPECT_EQ(request.Cookies[2].Name, QStringLiteral("c"));
    EXPECT_EQ(request.Cookies[2].Value, QStringLiteral("x=y"));
    EXPECT_TRUE(request.HasAuthorization);
    EXPECT_EQ(request.AuthUser, QStringLiteral("user"));
    EXPECT_EQ(request.AuthPassword, QStringLiteral("pa:ss"));
    // The empty line that ends the block is kept with the headers.
    EXPECT_EQ(request.RequestHeaders.Lines.back(), QString());
}

// ---- Requests that end the connection unanswered ------------------------------------------------

enum class TRefusal { ParsingCommand, UnsupportedScheme, TooLarge, ClosedEarly };

struct TRefusalCase {
    const char* Name;
    std::function<QByteArray()> Bytes;
    TRefusal Expected;
};

QByteArray WithHeaders(int count) {
    QByteArray request = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < count; ++i)
        request += "X-H" + QByteArray::number(i) + ": v\r\n";
    return request + "\r\n";
}

const TRefusalCase RefusalCases[] = {
    {"no blank", [] { return QByteArray("GET\r\n\r\n"); }, TRefusal::ParsingCommand},
    {"stray line end first", [] { return QByteArray("\r\nGET / HTTP/1.1\r\n\r\n"); },
     TRefusal::ParsingCommand},
    {"Digest credentials",
     [] { return QByteArray("GET / HTTP/1.1\r\nAuthorization: Digest a=b\r\n\r\n"); },
     TRefusal::UnsupportedScheme},
    // Refused as soon as the limit is passed, not when the line (never) ends.
    {"request line over 8 KiB", [] { return "GET /" + QByteArray(8200, 'a') + " HTTP/1.1"; },
     TRefusal::TooLarge},
    {"header line over 8 KiB",
     [] { return "GET / HTTP/1.1\r\nX: " + QByteArray(8190, 'a') + "\r\n\r\n"; },
     TRefusal::TooLarge},
    {"101 header lines", [] { return WithHeaders(101); }, TRefusal::TooLarge},
    {"2 MiB body announced",
     [] { return QByteArray("POST / HTTP/1.1\r\nContent-Length: 2097152\r\n\r\n"); },
     TRefusal::TooLarge},
    {"2 MiB body until the close",
     [] { return "POST / HTTP/1.1\r\n\r\n" + QByteArray(2 * 1024 * 1024, 'b'); },
     TRefusal::TooLarge},
    {"closed inside the headers", [] { return QByteArray("GET / HTTP/1.1\r\nHost: a"); },
     TRefusal::ClosedEarly},
    {"closed inside the body",
     [] { return QByteArray("GET / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc"); },
     TRefusal::ClosedEarly},
};

TRefusal RefusalOf(const QByteArray& bytes) {
    try {
        Parse(bytes);
    } catch (const ENetHTTPErrorParsingCommand&) {
        return TRefusal::ParsingCommand;
    } catch (const ENetHTTPUnsupportedAuthorisationScheme&) {
        return TRefusal::UnsupportedScheme;
    } catch (const ENetHTTPRequestTooLarge&) {
        return TRefusal::TooLarge;
    } catch (const ENetConnClosedGracefully&) {
        return TRefusal::ClosedEarly;
    }
    ADD_FAILURE() << "accepted";
    return TRefusal::ClosedEarly;
}

TEST(RequestRefusal, EachMalformedOrOversizeRequestFailsWithItsReason) {
    for (const TRefusalCase& refusal : RefusalCases) {
        SCOPED_TRACE(refusal.Name);
        EXPECT_EQ(RefusalOf(refusal.Bytes()), refusal.Expected);
    }
}

TEST(RequestRefusal, RequestsJustWithinTheLimitsAreRead) {
    const QByteArray longTarget = "/" + QByteArray(8192 - 14, 'a');
    const QByteArray longLine = "GET " + longTarget + " HTTP/1.1";
    ASSERT_EQ(longLine.size(), 8192);
    EXPECT_EQ(Parse(longLine + "\r\n\r\n").Document, QString::fromLatin1(longTarget));
    EXPECT_EQ(Parse(WithHeaders(100)).RequestHeaders.Lines.size(), 101);
    const QByteArray body(1024 * 1024, 'c');
    EXPECT_EQ(Parse("POST / HTTP/1.1\r\n\r\n" + body).ParamText.size(), body.size());
}

// ---- Parameters and header lists ----------------------------------------------------------------

TEST(DecodeParam, DecodesPlusAndValidEscapesAndDropsTheRest) {
    const std::pair<QString, QString> cases[] = {
        {"a+b", "a b"},
        {"%41%42", "AB"},
        {"%00x", "x"},
        {"%zzx", "x"},
        {"%4", "\x04"},
        {"%", ""},
        {"%C3%A9t%C3%A9", "été"},
        {"100%25", "100%"},
        {"%2B+", "+ "},
    };
    for (const auto& [text, decoded] : cases)
        EXPECT_EQ(DecodeParam(text), decoded) << text.toStdString();
}

TEST(HeaderList, SetReplacesInPlaceRemovesOnEmptyAndFoldsLongLines) {
    TNetHeaderList headers;
    headers.SetValue("Server", "Kamvera");
    headers.SetValue("Content-Type", "text/html");
    headers.SetValue("server", "Other");
    EXPECT_EQ(headers.Lines, QStringList({"server: Other", "Content-Type: text/html"}));
    headers.SetValue("SERVER", {});
    EXPECT_EQ(headers.Lines, QStringList({"Content-Type: text/html"}));

    const QString longValue = QString("word ").repeated(30).trimmed();
    headers.SetValue("X-Long", longValue);
    EXPECT_GT(headers.Lines.size(), 2);
    for (const QString& line : headers.Lines)
        EXPECT_LE(line.size(), 78);
    EXPECT_EQ(headers.Value("x-long"), longValue);

    TNetHeaderList unfolded(false);
    unfolded.SetValue("X-Long", longValue);
    EXPECT_EQ(unfolded.Lines.size(), 1);
}

} // namespace
