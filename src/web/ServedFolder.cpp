#include "ServedFolder.h"

#include <QFile>

#include <array>
#include <cerrno>
#include <climits>
#include <deque>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// As the kernel allows (MAXSYMLINKS): a loop ends as a missing file.
constexpr int MaxLinksFollowed = 40;
// What a served file is opened with. O_NONBLOCK: a named pipe must not hold the thread.
constexpr int ReadFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

using TOutcome = TServedFolder::TOutcome;
using TOpened = TServedFolder::TOpened;

TOpened Failed(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ELOOP:
        return {TOutcome::Missing, {}, error};
    case EXDEV:
        return {TOutcome::Outside, {}, error};
    default:
        return {TOutcome::Refused, {}, error};
    }
}

TOpened Opened(int fd) {
    return fd >= 0 ? TOpened{TOutcome::Opened, TUniqueFd(fd), 0} : Failed(errno);
}

// glibc 2.36 has no wrapper for it.
int OpenAt2(int folder, const char* path, int flags, std::uint64_t resolve) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags);
    how.resolve = resolve;
    return static_cast<int>(::syscall(SYS_openat2, folder, path, &how, sizeof how));
}

void PrependComponents(std::deque<QByteArray>& pending, const QByteArray& path) {
    const QList<QByteArray> components = path.split('/');
    pending.insert(pending.begin(), components.begin(), components.end());
}

std::optional<QByteArray> LinkTarget(int link) {
    std::array<char, PATH_MAX> target{};
    const ssize_t size = ::readlinkat(link, "", target.data(), target.size());
    if (size < 0 || size >= static_cast<ssize_t>(target.size()))
        return std::nullopt;
    return QByteArray(target.data(), size);
}

// The part of an absolute path below the folder, none when it lies elsewhere.
std::optional<QByteArray> BelowFolder(const QByteArray& path, const QByteArray& folder) {
    if (folder == "/")
        return path.mid(1);
    if (path == folder)
        return QByteArray();
    if (!folder.isEmpty() && path.startsWith(folder + '/'))
        return path.mid(folder.size() + 1);
    return std::nullopt;
}

} // namespace

TServedFolder::TServedFolder(const QString& path)
    : Folder(::open(QFile::encodeName(path).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC)) {}

TOpened TServedFolder::Open(const QString& relative) const {
    if (!Folder.Valid())
        return {TOutcome::Missing, {}, ENOENT};
    const QByteArray path = relative.isEmpty() ? QByteArray(".") : QFile::encodeName(relative);
    const int fd =
        OpenAt2(Folder.Get(), path.constData(), ReadFlags, RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS);
    if (fd >= 0)
        return {TOutcome::Opened, TUniqueFd(fd), 0};
    // ENOSYS, or EPERM from an older container's system call filter: no openat2. EXDEV: an
    // absolute link, which may still point inside. EAGAIN: a rename raced the lookup.
    if (errno == ENOSYS || errno == EPERM || errno == EXDEV || errno == EAGAIN)
        return Walk(relative);
    return Failed(errno);
}

TOpened TServedFolder::Walk(const QString& relative) const {
    if (!Folder.Valid())
        return {TOutcome::Missing, {}, ENOENT};
    std::deque<QByteArray> pending;
    PrependComponents(pending, QFile::encodeName(relative));
    // The folders entered below the served one, so ".." goes back the way it came and never
    // above the start.
    std::vector<TUniqueFd> entered;
    const auto current = [&] { return entered.empty() ? Folder.Get() : entered.back().Get(); };
    int linksFollowed = 0;
    while (!pending.empty()) {
        const QByteArray name = std::move(pending.front());
        pending.pop_front();
        if (name.isEmpty() || name == ".")
            continue;
        if (name == "..") {
            if (entered.empty())
                return Failed(EXDEV);
            entered.pop_back();
            continue;
        }
        TUniqueFd entry(::openat(current(), name.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat status {};
        if (!entry.Valid() || ::fstat(entry.Get(), &status) != 0)
            return Failed(errno);
        if (S_ISDIR(status.st_mode)) {
            entered.push_back(std::move(entry));
        } else if (S_ISLNK(status.st_mode)) {
            const std::optional<QByteArray> target = LinkTarget(entry.Get());
            if (++linksFollowed > MaxLinksFollowed || !target)
                return Failed(ELOOP);
            if (target->startsWith('/')) {
                const std::optional<QByteArray> below = BelowFolder(*target, RealPath());
                if (!below)
                    return Failed(EXDEV);
                entered.clear();
                PrependComponents(pending, *below);
            } else {
                PrependComponents(pending, *target);
            }
        } else if (!pending.empty()) {
            return Failed(ENOTDIR);
        } else {
            // By name again, not following: whatever took its place meanwhile is still an entry
            // of a folder inside.
            return Opened(::openat(current(), name.constData(), ReadFlags | O_NOFOLLOW));
        }
    }
    return Opened(::openat(current(), ".", ReadFlags | O_DIRECTORY));
}

QByteArray TServedFolder::RealPath() const {
    std::array<char, PATH_MAX> path{};
    const QByteArray link = "/proc/self/fd/" + QByteArray::number(Folder.Get());
    const ssize_t size = ::readlink(link.constData(), path.data(), path.size());
    if (size <= 0 || size >= static_cast<ssize_t>(path.size()))
        return {}; // no absolute link then counts as inside
    return QByteArray(path.data(), size);
}
