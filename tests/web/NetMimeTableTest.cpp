#include "NetMimeTable.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const QString OctetStream = "application/octet-stream";

// Writes the whole file under a new name and renames it into place, as package tools do, so a
// concurrent read sees the old or the new content.
void ReplaceFile(const fs::path& path, const QByteArray& content) {
    fs::create_directories(path.parent_path());
    const fs::path staging = path.string() + ".new";
    WriteTextFile(QString::fromStdString(staging.string()), content);
    fs::rename(staging, path);
}

// Two mime.types files and two data folders' globs2 files (the first more important), all in a
// temporary folder and absent until a test writes them.
struct TMimeFiles {
    TTempDir Dir;
    fs::path System = Dir.Path() / "mime.types";
    fs::path Home = Dir.Path() / "home.mime.types";
    fs::path HighGlobs = Dir.Path() / "high" / "mime" / "globs2";
    fs::path LowGlobs = Dir.Path() / "low" / "mime" / "globs2";

    TMimeSources Sources(std::chrono::milliseconds recheckInterval = 0ms) const {
        TMimeSources sources;
        sources.ExtensionFiles = {System, Home};
        sources.GlobFiles = {HighGlobs, LowGlobs};
        sources.RecheckInterval = recheckInterval;
        return sources;
    }
};

TEST(NetMimeTableTest, LooksUpTheDottedExtensionInTheExtensionTableThenTheDatabase) {
    TMimeFiles files;
    ReplaceFile(files.System, "# comment\n"
                              "image/jpeg\tjpeg jpg jpe\n"
                              "text/html  html htm  # trailing comment\n"
                              "application/x-old dup\n"
                              "application/x-new dup\n"
                              "image/png\n"
                              "text/plain txt\n"
                              "application/gzip gz\n"
                              "text/x-from-types both\n"
                              "text\x01/x-control ctl\n");
    ReplaceFile(files.Home, "text/x-home txt\n");
    ReplaceFile(files.HighGlobs, "# generated\n"
                                 "80:text/x-heavy:*.wgt\n"
                                 "50:text/x-c++src:*.C:cs\n"
                                 "50:text/x-c++src:*.C\n"
                                 "50:text/x-csrc:*.c:cs\n"
                                 "50:text/x-csrc:*.c\n"
                                 "50:text/x-light:*.wgt\n"
                                 "50:text/x-high-tie:*.tie\n"
                                 "50:text/x-high:*.heavier\n"
                                 "50:application/x-sharedlib:*.so.[0-9]*\n"
                                 "50:text/x-readme:README\n"
                                 "50:application/x-compressed-tar:*.tar.gz\n"
                                 "50:text/x-from-globs:*.both\n"
                                 "40:text/x-glob-only:*.onlyglob\n"
                                 "abc:text/x-bad:*.bad\n"
                                 "60::*.notype\n"
                                 "2000000000:text/x-huge:*.huge\n"
                                 "50:text/x-small:*.huge\n"
                                 "60:text/x\rSet-Cookie;a=b:*.splits\n"
                                 "no fields here\n");
    ReplaceFile(files.LowGlobs, "90:text/x-low-heavy:*.heavier\n"
                                "50:text/x-low-tie:*.tie\n"
                                "50:text/x-low:*.lowonly\n");
    const TNetMimeTable table(files.Sources());

    const struct {
        const char* fileName;
        QString type;
    } cases[] = {
        {"photo.jpg", "image/jpeg"},
        {"PHOTO.JPG", "image/jpeg"},
        {"x.JpEg", "image/jpeg"},
        {"/srv/cam.d/sub/photo.jpe", "image/jpeg"},
        {".jpg", "image/jpeg"}, // the whole name is the dotted extension
        {"jpg", OctetStream},   // no dot, no extension
        {"cam.d/readme", OctetStream},
        {"archive.tar.gz", "application/gzip"}, // only the last extension counts
        {"index.htm", "text/html"},
        {"a.dup", "application/x-new"}, // later line wins
        {"notes.txt", "text/x-home"},   // later file wins
        {"a.ctl", OctetStream},
        {"a.both", "text/x-from-types"},
        {"a.onlyglob", "text/x-glob-only"},
        {"A.ONLYGLOB", "text/x-glob-only"},
        {"a.wgt", "text/x-heavy"},         // higher weight, listed first
        {"a.heavier", "text/x-low-heavy"}, // higher weight in a less important folder
        {"a.tie", "text/x-high-tie"},      // equal weight: the more important folder
        {"a.lowonly", "text/x-low"},
        {"main.c", "text/x-csrc"},
        {"main.C", "text/x-csrc"}, // the table ignores case; "*.C" must not take ".c"
        {"a.png", OctetStream},    // a type line without extensions registers nothing
        {"libx.so.1", OctetStream},
        {"README", OctetStream},
        {"a.bad", OctetStream},
        {"a.huge", "text/x-huge"}, // any weight a file states compares as written
        {"a.notype", OctetStream}, // an empty or malformed type never reaches a header
        {"a.splits", OctetStream},
        {"file.", OctetStream},
        {"", OctetStream},
        {"a.unknown", OctetStream},
    };
    for (const auto& c : cases)
        EXPECT_EQ(table.MimeTypeForFile(QString(c.fileName)), c.type) << c.fileName;
}

