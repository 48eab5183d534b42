#pragma once

#include <QString>
#include <QStringView>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

// The globs2 files of the shared MIME database under each folder of an XDG_DATA_DIRS value,
// most important first. An empty value means "/usr/local/share:/usr/share"; empty and relative
// entries are ignored, as the XDG base directory rules say.
std::vector<std::filesystem::path> MimeGlobFilesUnder(std::string_view xdgDataDirs);

// Where the table reads the system's registrations. A default-constructed value names the
// system's files: /etc/mime.types, then ~/.mime.types, and the globs2 files under
// $XDG_DATA_DIRS. Tests name their own.
struct TMimeSources {
    TMimeSources();

    // mime.types format ("type ext ext ..."); a later entry for an extension wins, also across
    // files.
    std::vector<std::filesystem::path> ExtensionFiles;
    // globs2 format ("weight:type:*.ext[:flags]"), most important first; the highest weight wins.
    std::vector<std::filesystem::path> GlobFiles;
    // A missed lookup looks at the files again at most this often, and reads them only when
    // one of them changed. Unknown extensions from clients cannot make us re-read the files on
    // every request.
    std::chrono::milliseconds RecheckInterval{1000};
};

enum class TMimeTableFill { Empty, Build };

// Turns a file name into the media type for its Content-Type header, from the system's
// registrations only: the extension table (mime.types files) first, then, after a rebuild, the
// media-type database (shared-mime-info globs), else "application/octet-stream". Extensions
// keep their dot and match case-insensitively. Safe to use from many threads at once: a
// rebuild builds fresh tables and swaps them in whole.
class TNetMimeTable {
  public:
    explicit TNetMimeTable(TMimeSources sources = {}, TMimeTableFill fill = TMimeTableFill::Build);
    ~TNetMimeTable();
    TNetMimeTable(const TNetMimeTable&) = delete;
    TNetMimeTable& operator=(const TNetMimeTable&) = delete;

    // Reads both tables from the files again, whether they changed or not. Missing or
    // unreadable files contribute nothing.
    void Build();

    // The media type for the file name's extension (from the last "." after the last "/");
    // never empty.
    QString MimeTypeForFile(QStringView fileName) const;

    // How often the files have been read so far, so tests and benchmarks can see the cost.
    std::uint64_t BuildCount() const { return Builds.load(std::memory_order_relaxed); }

  private:
    struct TTables;
    // What a source file looked like when it was read; a missing file has Exists false.
    struct TFileStamp {
        bool Exists = false;
        std::uint64_t Device = 0;
        std::uint64_t Inode = 0;
        std::int64_t Size = 0;
        std::int64_t ModifiedNs = 0;
        std::int64_t ChangedNs = 0;
        bool operator==(const TFileStamp&) const = default;
    };

    // The rebuild that a miss asks for, bounded by RecheckInterval and the files' stamps.
    void RebuildAfterMiss() const;
    bool RecheckDue() const;
    void PostponeRecheck() const;
    void BuildLocked(std::vector<TFileStamp> stamps) const;
    std::vector<TFileStamp> StampSources() const;
    std::shared_ptr<const TTables> CurrentTables() const;

    const TMimeSources Sources;
    // The tables in use. Lookups copy the pointer under TablesMutex, held for that copy only, and
    // read the tables after; a rebuild publishes whole new tables. (libstdc++ 12's
    // std::atomic<std::shared_ptr> is not clean under ThreadSanitizer.)
    mutable std::mutex TablesMutex;
    mutable std::shared_ptr<const TTables> Tables; // under TablesMutex
    // Serialises rebuilds; lookups never take it unless they missed and a recheck is due.
    mutable std::mutex BuildMutex;
    mutable std::vector<TFileStamp> BuiltFrom; // under BuildMutex
    // Steady-clock time before which a miss does not look at the files again.
    mutable std::atomic<std::int64_t> NextRecheckNs{0};
    mutable std::atomic<std::uint64_t> Builds{0};
};
