// The schedule file loader, and the round trip through the file: whatever
// loads and can be saved must load back equal.

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "store/schedule_file.h"

namespace fs = std::filesystem;
using namespace psf;

namespace {

// Two folders for the whole run, in memory when the system has /dev/shm
// (the save syncs the file to disk).
struct Folders {
    fs::path root;
    std::string in, out;

    Folders() {
        std::string pattern =
            (fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path()) /
            "picsifter-fuzz-XXXXXX";
        FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr, "a temporary folder");
        root = pattern;
        fs::create_directory(root / "in");
        fs::create_directory(root / "out");
        in = (root / "in").string() + "/";
        out = (root / "out").string() + "/";
    }
    ~Folders() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
};

std::string read_whole(const fs::path& file) {
    std::ifstream f(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

// Well-formed UTF-8 as Unicode defines it: no overlong forms, no surrogates,
// nothing above U+10FFFF.
bool well_formed_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t len = 0;
        unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
        if (c < 0x80) {
            len = 1;
        } else if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (i + len > s.size()) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const auto b = static_cast<unsigned char>(s[i + k]);
            if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return false;
        }
        i += len;
    }
    return true;
}

bool same_tasks(const TaskTable& a, const TaskTable& b) {
    if (a.TaskCount != b.TaskCount) return false;
    for (int row = 1; row <= a.TaskCount; ++row)
        if (a.rows[static_cast<std::size_t>(row)] != b.rows[static_cast<std::size_t>(row)])
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Folders folders;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    {
        std::ofstream f(fs::path(folders.in) / ScheduleFileName,
                        std::ios::binary | std::ios::trunc);
        f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        FUZZ_CHECK(f.good(), "the input file is written");
    }

    // Kept between inputs, like the window's table: rows above the count are stale.
    static auto loaded = std::make_unique<TaskTable>();
    static auto parsed = std::make_unique<TaskTable>();
    static auto back = std::make_unique<TaskTable>();
    LoadReport report;
    std::string error;
    FUZZ_CHECK(charge_planifs(folders.in, *loaded, report, error), "a readable file loads");
    FUZZ_CHECK(loaded->TaskCount >= 0 && loaded->TaskCount <= MaxTasks,
               "the loader keeps at most 200 tasks");
    FUZZ_CHECK(report.surplus_records >= 0, "a surplus is counted up");
    FUZZ_CHECK(report.surplus_records == 0 || loaded->TaskCount == MaxTasks,
               "records are dropped only beyond the 200th");

    for (int row = 1; row <= loaded->TaskCount; ++row)
        for (int col = 1; col <= FieldCount; ++col)
            FUZZ_CHECK(well_formed_utf8(loaded->at(row, col)),
                       "loaded values are UTF-8 text, whatever the file's encoding");

    parse_schedule(bytes, *parsed);
    FUZZ_CHECK(same_tasks(*loaded, *parsed), "the file loads as its text parses");

    const fs::path saved = fs::path(folders.out) / ScheduleFileName;
    if (!unstorable_value(*loaded).empty()) {
        const std::string before = read_whole(saved);
        FUZZ_CHECK(!sauve_planifs(folders.out, *loaded, error), "a double quote is refused");
        FUZZ_CHECK(read_whole(saved) == before, "a refused save keeps the old file");
        return 0;
    }
    FUZZ_CHECK(sauve_planifs(folders.out, *loaded, error), "a storable table saves");
    const std::string text = read_whole(saved);
    FUZZ_CHECK(text == format_schedule(*loaded), "the file holds the formatted table");

    LoadReport again;
    FUZZ_CHECK(charge_planifs(folders.out, *back, again, error), "a saved file loads");
    FUZZ_CHECK(same_tasks(*loaded, *back), "a saved table loads back equal");
    FUZZ_CHECK(again.clean(), "a saved file is complete UTF-8");
    return 0;
}
