// A fresh folder under the system's temporary folder, removed with its content.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace psf::test {

struct TempDir {
    explicit TempDir(const std::filesystem::path& parent = std::filesystem::temp_directory_path());
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    std::filesystem::path operator/(const std::string& rel) const { return path_ / rel; }

    std::filesystem::path path_;
};

std::string read_file(const std::filesystem::path& p);
void write_file(const std::filesystem::path& p, const std::string& bytes);

// Every regular file below `root`, as relative paths, sorted.
std::vector<std::string> list_files(const std::filesystem::path& root);

}  // namespace psf::test
