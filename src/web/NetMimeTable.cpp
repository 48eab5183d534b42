#include "NetMimeTable.h"

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QList>

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

// Keys are dotted extensions, case-folded; values are media types as the files spell them.
struct TNetMimeTable::TTables {
    QHash<QString, QString> Extensions;   // from the mime.types files
    QHash<QString, QString> ContentTypes; // from the shared-mime-info globs
};

namespace {

using TTypeTable = QHash<QString, QString>;

QString DefaultMimeType() {
    return QStringLiteral("application/octet-stream");
}

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The text from the last "." after the last "/" to the end, dot included; empty when none.
QStringView ExtensionOf(QStringView fileName) {
    const qsizetype dot = fileName.lastIndexOf(u'.');
    if (dot < 0 || fileName.lastIndexOf(u'/') > dot)
        return {};
    return fileName.mid(dot);
}

QString TableKey(QStringView dottedExtension) {
    return dottedExtension.toString().toCaseFolded();
}

// Calls addLine for every line of the file; a file that cannot be opened has no lines.
template <typename AddLine> void ForEachLine(const std::filesystem::path& path, AddLine addLine) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    while (!file.atEnd())
        addLine(file.readLine());
}

// "type/subtype" of token characters: a type goes into a header as it stands, so one that is
// empty or holds anything else (a stray CR, a space, a control byte) is no type at all.
bool IsMediaType(const QByteArray& type) {
    const auto isTokenChar = [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
               std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
    };
    const qsizetype slash = type.indexOf('/');
    if (slash <= 0 || slash == type.size() - 1 || type.indexOf('/', slash + 1) >= 0)
        return false;
    return std::all_of(type.begin(), type.end(),
                       [&](char c) { return c == '/' || (c != 0 && isTokenChar(c)); });
}

// "type ext ext ...": each extension gets the type, replacing an earlier entry.
void AddMimeTypesLine(TTypeTable& table, QByteArray line) {
    if (const qsizetype comment = line.indexOf('#'); comment >= 0)
        line.truncate(comment);
    const QList<QByteArray> fields = line.simplified().split(' ');
    if (fields.size() < 2 || !IsMediaType(fields.front()))
        return;
    const QString type = QString::fromUtf8(fields.front());
    for (qsizetype i = 1; i < fields.size(); ++i)
        table.insert(TableKey(QString(u'.') + QString::fromUtf8(fields[i])), type);
}

// "*.ext" with a plain extension: the only globs that a lookup by extension can ever match.
bool IsExtensionGlob(const QString& glob) {
    if (glob.size() < 3 || !glob.startsWith(u"*."))
        return false;
    for (const QChar c : QStringView(glob).mid(2))
        if (c == u'*' || c == u'?' || c == u'[' || c == u']' || c == u'.' || c == u'/' ||
            c == u'\\' || c.isSpace())
            return false;
    return true;
}

struct TGlobEntry {
    std::int64_t Rank = 0;
    QString Type;
};

// "weight:type:glob[:flags]". The highest weight wins, the first one listed among equals.
// At equal weight a lower-case pattern beats one with capitals: the database maps "*.C" to C++
// source and "*.c" to C source, and once case is ignored ".c" must still be C.
void AddGlobLine(QHash<QString, TGlobEntry>& found, const QByteArray& rawLine) {
    const QByteArray line = rawLine.trimmed();
    if (line.isEmpty() || line.startsWith('#'))
        return;
    const QList<QByteArray> fields = line.split(':');
    if (fields.size() < 3)
        return;
    bool isNumber = false;
    const int weight = fields[0].toInt(&isNumber);
    const QString glob = QString::fromUtf8(fields[2]);
    if (!isNumber || !IsExtensionGlob(glob) || !IsMediaType(fields[1]))
        return;
    // Wide enough for any weight a file may state.
    const std::int64_t rank = std::int64_t{weight} * 2 + (glob == glob.toLower() ? 1 : 0);
    const QString key = TableKey(QStringView(glob).mid(1));
    const auto existing = found.constFind(key);
    if (existing == found.cend() || rank > existing->Rank)
        found.insert(key, {rank, QString::fromUtf8(fields[1])});
}

TTypeTable ReadExtensionFiles(const std::vector<std::filesystem::path>& files) {
    TTypeTable table;
    for (const auto& file : files)
        ForEachLine(file, [&](QByteArray line) { AddMimeTypesLine(table, std::move(line)); });
    return table;
}

TTypeTable ReadGlobFiles(const std::vector<std::filesystem::path>& files) {
    QHash<QString, TGlobEntry> found;
    for (const auto& file : files)
        ForEachLine(file, [&](const QByteArray& line) { AddGlobLine(found, line); });
    TTypeTable table;
    table.reserve(found.size());
    for (auto it = found.cbegin(); it != found.cend(); ++it)
        table.insert(it.key(), it->Type);
    return table;
}

