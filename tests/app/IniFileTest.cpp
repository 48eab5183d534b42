#include "IniFile.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A private folder under the system temp folder, removed with everything in it at scope exit.
class TempFolder {
  public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "kamvero-ini-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("cannot create a temporary folder");
        path_ = pattern;
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    fs::path operator/(const std::string& name) const { return path_ / name; }
    const fs::path& Path() const { return path_; }

  private:
    fs::path path_;
};

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

std::vector<std::string> FolderEntries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Writes each value under its own key, stores the file, and checks that both the document in
// memory and a fresh reader of the file give back every value unchanged.
void ExpectRoundTrip(const std::vector<std::string>& values) {
    const TempFolder folder;
    TIniFile writer(folder / "settings.ini");
    for (std::size_t i = 0; i < values.size(); ++i)
        writer.WriteString("Values", "key" + std::to_string(i), values[i]);
    writer.UpdateFile();
    const TIniFile reader(folder / "settings.ini");
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::string key = "key" + std::to_string(i);
        EXPECT_EQ(writer.ReadString("Values", key, "default"), values[i]) << "value " << i;
        EXPECT_EQ(reader.ReadString("Values", key, "default"), values[i]) << "value " << i;
    }
}

} // namespace

TEST(IniFileRoundTrip, EverySingleByte) {
    std::vector<std::string> values;
    for (int byte = 0; byte < 256; ++byte)
        values.emplace_back(1, static_cast<char>(byte));
    ExpectRoundTrip(values);
}

TEST(IniFileRoundTrip, AllBytesInOneValue) {
    std::string all;
    for (int byte = 0; byte < 256; ++byte)
        all += static_cast<char>(byte);
    ExpectRoundTrip({all, all + all});
}

TEST(IniFileRoundTrip, TextsThatLookLikeSyntax) {
    ExpectRoundTrip({" lead", "trail ", "\tboth\t", "   ", "", "\"quoted\"", "\"", "a\"b\"",
                     "\"C:\\pics\\\"", "=", "a=b=c", ";not a comment", "#neither", "[x]"});
}

