// A fresh folder under the system's temporary folder, removed with its content.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace psf::test {

class TempDir {
  public:
    TempDir();
    explicit TempDir(const std::filesystem::path& parent);  // inside `parent` instead
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    std::filesystem::path operator/(const std::string& rel) const { return path_ / rel; }

  private:
    std::filesystem::path path_;
};

std::string read_file(const std::filesystem::path& p);
void write_file(const std::filesystem::path& p, const std::string& bytes);

// Every regular file below `root`, as relative paths, sorted.
std::vector<std::string> list_files(const std::filesystem::path& root);

}  // namespace psf::test