TEST(NetMimeTableTest, MissingOrUnreadableFilesGiveOctetStreamForEverything) {
    TMimeFiles files;
    fs::create_directories(files.Home); // a folder where a file is expected
    std::optional<TNetMimeTable> table;
    ASSERT_NO_THROW(table.emplace(files.Sources()));
    for (const char* name : {"a.jpg", "index.html", "", "noext"})
        EXPECT_EQ(table->MimeTypeForFile(QString(name)), OctetStream) << name;
}

TEST(NetMimeTableTest, AMissRereadsFilesThatChangedSinceTheLastRead) {
    TMimeFiles files;
    const TNetMimeTable table(files.Sources());
    EXPECT_EQ(table.MimeTypeForFile(u"a.jpg"), OctetStream);

    ReplaceFile(files.LowGlobs, "50:image/x-from-globs:*.jpg\n");
    EXPECT_EQ(table.MimeTypeForFile(u"a.jpg"), "image/x-from-globs");

    // The miss that rebuilds answers from the database; the new extension table answers next.
    ReplaceFile(files.System, "image/jpeg jpg\n");
    EXPECT_EQ(table.MimeTypeForFile(u"a.jpg"), "image/x-from-globs");
    EXPECT_EQ(table.MimeTypeForFile(u"a.jpg"), "image/jpeg");
    EXPECT_EQ(table.BuildCount(), 3u);

    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(table.MimeTypeForFile(u"attack.nope"), OctetStream);
    EXPECT_EQ(table.BuildCount(), 3u) << "unchanged files must not be read again";
}

