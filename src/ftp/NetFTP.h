#pragma once

#include "NetConnection.h"

#include <QString>

#include <memory>
#include <vector>

enum class TFtpTransferType { ftBinary, ftASCII };

// The data address of a PASV reply: the first four fields joined with "." as the host (taken as
// text), the fifth times 256 plus the sixth as the port. The fields come from between the
// first "(" and the first ")" when the line holds both, else from after its last space. Throws
// EConvertError for a port field that is not a whole number. The client dials only the port, on
// the control connection's peer.
struct TPasvAddress {
    QString Host;
    int Port = 0;
};
TPasvAddress ParsePasvReply(const QString& lastLine);

// A blocking FTP client (RFC 959 subset): connect and log in, change directory, delete, rename,
// store, disconnect. One control connection; one data connection per stored file, passive
// (PASV) or active (PORT), made with the control connection's peer and no other host. Every
// failure is an exception of the net layer (NetErrors.h) or EFileOpenError / EConvertError
// below. Waits are bounded by Timeout and, on the GUI thread, keep the GUI serviced through the
// application's TNetAntiFreeze.
class TNetFTP : public TNetTCPClient {
  public:
    static constexpr int DefaultPort = 21;

    TNetFTP(); // DefaultPort

    QString User;
    QString Password;
    bool Passive = false;
    TFtpTransferType TransferType = TFtpTransferType::ftBinary;

    // Connects, reads the greeting and, with autoLogin, logs in and sends TYPE and SYST. Any
    // failure closes the control connection before it is passed on.
    void ConnectServer(bool autoLogin);
    void DisconnectServer(); // closes the control connection; sends no QUIT

    void ChangeDirectory(const QString& directory);
    void DeleteRemoteFile(const QString& fileName);
    void RenameRemoteFile(const QString& oldName, const QString& newName);
    void UploadFile(const QString& localPath, const QString& remoteName, bool append);

    // Sends line + CR LF (nothing when the line is empty) and reads the reply; answers its code.
    int SendCommand(const QString& line, const std::vector<int>& accepted);

    QString SystemDescription() const { return SystDescription; }

  private:
    QString SystDescription;

    void LogIn();
    void SendLine(const QString& line);
    void PassiveTransfer(const QString& storeCommand, int fileFd);
    void ActiveTransfer(const QString& storeCommand, int fileFd);
    void GiveWorkHandlersTo(TNetTCPConnection& data) const;
};
