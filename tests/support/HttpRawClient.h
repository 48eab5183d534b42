#pragma once

#include "NetConnection.h"

#include <QByteArray>

#include <chrono>
#include <random>

// A plain TCP client for talking raw HTTP to a server on 127.0.0.1. Every wait is bounded, so a
// server that keeps quiet cannot hang a test.
class THttpRawClient {
  public:
    // Connects (the connection may still sit in the server's backlog).
    explicit THttpRawClient(int port);

    // Sends the bytes; false when the server closed or reset the connection meanwhile.
    bool Send(const QByteArray& bytes);
    // Sends in pieces of 1 to `maxPieceBytes` bytes with a short pause after each, so the
    // server sees the request split at random places.
    bool SendInPieces(const QByteArray& bytes, std::mt19937& random, int maxPieceBytes = 16);
    // Ends our sending side (the server then sees the end of the request body).
    void ShutdownWrite();
    // True when the server sent something or closed within the time.
    bool WaitReadable(std::chrono::milliseconds limit);
    // Everything the server sends until it closes; Closed() tells whether it did in time.
    QByteArray ReadUntilClosed(std::chrono::milliseconds limit = std::chrono::seconds(3));
    bool Closed() const { return PeerClosed; }
    void Close() { Socket.Reset(); }

  private:
    TUniqueFd Socket;
    bool PeerClosed = false;
};

// Connects, sends the request, closes nothing and reads the whole answer.
QByteArray Exchange(int port, const QByteArray& request);
