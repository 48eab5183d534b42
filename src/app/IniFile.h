#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// Raised when the settings file cannot be written; message is "Unable to write to <path>".
class EIniFileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// An INI document held in memory. Every line of the file is kept, so comments, blank lines and
// sections this program does not know survive a rewrite. Section and key names match
// case-insensitively (ASCII). Values are byte strings; the caller converts text to UTF-8 or
// Latin-1 as it needs. Values that would not survive a plain "key=value" line are stored in
// double quotes with C-style escapes, so any byte string reads back exactly as written.
class TIniFile {
  public:
    static constexpr std::size_t MaxValueLength = 2047;

    // Reads the file if it exists; a missing or unreadable file is an empty document.
    explicit TIniFile(std::filesystem::path path);
    const std::filesystem::path& FileName() const { return path_; }

    std::string ReadString(std::string_view section, std::string_view key,
                           std::string_view defaultValue) const;
    int ReadInteger(std::string_view section, std::string_view key, int defaultValue) const;
    bool ReadBool(std::string_view section, std::string_view key, bool defaultValue) const;
    double ReadFloat(std::string_view section, std::string_view key, double defaultValue,
                     char decimalSeparator) const;
    bool ValueExists(std::string_view section, std::string_view key) const;

    // Writes change the document in memory only; UpdateFile() stores it.
    void WriteString(std::string_view section, std::string_view key, std::string_view value);
    void WriteInteger(std::string_view section, std::string_view key, int value);
    void WriteBool(std::string_view section, std::string_view key, bool value);
    void WriteFloat(std::string_view section, std::string_view key, double value,
                    char decimalSeparator);

    // Replaces the file with the whole document atomically; throws EIniFileError.
    void UpdateFile() const;

  private:
    struct KeyLocation {
        std::optional<std::size_t> keyLine;
        std::optional<std::size_t> newKeyPosition; // only set when the section exists
    };
    KeyLocation LocateKey(std::string_view section, std::string_view key) const;
    void AppendSection(std::string_view section);

    std::filesystem::path path_;
    std::vector<std::string> lines_;
};

// Number texts, exposed for reuse and for tests.
std::optional<int> ParseIniInteger(std::string_view text);
std::optional<double> ParseIniFloat(std::string_view text, char decimalSeparator);
std::string FormatIniFloat(double value, char decimalSeparator);
