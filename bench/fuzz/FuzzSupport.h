#pragma once

// What the fuzz targets share: a finding is a trap, and file readers get their input as a file.

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <unistd.h>

// A broken promise of the code under test: libFuzzer records the input that broke it.
inline void Require(bool condition) {
    if (!condition)
        __builtin_trap();
}

// A file of this process's own in the temporary folder, reused by every input.
inline std::filesystem::path WorkFile(std::string_view target, std::string_view name) {
    return std::filesystem::temp_directory_path() /
           ("kamvero-" + std::string(target) + "-fuzz-" + std::to_string(::getpid()) + "-" +
            std::string(name));
}

inline void Store(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
