#pragma once

// The web server's password: when one is set, every request must carry it as HTTP Basic
// credentials, under any user name. It keeps strangers on the same network out; it travels in
// the clear, so it is no protection against someone who can read the traffic.

#include "NetHTTPRequest.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <mutex>
#include <optional>

class TWebPassword {
  public:
    static constexpr const char* Realm = "Kamvero";

    // GUI thread, whenever the field changes; empty lets every request in.
    void Set(const QString& password);
    // Any thread.
    bool Admits(const TNetHTTPRequestInfo& request) const;

  private:
    mutable std::mutex Lock;
    QByteArray Digest; // of the password's UTF-8; empty when there is none
};

// Refused passwords go to the error log at most once a minute, with how many were refused in
// between, so that a guesser cannot fill the disk.
class TWebRefusals {
  public:
    using TClock = std::chrono::steady_clock;
    static constexpr std::chrono::minutes Every{1};

    // The line to log for this refusal, if one is due.
    std::optional<QString> Refused(const QString& peer, TClock::time_point now = TClock::now());

  private:
    std::mutex Lock;
    std::optional<TClock::time_point> LastLine;
    int Unlogged = 0;
};