TEST(IniFileRoundTrip, LineBreaksEscapesAndBrokenUtf8) {
    ExpectRoundTrip({"a\rb", "a\nb", "a\r\nb", "\r\n", "ends\\", "\\n", "\\x41", "\\q",
                     "gr\xC3\xBC", "\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                     "\xE2\x82", "\xE2\x82 "});
}

TEST(IniFileEncoding, FileHoldsPlainValuesPlainAndQuotesTheRest) {
    const TempFolder folder;
    TIniFile ini(folder / "settings.ini");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/home/user/Pictures/Kamvero", "/home/user/Pictures/Kamvero"},
        {"a=b;c #d [e]", "a=b;c #d [e]"},
        {"C:\\pics\\", "C:\\pics\\"},
        {"caf\xC3\xA9 \xE2\x82\xAC", "caf\xC3\xA9 \xE2\x82\xAC"},
        {"say \"hi\"", "say \"hi\""},
        {" x", "\" x\""},
        {"x\t", "\"x\\t\""},
        {"\"q\"", "\"\\\"q\\\"\""},
        {"a\\b\nc\rd", "\"a\\\\b\\nc\\rd\""},
        {std::string("\x00\x1F\x7F", 3), "\"\\x00\\x1F\\x7F\""},
        {"caf\xE9", "\"caf\\xE9\""},
        {"\xC3\xA9\xFF", "\"\xC3\xA9\\xFF\""},
        {"\xED\xA0\x80", "\"\\xED\\xA0\\x80\""}};
    std::string expected = "[S]\n";
    for (std::size_t i = 0; i < cases.size(); ++i) {
        ini.WriteString("S", "k" + std::to_string(i), cases[i].first);
        expected += "k" + std::to_string(i) + "=" + cases[i].second + "\n";
    }
    ini.UpdateFile();
    EXPECT_EQ(ReadAll(folder / "settings.ini"), expected);
}

TEST(IniFileEncoding, ReadsHandWrittenFile) {
    const TempFolder folder;
    WriteAll(folder / "settings.ini", "; Kamvero settings\r\n"
                                      "stray=before any section\r\n"
                                      "  [ Ftp ]  \r\n"
                                      "  Host = ftp.example.org  \r\n"
                                      "PORT=21\r\n"
                                      "# Port=99\r\n"
                                      "Quoted = \"quoted\"\r\n"
                                      "Doubled=\"x\"\r\r\n"
                                      "Folder=\"C:\\pics\\\"\r\n"
                                      "Odd=\"a\\qb\"\r\n"
                                      "Inner=\"x\\ty\"z\"\r\n"
                                      "Lone=\"\r\n"
                                      "Empty=\r\n"
                                      "host=second\r\n"
                                      "[Other]\r\n"
                                      "Only=other\r\n"
                                      "[FTP]\r\n"
                                      "Host=third\r\n"
                                      "Late=found");
    const TIniFile ini(folder / "settings.ini");
    const std::vector<std::pair<std::string, std::string>> expected = {{"host", "ftp.example.org"},
                                                                       {"Port", "21"},
                                                                       {"quoted", "quoted"},
                                                                       {"Doubled", "x"},
                                                                       {"Folder", "C:\\pics\\"},
                                                                       {"Odd", "a\\qb"},
                                                                       {"Inner", "x\\ty\"z"},
                                                                       {"Lone", "\""},
                                                                       {"Empty", ""},
                                                                       {"Late", "found"}};
    for (const auto& [key, value] : expected)
        EXPECT_EQ(ini.ReadString("FTP", key, "default"), value) << key;
    EXPECT_EQ(ini.ReadInteger("ftp", "port", 0), 21);
    EXPECT_EQ(ini.ReadInteger("Ftp", "Empty", 7), 7);
    EXPECT_TRUE(ini.ValueExists("Ftp", "Empty"));
    EXPECT_FALSE(ini.ValueExists("Ftp", "Only"));
    EXPECT_FALSE(ini.ValueExists("Ftp", "stray"));
    EXPECT_EQ(ini.ReadString("Other", "Only", ""), "other");
    EXPECT_EQ(ini.ReadString("Missing", "Host", "none"), "none");

    // An editor's byte order mark must not hide the first section.
    WriteAll(folder / "bom.ini", "\xEF\xBB\xBF[Camera]\nFilename=porch\n");
    EXPECT_EQ(TIniFile(folder / "bom.ini").ReadString("Camera", "Filename", ""), "porch");
}

TEST(IniFileWriting, FreshFileFollowsFirstWriteOrder) {
    const TempFolder folder;
    TIniFile ini(folder / "settings.ini");
    ini.WriteString("Camera", "Device", "/dev/video0");
    ini.WriteInteger("Motion", "Threshold", 12);
    ini.WriteBool("Camera", "Mirror", true);
    ini.WriteFloat("Motion", "Delay", 0.5, ',');
    ini.WriteString("camera", "DEVICE", "/dev/video1");
    ini.WriteBool("Camera", "Mirror", false);
    ini.UpdateFile();
    EXPECT_EQ(ReadAll(folder / "settings.ini"), "[Camera]\nDevice=/dev/video1\nMirror=0\n\n"
                                                "[Motion]\nThreshold=12\nDelay=0,5\n");
}

TEST(IniFileWriting, KeepsUnknownLinesAndPlacesNewKeys) {
    const TempFolder folder;
    WriteAll(folder / "settings.ini",
             "# top\n[Camera]\r\nDevice = old\n; about mirror\n"
             "Mirror=1\n\ngarbage line\n[Plugin]\nx=1\n[camera]\nZoom=2\n");
    TIniFile ini(folder / "settings.ini");
    ini.WriteString("CAMERA", "device", "new");
    ini.WriteInteger("Camera", "Width", 640);
    ini.WriteInteger("Camera", "Zoom", 3);
    ini.WriteString("Ftp", "Host", "h");
    ini.UpdateFile();
    EXPECT_EQ(ReadAll(folder / "settings.ini"),
              "# top\n[Camera]\nDevice=new\n; about mirror\nMirror=1\nWidth=640\n\ngarbage line\n"
              "[Plugin]\nx=1\n[camera]\nZoom=3\n\n[Ftp]\nHost=h\n");
}

TEST(IniFileNumbers, ParsesIntegers) {
    const std::vector<std::pair<std::string, int>> valid = {
        {"0x10", 16}, {"0X1f", 31}, {"$10", 16}, {"-$10", -16}, {"+$a", 10},
        {"-5", -5},   {"+7", 7},    {" 42", 42}, {"\t 007", 7}, {"0xFFFFFFFF", -1}};
    for (const auto& [text, expected] : valid)
        EXPECT_EQ(ParseIniInteger(text), expected) << '"' << text << '"';
    EXPECT_EQ(ParseIniInteger("2147483647"), INT32_MAX);
    EXPECT_EQ(ParseIniInteger("-2147483648"), INT32_MIN);
    EXPECT_EQ(ParseIniInteger("$80000000"), INT32_MIN);
    for (const char* text :
         {"0x", "0xg1", "0x$10", "0x-1", "-0x10", "0x100000000", "2147483648", "-2147483649",
          "99999999999", "12abc", "42 ", "", " ", "-", "$", "--5", "1.5"})
        EXPECT_EQ(ParseIniInteger(text), std::nullopt) << '"' << text << '"';
}

TEST(IniFileNumbers, ReadsIntegersAndBooleansFromValues) {
    const TempFolder folder;
    WriteAll(folder / "settings.ini", "[S]\none=1\nzero=0\nfive=5\nminus=-1\nword=abc\nempty=\n"
                                      "spaced =  9  \nhex=0x0\nquoted=\"12\"\nblanks=\" 8 \"\n");
    const TIniFile ini(folder / "settings.ini");
    const std::vector<std::tuple<std::string, int, bool, bool>> cases = {
        // key, integer with default -3, bool with default false, bool with default true
        {"one", 1, true, true},      {"zero", 0, false, false},   {"five", 5, true, true},
        {"minus", -1, true, true},   {"word", -3, false, true},   {"empty", -3, false, true},
        {"spaced", 9, true, true},   {"hex", 0, false, false},    {"quoted", 12, true, true},
        {"blanks", -3, false, true}, {"missing", -3, false, true}};
    for (const auto& [key, integer, withFalse, withTrue] : cases) {
        EXPECT_EQ(ini.ReadInteger("S", key, -3), integer) << key;
        EXPECT_EQ(ini.ReadBool("S", key, false), withFalse) << key;
        EXPECT_EQ(ini.ReadBool("S", key, true), withTrue) << key;
    }
}

TEST(IniFileNumbers, ParsesFloats) {
    const std::vector<std::tuple<std::string, char, double>> valid = {
        {"1.5", '.', 1.5},    {"1,5", ',', 1.5},      {"-0.5", '.', -0.5},
        {"+2", '.', 2.0},     {" 1e3 ", '.', 1000.0}, {"2.5E-2", '.', 0.025},
        {"1e+2", ',', 100.0}, {".5", '.', 0.5},       {"5,", ',', 5.0}};
    for (const auto& [text, separator, expected] : valid)
        EXPECT_EQ(ParseIniFloat(text, separator), expected) << '"' << text << "\" " << separator;
    EXPECT_EQ(ParseIniFloat("1,5", '.'), std::nullopt);
    EXPECT_EQ(ParseIniFloat("1.5", ','), std::nullopt);
    for (const char separator : {'.', ','})
        for (const char* text : {"", "abc", ".", ",", "1e", "e5", "1.2.3", "1,2,3", "1 2", "+-1",
                                 "--1", "1-", "inf", "nan", "0x1p3", "1e999"})
            EXPECT_EQ(ParseIniFloat(text, separator), std::nullopt)
                << '"' << text << "\" " << separator;
}

TEST(IniFileNumbers, FormatsFloatsShortest) {
    const std::vector<std::tuple<double, char, std::string>> cases = {
        {10.0, '.', "10"},        {0.5, ',', "0,5"},
        {1.0, '.', "1"},          {1440.0, '.', "1440"},
        {0.1, '.', "0.1"},        {-2.75, ',', "-2,75"},
        {2.5e-7, '.', "2.5e-07"}, {1.0 / 3, '.', "0.333333333333333"}};
    for (const auto& [value, separator, expected] : cases)
        EXPECT_EQ(FormatIniFloat(value, separator), expected);
    TIniFile ini("/nonexistent/kamvero/settings.ini");
    ini.WriteFloat("S", "Ratio", 0.1, ',');
    EXPECT_EQ(ini.ReadString("S", "Ratio", ""), "0,1");
    EXPECT_EQ(ini.ReadFloat("S", "Ratio", 9.0, ','), 0.1);
    EXPECT_EQ(ini.ReadFloat("S", "Ratio", 9.0, '.'), 9.0);
}

TEST(IniFileLimits, ReadsAtMostMaxValueLengthBytes) {
    const TempFolder folder;
    std::string plain(3000, 'x');
    for (std::size_t i = 0; i < plain.size(); ++i)
        plain[i] = static_cast<char>('a' + i % 26);
    const std::string escaped(3000, '\n'); // 6000 bytes on disk; the limit counts decoded bytes
    TIniFile writer(folder / "settings.ini");
    writer.WriteString("S", "Plain", plain);
    writer.WriteString("S", "Escaped", escaped);
    writer.UpdateFile();
    const TIniFile reader(folder / "settings.ini");
    EXPECT_EQ(reader.ReadString("S", "Plain", ""), plain.substr(0, TIniFile::MaxValueLength));
    EXPECT_EQ(reader.ReadString("S", "Escaped", ""), escaped.substr(0, TIniFile::MaxValueLength));
}

TEST(IniFileUpdate, FailsWithoutLeavingTemporaryFiles) {
    const TempFolder folder;
    fs::create_directory(folder / "folder.ini");
    WriteAll(folder / "readonly.ini", "[S]\nk=old\n");
    fs::permissions(folder / "readonly.ini", fs::perms(0444));
    for (const fs::path& path :
         {folder / "folder.ini", folder / "readonly.ini", folder / "missing" / "settings.ini"}) {
        TIniFile ini(path);
        ini.WriteString("S", "k", "new");
        try {
            ini.UpdateFile();
            ADD_FAILURE() << "no error for " << path;
        } catch (const EIniFileError& error) {
            EXPECT_EQ(std::string(error.what()), "Unable to write to " + path.string());
        }
    }
    EXPECT_EQ(ReadAll(folder / "readonly.ini"), "[S]\nk=old\n");
    EXPECT_EQ(FolderEntries(folder.Path()),
              (std::vector<std::string>{"folder.ini", "readonly.ini"}));
}

TEST(IniFileUpdate, KeepsModeAndSymlinkOfExistingFile) {
    const TempFolder folder;
    WriteAll(folder / "real.ini", "[S]\nk=old\n");
    fs::permissions(folder / "real.ini", fs::perms(0640));
    fs::create_symlink("real.ini", folder / "link.ini");
    TIniFile ini(folder / "link.ini");
    ini.WriteString("S", "k", "new");
    ini.UpdateFile();
    EXPECT_TRUE(fs::is_symlink(folder / "link.ini"));
    EXPECT_EQ(ReadAll(folder / "real.ini"), "[S]\nk=new\n");
    EXPECT_EQ(fs::status(folder / "real.ini").permissions(), fs::perms(0640));
    EXPECT_EQ(FolderEntries(folder.Path()), (std::vector<std::string>{"link.ini", "real.ini"}));
}

TEST(IniFileRobustness, MissingOrGarbageFileReadsDefaults) {
    const TempFolder folder;
    const TIniFile missing(folder / "missing.ini");
    EXPECT_EQ(missing.ReadString("S", "k", "dflt"), "dflt");
    EXPECT_FALSE(missing.ValueExists("S", "k"));
    EXPECT_EQ(missing.FileName(), folder / "missing.ini");

    std::mt19937 random(20240601);
    std::string garbage(1 << 16, '\0');
    for (char& c : garbage)
        c = static_cast<char>(random());
    WriteAll(folder / "garbage.ini", garbage);
    TIniFile ini(folder / "garbage.ini");
    EXPECT_EQ(ini.ReadInteger("Kamvero", "Interval", 42), 42);
    EXPECT_EQ(ini.ReadFloat("Kamvero", "Ratio", 0.25, '.'), 0.25);
    ini.WriteString("Kamvero", "Interval", "5");
    ini.UpdateFile();
    EXPECT_EQ(TIniFile(folder / "garbage.ini").ReadInteger("Kamvero", "Interval", 42), 5);
}
