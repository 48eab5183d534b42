#include "IniFile.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace fs = std::filesystem;

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// A stray carriage return (a line ending doubled by an editor) is blank too: the program never
// writes one unquoted, and left in place it would turn a quoted value into a literal one.
std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

char ToLowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, {}, ToLowerAscii, ToLowerAscii);
}

// Parses the whole text as an unsigned number without sign or prefix; nullopt otherwise.
template <typename Unsigned>
std::optional<Unsigned> ParseUnsigned(std::string_view digits, int base) {
    Unsigned value = 0;
    const char* end = digits.data() + digits.size();
    const auto [last, error] = std::from_chars(digits.data(), end, value, base);
    if (error != std::errc() || last != end)
        return std::nullopt;
    return value;
}

enum class LineKind { Other, Section, Key };

struct ParsedLine {
    LineKind kind = LineKind::Other;
    std::string_view name;     // section or key name, trimmed
    std::string_view rawValue; // everything after the first "=" of a key line
};

ParsedLine ParseLine(std::string_view line) {
    const std::string_view trimmed = Trim(line);
    if (trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '#')
        return {};
    if (trimmed.front() == '[') {
        const auto close = trimmed.find(']');
        if (close == std::string_view::npos)
            return {};
        return {LineKind::Section, Trim(trimmed.substr(1, close - 1)), {}};
    }
    const auto equals = line.find('=');
    if (equals == std::string_view::npos)
        return {};
    return {LineKind::Key, Trim(line.substr(0, equals)), line.substr(equals + 1)};
}

std::vector<std::string> SplitLines(std::string_view content) {
    // Some editors start a UTF-8 file with a byte order mark, which would hide the first section.
    if (content.starts_with("\xEF\xBB\xBF"))
        content.remove_prefix(3);
    std::vector<std::string> lines;
    while (!content.empty()) {
        const auto newline = content.find('\n');
        std::string_view line = content.substr(0, newline);
        content.remove_prefix(newline == std::string_view::npos ? content.size() : newline + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.emplace_back(line);
    }
    return lines;
}

std::string JoinLines(const std::vector<std::string>& lines) {
    std::string content;
    for (const auto& line : lines)
        content.append(line).push_back('\n');
    return content;
}

// Anything that is not a readable regular file counts as an empty document.
std::string ReadWholeFile(const fs::path& path) {
    std::error_code error;
    if (!fs::is_regular_file(path, error))
        return {};
    std::ifstream in(path, std::ios::binary);
    try {
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    } catch (const std::ios_base::failure&) {
        return {};
    }
}

// Returns the length of the well-formed UTF-8 sequence starting at pos, or 0 when the byte there
// does not start one. Overlong forms, surrogates and code points above U+10FFFF are rejected so
// that everything left unescaped is text any UTF-8 reader accepts.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t pos) {
    const auto at = [&](std::size_t i) {
        return static_cast<unsigned char>(text[i]);
    };
    const unsigned lead = at(pos);
    if (lead < 0x80)
        return 1;
    const std::size_t length = lead < 0xC2   ? 0
                               : lead < 0xE0 ? 2
                               : lead < 0xF0 ? 3
                               : lead < 0xF5 ? 4
                                             : 0;
    // These lead bytes restrict the second byte to exclude overlongs, surrogates and > U+10FFFF.
    const unsigned low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const unsigned high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    if (length == 0 || pos + length > text.size() || at(pos + 1) < low || at(pos + 1) > high)
        return 0;
    for (std::size_t i = pos + 2; i < pos + length; ++i)
        if ((at(i) & 0xC0) != 0x80)
            return 0;
    return length;
}

bool IsControl(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
}

bool NeedsQuoting(std::string_view value) {
    if (value.empty())
        return false;
    if (IsBlank(value.front()) || IsBlank(value.back()) || value.front() == '"')
        return true;
    for (std::size_t pos = 0; pos < value.size();) {
        const std::size_t length = Utf8SequenceLength(value, pos);
        if (length == 0 || IsControl(value[pos]))
            return true;
        pos += length;
    }
    return false;
}

void AppendHexEscape(std::string& out, unsigned char byte) {
    constexpr std::string_view digits = "0123456789ABCDEF";
    out += "\\x";
    out += digits[byte >> 4];
    out += digits[byte & 0x0F];
}

std::string QuoteValue(std::string_view value) {
    std::string out = "\"";
    for (std::size_t pos = 0; pos < value.size();) {
        const char c = value[pos];
        const std::size_t length = Utf8SequenceLength(value, pos);
        if (const auto named = std::string_view("\\\"\t\r\n").find(c);
            named != std::string_view::npos) {
            out += '\\';
            out += "\\\"trn"[named];
        } else if (length == 0 || IsControl(c)) {
            AppendHexEscape(out, static_cast<unsigned char>(c));
        } else {
            out.append(value.substr(pos, length));
        }
        pos += std::max<std::size_t>(length, 1);
    }
    out += '"';
    return out;
}

