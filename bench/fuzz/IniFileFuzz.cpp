// libFuzzer target for the settings file reader: arbitrary bytes as a settings file. Every
// reading of every section and key it names must hold; a value written back, whatever its
// bytes, must read back exactly from the stored file, and the rest of the file must survive.
//
// Input layout: one byte that picks the written value's length (the value is the file's
// first bytes), then the file itself.

#include "FuzzSupport.h"
#include "IniFile.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

namespace {

// The names the file itself uses: "[section]" lines and "key=" prefixes.
void ReadEverythingNamed(const TIniFile& ini, std::string_view text) {
    std::string section;
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view line = text.substr(at, end - at);
        if (line.size() >= 2 && line.front() == '[' && line.find(']') != std::string_view::npos)
            section = std::string(line.substr(1, line.find(']') - 1));
        else if (const std::size_t equals = line.find('='); equals != std::string_view::npos) {
            const std::string key(line.substr(0, equals));
            static_cast<void>(ini.ReadString(section, key, "default"));
            static_cast<void>(ini.ReadInteger(section, key, 7));
            static_cast<void>(ini.ReadBool(section, key, true));
            static_cast<void>(ini.ReadFloat(section, key, 1.5, ','));
            static_cast<void>(ini.ValueExists(section, key));
        }
        at = end + 1;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string value(
        text.substr(0, std::min<std::size_t>(data[0], TIniFile::MaxValueLength)));
    const std::filesystem::path path = WorkFile("ini", "settings.ini");
    Store(path, text);

    TIniFile ini(path);
    ReadEverythingNamed(ini, text);
    const std::string before = ini.ReadString("Other", "Kept", "absent");
    ini.WriteString("Fuzz", "Value", value);
    ini.UpdateFile();

    const TIniFile again(path);
    Require(again.ReadString("Fuzz", "Value", "absent") == value);
    Require(again.ReadString("Other", "Kept", "absent") == before);
    std::filesystem::remove(path);
    return 0;
}
