#include "NetErrors.h"

#include <cerrno>
#include <climits>
#include <string>

namespace {

std::string Utf8(const QString& text) {
    return text.toUtf8().toStdString();
}

struct TSocketErrorText {
    int Code;
    const char* Text;
};

// The socket error numbers the program reports (its messages and logs use them), with texts.
constexpr TSocketErrorText SocketErrorTexts[] = {
    {10004, "Interrupted system call."},
    {10009, "Bad file number."},
    {10013, "Access denied."},
    {10014, "Bad address."},
    {10022, "Invalid argument."},
    {10024, "Too many open files."},
    {10035, "Operation would block. "},
    {10036, "Operation now in progress."},
    {10037, "Operation already in progress."},
    {10038, "Socket operation on non-socket."},
    {10039, "Destination address required."},
    {10040, "Message too long."},
    {10041, "Protocol wrong type for socket."},
    {10042, "Bad protocol option."},
    {10043, "Protocol not supported."},
    {10044, "Socket type not supported."},
    {10045, "Operation not supported on socket."},
    {10046, "Protocol family not supported."},
    {10047, "Address family not supported by protocol family."},
    {10048, "Address already in use."},
    {10049, "Cannot assign requested address."},
    {10050, "Network is down."},
    {10051, "Network is unreachable."},
    {10052, "Net dropped connection or reset."},
    {10053, "Software caused connection abort."},
    {10054, "Connection reset by peer."},
    {10055, "No buffer space available."},
    {10056, "Socket is already connected."},
    {10057, "Socket is not connected."},
    {10058, "Cannot send or receive after socket is closed."},
    {10059, "Too many references, cannot splice."},
    {10060, "Connection timed out."},
    {10061, "Connection refused."},
    {10062, "Too many levels of symbolic links."},
    {10063, "File name too long."},
    {10064, "Host is down."},
    {10065, "No route to host."},
    {10066, "Directory not empty"},
};

struct TErrnoMapping {
    int Errno;
    int Code;
};

// EBADF goes to 10038 rather than 10009: our descriptors are owned, so a bad one can only be a
// socket closed under the call, which the numbering reports as a non-socket.
constexpr TErrnoMapping ErrnoMappings[] = {
    {EINTR, 10004},        {EBADF, 10038},           {EACCES, 10013},
    {EPERM, 10013},        {EFAULT, 10014},          {EINVAL, 10022},
    {EMFILE, 10024},       {ENFILE, 10024},          {EAGAIN, 10035},
    {EINPROGRESS, 10036},  {EALREADY, 10037},        {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039}, {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},   {EPFNOSUPPORT, 10046},    {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049},   {ENETDOWN, 10050},
    {ENETUNREACH, 10051},  {ENETRESET, 10052},       {ECONNABORTED, 10053},
    {ECONNRESET, 10054},   {ENOBUFS, 10055},         {ENOMEM, 10055},
    {EISCONN, 10056},      {ENOTCONN, 10057},        {ESHUTDOWN, 10058},
    {EPIPE, 10058},        {ETOOMANYREFS, 10059},    {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061}, {ELOOP, 10062},           {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},    {EHOSTUNREACH, 10065},    {ENOTEMPTY, 10066},
};

// Leading blanks, an optional sign, then decimal digits only.
bool TryStrToInt(const QString& text, int& value) {
    qsizetype i = 0;
    while (i < text.size() && text[i] == QLatin1Char(' '))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-')))
        negative = text[i++] == QLatin1Char('-');
    if (i == text.size())
        return false;
    long long result = 0;
    for (; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9')
            return false;
        result = result * 10 + (c - u'0');
        if (result > static_cast<long long>(INT_MAX) + 1)
            return false;
    }
    result = negative ? -result : result;
    if (result > INT_MAX)
        return false;
    value = static_cast<int>(result);
    return true;
}

} // namespace

ENetError::ENetError(const QString& message) : std::runtime_error(Utf8(message)) {}

ENetSocketError::ENetSocketError(int errorCode)
    : ENetError(
          QStringLiteral("Socket Error # %1\r\n%2").arg(errorCode).arg(SocketErrorText(errorCode))),
      Code(errorCode) {}

ENetProtocolReplyError::ENetProtocolReplyError(int replyCode, const QString& lastLine)
    : ENetError(lastLine), Code(replyCode) {}

int SocketErrorNumber(int errnoValue) {
    if (errnoValue == EWOULDBLOCK)
        return 10035;
    for (const auto& mapping : ErrnoMappings)
        if (mapping.Errno == errnoValue)
            return mapping.Code;
    // Kept as it is: below 10000 it cannot be mistaken for a number of the table.
    return errnoValue;
}

QString SocketErrorText(int errorCode) {
    for (const auto& entry : SocketErrorTexts)
        if (entry.Code == errorCode)
            return QString::fromLatin1(entry.Text);
    return {};
}

int StrToInt(const QString& text) {
    int value = 0;
    if (!TryStrToInt(text, value))
        throw EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(text));
    return value;
}