TEST(NetMimeTableTest, MissesLookAtTheFilesOnlyOncePerRecheckInterval) {
    TMimeFiles files;
    TNetMimeTable slow(files.Sources(1h));
    const TNetMimeTable quick(files.Sources(50ms));
    ReplaceFile(files.HighGlobs, "50:image/x-late:*.late\n");
    EXPECT_EQ(slow.MimeTypeForFile(u"a.late"), OctetStream);
    slow.Build(); // an explicit build reads regardless
    EXPECT_EQ(slow.MimeTypeForFile(u"a.late"), "image/x-late");

    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (quick.MimeTypeForFile(u"a.late") != "image/x-late" &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(quick.MimeTypeForFile(u"a.late"), "image/x-late");

    const TNetMimeTable empty(files.Sources(1h), TMimeTableFill::Empty);
    EXPECT_EQ(empty.BuildCount(), 0u);
    EXPECT_EQ(empty.MimeTypeForFile(u"a.late"), "image/x-late"); // the first miss builds
}

// A rebuild that cleared and refilled the live tables would let a reader see a known
// extension as unknown.
TEST(NetMimeTableTest, ConcurrentLookupsSeeWholeTablesWhileFilesChange) {
    TMimeFiles files;
    QByteArray versionA = "v/a", versionB = "v/b";
    for (int i = 0; i < 200; ++i) {
        versionA += " e" + QByteArray::number(i);
        versionB += " e" + QByteArray::number(i);
    }
    ReplaceFile(files.System, versionA + "\n");
    TNetMimeTable table(files.Sources());

    std::atomic<bool> stop{false};
    std::atomic<int> wrongAnswers{0};
    std::vector<std::jthread> readers;
    for (int r = 0; r < 4; ++r)
        readers.emplace_back([&, r] {
            for (int i = r; !stop; i = (i + 7) % 200) {
                const QString type = table.MimeTypeForFile(QString("f.E%1").arg(i));
                if (type != "v/a" && type != "v/b")
                    ++wrongAnswers;
                if (table.MimeTypeForFile(u"f.unknown") != OctetStream)
                    ++wrongAnswers;
            }
        });
    std::jthread builder([&] {
        while (!stop)
            table.Build();
    });
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (int round = 0;
         (round < 100 || table.BuildCount() < 50) && std::chrono::steady_clock::now() < deadline;
         ++round)
        ReplaceFile(files.System, (round % 2 ? versionA : versionB) + "\n");
    stop = true;
    readers.clear();
    builder.join();
    EXPECT_EQ(wrongAnswers, 0);
    EXPECT_GE(table.BuildCount(), 50u);
}

// Sets an environment variable for one test and puts the old value back.
class TScopedEnv {
  public:
    TScopedEnv(const char* name, const std::string& value) : Name(name) {
        if (const char* old = std::getenv(name))
            Old = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~TScopedEnv() {
        if (Old)
            ::setenv(Name, Old->c_str(), 1);
        else
            ::unsetenv(Name);
    }
    TScopedEnv(const TScopedEnv&) = delete;
    TScopedEnv& operator=(const TScopedEnv&) = delete;

  private:
    const char* Name;
    std::optional<std::string> Old;
};

TEST(NetMimeTableTest, SystemRegistrationsAndTheUsersOwnFile) {
    const TNetMimeTable system;
    EXPECT_EQ(system.MimeTypeForFile(u".jpg"), "image/jpeg");
    EXPECT_EQ(system.MimeTypeForFile(u"/srv/camera.JPG"), "image/jpeg");
    EXPECT_EQ(system.MimeTypeForFile(u".html"), "text/html");

    TMimeFiles files;
    const fs::path home = files.Dir.Path() / "home";
    ReplaceFile(home / ".mime.types", "image/x-mine jpg\n");
    ReplaceFile(files.Dir.Path() / "data" / "mime" / "globs2", "50:text/x-mine:*.onlymine\n");
    const TScopedEnv homeEnv("HOME", home.string());
    const TScopedEnv dataEnv("XDG_DATA_DIRS", (files.Dir.Path() / "data").string());
    const TNetMimeTable user;
    EXPECT_EQ(user.MimeTypeForFile(u"a.jpg"), "image/x-mine");
    EXPECT_EQ(user.MimeTypeForFile(u"a.onlymine"), "text/x-mine");
}

TEST(NetMimeTableTest, GlobFilesFollowXdgDataDirs) {
    const struct {
        std::string_view dirs;
        std::vector<std::string> files;
    } cases[] = {
        {"", {"/usr/local/share/mime/globs2", "/usr/share/mime/globs2"}},
        {"/a:/b/", {"/a/mime/globs2", "/b/mime/globs2"}},
        {"/a::relative:/b", {"/a/mime/globs2", "/b/mime/globs2"}},
        {"relative", {}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> files;
        for (const auto& file : MimeGlobFilesUnder(c.dirs))
            files.push_back(file.string());
        EXPECT_EQ(files, c.files) << c.dirs;
    }
}

} // namespace
