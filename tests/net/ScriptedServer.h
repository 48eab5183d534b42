#pragma once

#include "NetConnection.h"

#include <QByteArray>
#include <QStringList>

#include <atomic>
#include <thread>
#include <vector>

// A stand-in FTP server on 127.0.0.1 (ports picked by the system) that follows a script, for
// replies a real server will not give on demand. It takes one control connection, runs the
// script on a thread of its own, then records every further command line until the client
// closes. A passive data listener is open from the start; PasvReply() points at it.
// Every wait of the server is bounded, so a broken client cannot hang a test.
class TScriptedServer {
  public:
    struct TStep {
        enum class TKind {
            Pause,                 // wait Count ms
            Say,                   // send Bytes as they are
            SayInPieces,           // send Bytes Count bytes at a time, pausing between pieces
            Reply,                 // read one command line, then send Bytes + CR LF
            ReceiveData,           // accept the passive data connection, read it to its end
            ReceiveDataThenDrop,   // accept it, read Count bytes, then reset it
            HoldData,              // accept it and read nothing until the client speaks or closes
            ConnectToPort,         // connect to the address of the last PORT command, read to end
            StrangerDialsPort,     // the same from 127.0.0.2, as another host would; kept apart
            StrangersKeepDialling, // the same again and again until the port is closed
            Close,                 // close the control connection
        };
        TKind Kind;
        QByteArray Bytes;
        int Count = 0;
    };
    static TStep Pause(int ms) { return {TStep::TKind::Pause, {}, ms}; }
    static TStep Say(const QByteArray& bytes) { return {TStep::TKind::Say, bytes}; }
    static TStep SayInPieces(const QByteArray& bytes, int pieceBytes) {
        return {TStep::TKind::SayInPieces, bytes, pieceBytes};
    }
    static TStep Reply(const QByteArray& text) { return {TStep::TKind::Reply, text}; }
    static TStep ReceiveData() { return {TStep::TKind::ReceiveData, {}}; }
    static TStep ReceiveDataThenDrop(int bytes) {
        return {TStep::TKind::ReceiveDataThenDrop, {}, bytes};
    }
    static TStep HoldData() { return {TStep::TKind::HoldData, {}}; }
    static TStep ConnectToPort() { return {TStep::TKind::ConnectToPort, {}}; }
    static TStep StrangerDialsPort() { return {TStep::TKind::StrangerDialsPort, {}}; }
    static TStep StrangersKeepDialling() { return {TStep::TKind::StrangersKeepDialling, {}}; }
    static TStep Close() { return {TStep::TKind::Close, {}}; }

    TScriptedServer();
    ~TScriptedServer();
    TScriptedServer(const TScriptedServer&) = delete;
    TScriptedServer& operator=(const TScriptedServer&) = delete;

    int Port() const { return ControlPort; }
    // "227 Entering Passive Mode (127,0,0,1,p1,p2)" for the data listener; `hostFields` names
    // another address in its place.
    QByteArray PasvReply(const QString& hostFields = QStringLiteral("127,0,0,1")) const;

    void Run(std::vector<TStep> script);
    // Waits until the server has ended (the client closed, or nothing came for a few seconds).
    void Finish();

    // After Finish: the command lines received, without their CR LF, and the data bytes.
    QStringList Commands();
    QByteArray Data();
    // What the stranger of StrangerDialsPort received.
    QByteArray StrangerData();

  private:
    TUniqueFd ControlListener;
    TUniqueFd DataListener;
    int ControlPort = 0;
    int DataPort = 0;
    std::atomic<bool> Stop{false};
    std::thread Thread;
    QStringList ReceivedCommands;
    QByteArray ReceivedData;
    QByteArray ReceivedByStranger;

    void Serve(const std::vector<TStep>& script);
    bool RunStep(const TStep& step, TUniqueFd& control, QByteArray& pending);
    QString LastPortArgument() const;
};
