// libFuzzer target for the media-type tables: arbitrary bytes as a mime.types file and as a
// shared-mime-info globs file. Reading them never fails, and every lookup, of names the files
// mention and of awkward ones, answers a non-empty type.
//
// Input layout: one byte that splits the rest into the extension file and the globs file.

#include "FuzzSupport.h"
#include "NetMimeTable.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace {

// Every whitespace- or colon-separated word of the files as a file name's extension.
void LookUpEveryWord(const TNetMimeTable& table, std::string_view text) {
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = std::min(text.find_first_of(" \t\r\n:", at), text.size());
        if (end > at) {
            const QString word =
                QString::fromUtf8(text.data() + at, static_cast<qsizetype>(end - at));
            Require(!table.MimeTypeForFile(QStringLiteral("a.") + word).isEmpty());
            Require(!table.MimeTypeForFile(word).isEmpty());
        }
        at = end + 1;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::size_t split = std::min<std::size_t>(rest.size(), rest.size() * data[0] / 255);
    const std::filesystem::path types = WorkFile("mime", "mime.types");
    const std::filesystem::path globs = WorkFile("mime", "globs2");
    Store(types, rest.substr(0, split));
    Store(globs, rest.substr(split));

    TMimeSources sources;
    sources.ExtensionFiles = {types};
    sources.GlobFiles = {globs};
    const TNetMimeTable table(sources);
    LookUpEveryWord(table, rest);
    for (const char* name : {"", ".", "a.", "a..b", "/x.y/z", "a.JPG", "\xC3\xA4.\xE2\x82\xAC"})
        Require(!table.MimeTypeForFile(QString::fromUtf8(name)).isEmpty());
    std::filesystem::remove(types);
    std::filesystem::remove(globs);
    return 0;
}