std::string EncodeValue(std::string_view value) {
    return NeedsQuoting(value) ? QuoteValue(value) : std::string(value);
}

// Decodes the text between the quotes; nullopt when it is not in the form QuoteValue writes.
std::optional<std::string> UnescapeQuoted(std::string_view inner) {
    std::string out;
    for (std::size_t pos = 0; pos < inner.size(); ++pos) {
        const char c = inner[pos];
        if (c == '"')
            return std::nullopt;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++pos == inner.size())
            return std::nullopt;
        if (const auto named = std::string_view("\\\"trn").find(inner[pos]);
            named != std::string_view::npos) {
            out += "\\\"\t\r\n"[named];
            continue;
        }
        const auto byte = inner[pos] == 'x' && pos + 2 < inner.size()
                              ? ParseUnsigned<unsigned char>(inner.substr(pos + 1, 2), 16)
                              : std::nullopt;
        if (!byte)
            return std::nullopt;
        out += static_cast<char>(*byte);
        pos += 2;
    }
    return out;
}

// A quoted value that does not decode is taken literally, which is what a hand-written
// "C:\pics\" means.
std::string DecodeValue(std::string_view rawValue) {
    const std::string_view value = Trim(rawValue);
    if (value.size() < 2 || value.front() != '"' || value.back() != '"')
        return std::string(value);
    const std::string_view inner = value.substr(1, value.size() - 2);
    return UnescapeQuoted(inner).value_or(std::string(inner));
}

// Writes the file through a temporary in the same folder so that readers never see a partial
// document. The temporary is removed on every path that does not rename it into place.
class TemporaryFile {
  public:
    explicit TemporaryFile(const fs::path& target)
        : path_(target.string() + ".tmp-XXXXXX"), fd_(mkstemp(path_.data())), exists_(fd_ >= 0) {}
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        Close();
        if (exists_)
            unlink(path_.c_str());
    }

    // A short write to a regular file only happens when the disk is full, so it is a failure.
    bool Commit(std::string_view content, mode_t mode, const fs::path& target) {
        const bool stored =
            exists_ &&
            write(fd_, content.data(), content.size()) == static_cast<ssize_t>(content.size()) &&
            fchmod(fd_, mode) == 0 && fsync(fd_) == 0;
        if (!Close() || !stored || rename(path_.c_str(), target.c_str()) != 0)
            return false;
        exists_ = false;
        return true;
    }

  private:
    bool Close() { return fd_ < 0 || close(std::exchange(fd_, -1)) == 0; }

    std::string path_;
    int fd_;
    bool exists_;
};

// Settings files are often symlinks into a dotfiles folder; the link itself must survive.
fs::path ResolveSymlink(const fs::path& path) {
    std::error_code error;
    if (!fs::is_symlink(path, error))
        return path;
    fs::path resolved = fs::canonical(path, error);
    return error ? path : resolved;
}

void SyncFolder(const fs::path& file) {
    const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd); // Best effort: the data itself is already safely in place.
        close(fd);
    }
}

bool ReplaceFileAtomically(const fs::path& path, std::string_view content) {
    const fs::path target = ResolveSymlink(path);
    // A new file keeps mkstemp's owner-only mode, as settings may hold upload passwords; an
    // existing file keeps its own mode.
    mode_t mode = S_IRUSR | S_IWUSR;
    struct stat info {};
    if (stat(target.c_str(), &info) == 0) {
        // Root may write anywhere, so honour a file the user has made read-only ourselves. A
        // folder in the way needs no check: renaming a file over it fails.
        if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
            return false;
        mode = info.st_mode & 07777;
    }
    if (!TemporaryFile(target).Commit(content, mode, target))
        return false;
    SyncFolder(target);
    return true;
}

} // namespace

TIniFile::TIniFile(fs::path path)
    : path_(std::move(path)), lines_(SplitLines(ReadWholeFile(path_))) {}

// Finds the first line of the key in any block of the section. When the key is missing, it also
// gives where a new key goes: after the last key of the section's first block, so that comments
// and blank lines which end the section stay at its end.
TIniFile::KeyLocation TIniFile::LocateKey(std::string_view section, std::string_view key) const {
    KeyLocation location;
    bool inSection = false;
    bool inFirstBlock = false;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const ParsedLine line = ParseLine(lines_[i]);
        if (line.kind == LineKind::Section) {
            inSection = EqualsIgnoreCase(line.name, Trim(section));
            inFirstBlock = inSection && !location.newKeyPosition;
            if (inFirstBlock)
                location.newKeyPosition = i + 1;
        } else if (inSection && line.kind == LineKind::Key) {
            if (EqualsIgnoreCase(line.name, Trim(key))) {
                location.keyLine = i;
                return location;
            }
            if (inFirstBlock)
                location.newKeyPosition = i + 1;
        }
    }
    return location;
}

