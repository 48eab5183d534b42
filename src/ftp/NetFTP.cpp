#include "NetFTP.h"

#include "NetErrors.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool HoldsLineBreak(const QString& text) {
    return text.contains(QLatin1Char('\r')) || text.contains(QLatin1Char('\n'));
}

// Line breaks spelled out, so the message naming the text stays one line in the error log.
QString Visible(QString text) {
    return text.replace(QLatin1Char('\r'), QLatin1String("\\r"))
        .replace(QLatin1Char('\n'), QLatin1String("\\n"));
}

// A CR or LF would end the command line early and send the rest as a command of its own, so
// such an argument is refused before anything goes out.
void RefuseLineBreaks(const QString& argument, const char* what) {
    if (HoldsLineBreak(argument))
        throw ENetUnsafeArgument(
            QStringLiteral("The FTP %1 \"%2\" holds a line break and is refused.")
                .arg(QLatin1String(what), Visible(argument)));
}

// The password is never repeated in a message: messages end up in the error log.
void RefuseLineBreaksInPassword(const QString& password) {
    if (HoldsLineBreak(password))
        throw ENetUnsafeArgument(
            QStringLiteral("The FTP password holds a line break and is refused."));
}

QString StoreCommand(const QString& remoteName, bool append) {
    if (remoteName.isEmpty())
        return QStringLiteral("STOU ");
    return (append ? QStringLiteral("APPE ") : QStringLiteral("STOR ")) + remoteName;
}

// Read-only, without locking others out. Only a regular file will do: a directory would fail
// later with a less helpful message, and a FIFO could hold the GUI thread indefinitely.
TUniqueFd OpenForReading(const QString& path) {
    TUniqueFd file(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (!file.Valid() || ::fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode))
        throw EFileOpenError(QStringLiteral("Cannot open file %1").arg(path));
    ::fcntl(file.Get(), F_SETFL, ::fcntl(file.Get(), F_GETFL) & ~O_NONBLOCK);
    return file;
}

// "192.168.0.5" and 1234 give "192,168,0,5,4,210".
QString PortArgument(QString ip, int port) {
    return ip.replace(QLatin1Char('.'), QLatin1Char(',')) +
           QStringLiteral(",%1,%2").arg(port / 256).arg(port % 256);
}

// One byte of a port: a larger number would make no port, or overflow making one.
int PortField(const QString& text) {
    const int value = StrToInt(text);
    if (value < 0 || value > 255)
        throw EConvertError(QStringLiteral("'%1' is out of range for a port").arg(text.trimmed()));
    return value;
}

} // namespace

TPasvAddress ParsePasvReply(const QString& lastLine) {
    const QString line = lastLine.trimmed();
    const qsizetype open = line.indexOf(QLatin1Char('('));
    const qsizetype close = line.indexOf(QLatin1Char(')'));
    QString numbers;
    if (open >= 0 && close >= 0)
        numbers = close > open ? line.mid(open + 1, close - open - 1) : QString();
    else
        numbers = line.mid(line.lastIndexOf(QLatin1Char(' ')) + 1);
    QStringList fields = numbers.split(QLatin1Char(','));
    while (fields.size() < 6)
        fields << QString();
    const int high = PortField(fields[4]);
    const int low = PortField(fields[5]);
    return {fields.mid(0, 4).join(QLatin1Char('.')), high * 256 + low};
}

TNetFTP::TNetFTP() {
    Port = DefaultPort;
}

void TNetFTP::ConnectServer(bool autoLogin) {
    try {
        if (Allocated())
            throw ENetAlreadyConnected();
        if (autoLogin) {
            RefuseLineBreaks(User, "user name");
            RefuseLineBreaksInPassword(Password);
        }
        Connect();
        ReadReply({220});
        if (autoLogin)
            LogIn();
    } catch (...) {
        DisconnectServer();
        throw;
    }
}

void TNetFTP::LogIn() {
    if (SendCommand(QStringLiteral("user ") + User, {230, 331}) == 331)
        SendCommand(QStringLiteral("pass ") + Password, {230});
    SendCommand(TransferType == TFtpTransferType::ftBinary ? QStringLiteral("type I")
                                                           : QStringLiteral("type A"),
                {200});
    SystDescription = SendCommand(QStringLiteral("syst"), {200, 215, 500}) == 500
                          ? QStringLiteral("Unknown")
                          : ReplyLines().last().mid(3).trimmed();
}