std::int64_t Nanoseconds(const timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

} // namespace

std::vector<std::filesystem::path> MimeGlobFilesUnder(std::string_view xdgDataDirs) {
    if (xdgDataDirs.empty())
        xdgDataDirs = "/usr/local/share:/usr/share";
    std::vector<std::filesystem::path> files;
    while (!xdgDataDirs.empty()) {
        const std::size_t colon = xdgDataDirs.find(':');
        const std::string_view entry = xdgDataDirs.substr(0, colon);
        if (entry.starts_with('/'))
            files.push_back(std::filesystem::path(entry) / "mime" / "globs2");
        if (colon == std::string_view::npos)
            break;
        xdgDataDirs.remove_prefix(colon + 1);
    }
    return files;
}

TMimeSources::TMimeSources() : ExtensionFiles{"/etc/mime.types"} {
    if (const char* home = std::getenv("HOME"); home && *home)
        ExtensionFiles.push_back(std::filesystem::path(home) / ".mime.types");
    const char* dataDirs = std::getenv("XDG_DATA_DIRS");
    GlobFiles = MimeGlobFilesUnder(dataDirs ? dataDirs : "");
}

TNetMimeTable::TNetMimeTable(TMimeSources sources, TMimeTableFill fill)
    : Sources(std::move(sources)), Tables(std::make_shared<const TTables>()) {
    if (fill == TMimeTableFill::Build)
        Build();
}

TNetMimeTable::~TNetMimeTable() = default;

void TNetMimeTable::Build() {
    const std::lock_guard lock(BuildMutex);
    BuildLocked(StampSources());
    PostponeRecheck();
}

QString TNetMimeTable::MimeTypeForFile(QStringView fileName) const {
    const QString key = TableKey(ExtensionOf(fileName));
    {
        const std::shared_ptr<const TTables> tables = CurrentTables();
        if (const auto hit = tables->Extensions.constFind(key); hit != tables->Extensions.cend())
            return *hit;
    }
    RebuildAfterMiss();
    const std::shared_ptr<const TTables> tables = CurrentTables();
    const auto known = tables->ContentTypes.constFind(key);
    return known != tables->ContentTypes.cend() ? *known : DefaultMimeType();
}

void TNetMimeTable::RebuildAfterMiss() const {
    if (!RecheckDue())
        return;
    const std::lock_guard lock(BuildMutex);
    // Threads that missed together wait here once and then use what the first one built.
    if (!RecheckDue())
        return;
    std::vector<TFileStamp> stamps = StampSources();
    if (stamps != BuiltFrom)
        BuildLocked(std::move(stamps));
    PostponeRecheck();
}

std::shared_ptr<const TNetMimeTable::TTables> TNetMimeTable::CurrentTables() const {
    const std::lock_guard lock(TablesMutex);
    return Tables;
}

bool TNetMimeTable::RecheckDue() const {
    return NowNs() >= NextRecheckNs.load(std::memory_order_acquire);
}

void TNetMimeTable::PostponeRecheck() const {
    const auto interval =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Sources.RecheckInterval);
    NextRecheckNs.store(NowNs() + interval.count(), std::memory_order_release);
}

// The stamps are taken before the files are read, so a change during the read shows at the
// next recheck and is read then.
void TNetMimeTable::BuildLocked(std::vector<TFileStamp> stamps) const {
    auto fresh = std::make_shared<TTables>();
    fresh->Extensions = ReadExtensionFiles(Sources.ExtensionFiles);
    fresh->ContentTypes = ReadGlobFiles(Sources.GlobFiles);
    std::shared_ptr<const TTables> old; // freed after the lock, unless a lookup still holds it
    {
        const std::lock_guard lock(TablesMutex);
        old = std::exchange(Tables, std::move(fresh));
    }
    BuiltFrom = std::move(stamps);
    Builds.fetch_add(1, std::memory_order_relaxed);
}

std::vector<TNetMimeTable::TFileStamp> TNetMimeTable::StampSources() const {
    std::vector<TFileStamp> stamps;
    const auto stampOf = [](const std::filesystem::path& path) {
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0)
            return TFileStamp{};
        return TFileStamp{true,
                          static_cast<std::uint64_t>(info.st_dev),
                          static_cast<std::uint64_t>(info.st_ino),
                          static_cast<std::int64_t>(info.st_size),
                          Nanoseconds(info.st_mtim),
                          Nanoseconds(info.st_ctim)};
    };
    for (const auto& path : Sources.ExtensionFiles)
        stamps.push_back(stampOf(path));
    for (const auto& path : Sources.GlobFiles)
        stamps.push_back(stampOf(path));
    return stamps;
}