void TIniFile::AppendSection(std::string_view section) {
    if (!lines_.empty() && !Trim(lines_.back()).empty())
        lines_.emplace_back();
    // Appended piece by piece: GCC 12 at -O3 takes "[" + string for an overlapping copy.
    std::string line;
    line.reserve(section.size() + 2);
    line.append(1, '[').append(section).append(1, ']');
    lines_.push_back(std::move(line));
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 std::string_view defaultValue) const {
    const auto index = LocateKey(section, key).keyLine;
    if (!index)
        return std::string(defaultValue);
    std::string value = DecodeValue(ParseLine(lines_[*index]).rawValue);
    if (value.size() > MaxValueLength)
        value.resize(MaxValueLength);
    return value;
}

int TIniFile::ReadInteger(std::string_view section, std::string_view key, int defaultValue) const {
    return ParseIniInteger(ReadString(section, key, "")).value_or(defaultValue);
}

bool TIniFile::ReadBool(std::string_view section, std::string_view key, bool defaultValue) const {
    const auto value = ParseIniInteger(ReadString(section, key, ""));
    return value ? *value != 0 : defaultValue;
}

double TIniFile::ReadFloat(std::string_view section, std::string_view key, double defaultValue,
                           char decimalSeparator) const {
    return ParseIniFloat(ReadString(section, key, ""), decimalSeparator).value_or(defaultValue);
}

bool TIniFile::ValueExists(std::string_view section, std::string_view key) const {
    return LocateKey(section, key).keyLine.has_value();
}

void TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
    const KeyLocation location = LocateKey(section, key);
    if (location.keyLine) {
        // Keep the key as the file spells it; only the value changes.
        std::string& line = lines_[*location.keyLine];
        line = std::string(ParseLine(line).name) + "=" + EncodeValue(value);
        return;
    }
    std::string line = std::string(key) + "=" + EncodeValue(value);
    if (const auto position = location.newKeyPosition) {
        lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(*position), std::move(line));
        return;
    }
    AppendSection(section);
    lines_.push_back(std::move(line));
}

void TIniFile::WriteInteger(std::string_view section, std::string_view key, int value) {
    WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

void TIniFile::WriteFloat(std::string_view section, std::string_view key, double value,
                          char decimalSeparator) {
    WriteString(section, key, FormatIniFloat(value, decimalSeparator));
}

void TIniFile::UpdateFile() const {
    if (!ReplaceFileAtomically(path_, JoinLines(lines_)))
        throw EIniFileError("Unable to write to " + path_.string());
}

// Hexadecimal texts ("0x..." or "$...") may use all 32 bits: values up to 0xFFFFFFFF are taken
// as their two's complement, so "$FFFFFFFF" is -1, as settings written by Pascal-style tools
// expect. A minus sign then negates that 32-bit value. Decimal texts must fit an int.
std::optional<int> ParseIniInteger(std::string_view text) {
    const bool prefixedHex =
        text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    bool negative = false;
    bool hex = prefixedHex;
    if (prefixedHex) {
        text.remove_prefix(2);
    } else {
        text.remove_prefix(std::min(text.find_first_not_of(" \t"), text.size()));
        negative = text.starts_with('-');
        if (negative || text.starts_with('+'))
            text.remove_prefix(1);
        hex = text.starts_with('$');
        if (hex)
            text.remove_prefix(1);
    }
    const auto magnitude = ParseUnsigned<std::uint64_t>(text, hex ? 16 : 10);
    const std::uint64_t limit = hex ? 0xFFFFFFFFu : negative ? 0x80000000u : 0x7FFFFFFFu;
    if (!magnitude || *magnitude > limit)
        return std::nullopt;
    const auto bits = static_cast<std::uint32_t>(*magnitude);
    return static_cast<std::int32_t>(negative ? 0u - bits : bits);
}

// std::from_chars ignores the locale, but takes no "+" sign and would take "inf" and "nan", which
// a settings file never holds; the text is adapted to it and it checks the layout of the number.
std::optional<double> ParseIniFloat(std::string_view text, char decimalSeparator) {
    text = Trim(text);
    if (text.size() > 1 && text[0] == '+' && text[1] != '+' && text[1] != '-')
        text.remove_prefix(1);
    std::string normalized(text);
    for (char& c : normalized) {
        if (c == decimalSeparator)
            c = '.';
        else if (std::string_view("0123456789+-eE").find(c) == std::string_view::npos)
            return std::nullopt;
    }
    double value = 0;
    const char* end = normalized.data() + normalized.size();
    const auto [last, error] = std::from_chars(normalized.data(), end, value);
    if (error != std::errc() || last != end)
        return std::nullopt;
    return value;
}

std::string FormatIniFloat(double value, char decimalSeparator) {
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
    std::string text(buffer, result.ptr);
    for (char& c : text)
        if (c == '.')
            c = decimalSeparator;
    return text;
}