void TNetFTP::DisconnectServer() {
    Disconnect();
}

void TNetFTP::ChangeDirectory(const QString& directory) {
    RefuseLineBreaks(directory, "directory");
    SendCommand(QStringLiteral("CWD ") + directory, {250});
}

void TNetFTP::DeleteRemoteFile(const QString& fileName) {
    RefuseLineBreaks(fileName, "file name");
    SendCommand(QStringLiteral("DELE ") + fileName, {250});
}

void TNetFTP::RenameRemoteFile(const QString& oldName, const QString& newName) {
    RefuseLineBreaks(oldName, "file name");
    RefuseLineBreaks(newName, "file name");
    SendCommand(QStringLiteral("RNFR ") + oldName, {350});
    SendCommand(QStringLiteral("RNTO ") + newName, {250});
}

void TNetFTP::UploadFile(const QString& localPath, const QString& remoteName, bool append) {
    RefuseLineBreaks(remoteName, "file name");
    const TUniqueFd file = OpenForReading(localPath);
    const QString storeCommand = StoreCommand(remoteName, append);
    try {
        if (Passive)
            PassiveTransfer(storeCommand, file.Get());
        else
            ActiveTransfer(storeCommand, file.Get());
    } catch (...) {
        // An Abort seen by the data connection's wait closes the control connection too.
        ThrowIfAborted();
        throw;
    }
    if (ReadReply({225, 226, 250, 426}) == 426)
        ReadReply({226});
}

void TNetFTP::GiveWorkHandlersTo(TNetTCPConnection& data) const {
    data.OnWorkBegin = OnWorkBegin;
    data.OnWork = OnWork;
    data.OnWorkEnd = OnWorkEnd;
    data.Timeout = Timeout;
    data.SendBufferSize = SendBufferSize;
    data.RecvBufferSize = RecvBufferSize;
    data.FollowAbortOf(*this);
}

// The data connection is closed when `data` goes, also when a step fails.
void TNetFTP::PassiveTransfer(const QString& storeCommand, int fileFd) {
    SendCommand(QStringLiteral("PASV"), {227});
    const TPasvAddress address = ParsePasvReply(ReplyLines().last());
    // The server answers the store command only once the data connection is there.
    SendLine(storeCommand);
    TNetTCPClient data;
    GiveWorkHandlersTo(data);
    // Only the port is taken from the reply: an address named there could send the file to any
    // host the server (or anyone on the clear-text path) chooses.
    data.Host = PeerIP();
    data.Port = address.Port;
    data.Connect();
    ReadReply({110, 125, 150});
    try {
        data.SendFile(fileFd);
    } catch (const ENetSocketError& error) {
        if (error.ErrorCode() != 10038)
            throw;
    }
    data.Disconnect();
}

void TNetFTP::ActiveTransfer(const QString& storeCommand, int fileFd) {
    TNetSimpleServer data;
    GiveWorkHandlersTo(data);
    data.BoundIP = LocalIP();
    data.BoundPort = 0;
    // Whoever reaches the port first must not get the file: only the server may.
    data.AcceptFrom = PeerIP();
    data.BeginListen();
    SendCommand(QStringLiteral("PORT ") + PortArgument(data.ListenIP(), data.ListenPort()), {200});
    SendCommand(storeCommand, {125, 150});
    data.Listen();
    ::lseek(fileFd, 0, SEEK_SET);
    data.SendFile(fileFd);
    data.Disconnect();
}

int TNetFTP::SendCommand(const QString& line, const std::vector<int>& accepted) {
    if (!line.isEmpty())
        SendLine(line);
    return ReadReply(accepted);
}

void TNetFTP::SendLine(const QString& line) {
    if (HoldsLineBreak(line))
        throw ENetUnsafeArgument(
            QStringLiteral("The FTP command \"%1\" holds a line break and is refused.")
                .arg(Visible(line)));
    SendBytes(line.toUtf8() + "\r\n");
}
