#include "support/temp_dir.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace fs = std::filesystem;

namespace psf::test {

TempDir::TempDir(const fs::path& parent) {
    std::string name = (parent / "picsifter-test-XXXXXX").string();
    if (!::mkdtemp(name.data())) throw std::runtime_error("mkdtemp failed");
    path_ = name;
}

std::string read_file(const fs::path& p) {
    return {std::istreambuf_iterator<char>(std::ifstream(p, std::ios::binary).rdbuf()), {}};
}

void write_file(const fs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
}

std::vector<std::string> list_files(const fs::path& root) {
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file() && !e.is_symlink()) out.push_back(fs::relative(e, root).string());
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace psf::test
