#pragma once
// A fresh folder under $TMPDIR (or /tmp), removed with everything in it, and
// the whole-file reads and writes the tests do in it.

#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace sovra::testing {

// Writes `bytes` to `path`, replacing what was there; makes its folders.
inline void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

// A whole file; empty when it cannot be read.
inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::vector<std::uint8_t> ReadFile(const std::string& path) {
    const std::string text = ReadText(path);
    return {text.begin(), text.end()};
}

// Every name in `folder`, hidden ones too, sorted; none when it cannot be
// read.
inline std::vector<std::string> FilesIn(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class TempDir {
  public:
    explicit TempDir(std::string_view prefix = "sovra-test") {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = (base != nullptr && *base != '\0' ? base : "/tmp");
        pattern.append("/").append(prefix).append("-XXXXXX");
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot make a folder like " + pattern);
        }
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    std::string File(std::string_view name) const { return path_ + "/" + std::string(name); }

    // Makes the folder `name` (and the ones above it) and returns its path.
    std::string MakeFolder(std::string_view name) const {
        std::filesystem::create_directories(File(name));
        return File(name);
    }

    // Writes `name` in the folder (its folders made) and returns its path.
    std::string Write(std::string_view name, const std::vector<std::uint8_t>& bytes) const {
        WriteFile(File(name), bytes);
        return File(name);
    }
    std::string Write(std::string_view name, std::string_view text) const {
        return Write(name, std::vector<std::uint8_t>(text.begin(), text.end()));
    }

  private:
    std::string path_;
};

}  // namespace sovra::testing
