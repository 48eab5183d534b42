#pragma once

#include <QString>

#include <stdexcept>

// Every failure of the socket layer and the protocols on it. what() is the message as UTF-8.
class ENetError : public std::runtime_error {
  public:
    explicit ENetError(const QString& message);
    QString Message() const { return QString::fromUtf8(what()); }
};

// A socket call failed. The number is the socket error number of the table below, mapped from
// errno; the message is "Socket Error # <n>" CR LF <text>.
class ENetSocketError : public ENetError {
  public:
    explicit ENetSocketError(int errorCode);
    int ErrorCode() const { return Code; }

  private:
    int Code;
};

// A reply code outside the accepted list; the message is the reply's last line, trimmed.
class ENetProtocolReplyError : public ENetError {
  public:
    ENetProtocolReplyError(int replyCode, const QString& lastLine);
    int ReplyCode() const { return Code; }

  private:
    int Code;
};

// Failures with a fixed message.
class ENetConnClosedGracefully : public ENetError {
  public:
    ENetConnClosedGracefully() : ENetError(QStringLiteral("Connection Closed Gracefully.")) {}
};
class ENetAlreadyConnected : public ENetError {
  public:
    ENetAlreadyConnected() : ENetError(QStringLiteral("Already connected.")) {}
};
class ENetInvalidSocket : public ENetError {
  public:
    ENetInvalidSocket() : ENetError(QStringLiteral("Cannot allocate socket.")) {}
};
class ENetCouldNotBindSocket : public ENetError {
  public:
    ENetCouldNotBindSocket()
        : ENetError(QStringLiteral("Could not bind socket. Address and port are already in use.")) {
    }
};
class ENetNoDataToRead : public ENetError {
  public:
    ENetNoDataToRead() : ENetError(QStringLiteral("No data to read.")) {}
};
class ENetAntiFreezeOnlyOne : public ENetError {
  public:
    ENetAntiFreezeOnlyOne()
        : ENetError(QStringLiteral("Only one TNetAntiFreeze can exist per application.")) {}
};

// An argument that would end a command line early (CR or LF in a name, directory or password)
// and so smuggle in commands of its own; refused before anything is sent.
class ENetUnsafeArgument : public ENetError {
  public:
    using ENetError::ENetError;
};

// A local file that cannot be opened: "Cannot open file <path>".
class EFileOpenError : public ENetError {
  public:
    using ENetError::ENetError;
};

// A text that is not a whole number: "'<text>' is not a valid integer value".
class EConvertError : public ENetError {
  public:
    using ENetError::ENetError;
};

// The socket error number for an errno value (ECONNREFUSED -> 10061, ETIMEDOUT -> 10060, ...),
// and the text of a socket error number ("" for numbers outside the table).
int SocketErrorNumber(int errnoValue);
QString SocketErrorText(int errorCode);

// Converts a whole decimal number or throws EConvertError with the text.
int StrToInt(const QString& text);
