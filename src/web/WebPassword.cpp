#include "WebPassword.h"

#include <QCryptographicHash>

namespace {

QByteArray DigestOf(const QString& password) {
    return QCryptographicHash::hash(password.toUtf8(), QCryptographicHash::Sha256);
}

// Every byte of the two SHA-256 digests is looked at whatever the guess, so the time taken
// tells nothing about how close it came.
bool SameDigest(const QByteArray& offered, const QByteArray& expected) {
    unsigned char difference = 0;
    for (qsizetype i = 0; i < expected.size(); ++i)
        difference |= static_cast<unsigned char>(offered[i] ^ expected[i]);
    return difference == 0;
}

} // namespace

void TWebPassword::Set(const QString& password) {
    const QByteArray digest = password.isEmpty() ? QByteArray() : DigestOf(password);
    const std::lock_guard lock(Lock);
    Digest = digest;
}

bool TWebPassword::Admits(const TNetHTTPRequestInfo& request) const {
    QByteArray expected;
    {
        const std::lock_guard lock(Lock);
        expected = Digest;
    }
    if (expected.isEmpty())
        return true;
    return request.HasAuthorization && SameDigest(DigestOf(request.AuthPassword), expected);
}

std::optional<QString> TWebRefusals::Refused(const QString& peer, TClock::time_point now) {
    const std::lock_guard lock(Lock);
    if (LastLine && now - *LastLine < Every) {
        ++Unlogged;
        return std::nullopt;
    }
    QString line = QStringLiteral("Web server: wrong password from %1").arg(peer);
    if (Unlogged > 0)
        line += QStringLiteral(" (and %1 more refused since the last line)").arg(Unlogged);
    LastLine = now;
    Unlogged = 0;
    return line;
}
