// The schedule file loader, and the round trip through the file: whatever
// loads and can be saved must load back equal.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "fuzz/fuzz_support.h"
#include "store/schedule_file.h"

namespace fs = std::filesystem;
using namespace psf;

namespace {

// Two folders for the whole run, in/ and out/, in memory when the system has
// /dev/shm (the save syncs the file to disk).
struct Folders {
    std::string root =
        std::string(fs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp") + "/picsifter-fuzz-XXXXXX";
    std::string in = ((void)::mkdtemp(root.data()), root + "/in/"), out = root + "/out/";
    Folders() { fs::create_directory(in), fs::create_directory(out); }
    ~Folders() { fs::remove_all(root, ec); }
    std::error_code ec;
};

std::string read_whole(const fs::path& file) {
    std::ifstream f(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

// Well-formed UTF-8 as Unicode defines it: no overlong forms, no surrogates,
// nothing above U+10FFFF.
bool well_formed_utf8(std::string_view s) {
    for (std::size_t i = 0, len = 1; i < s.size(); i += len) {
        const auto c = static_cast<unsigned char>(s[i]);
        len = c < 0x80 ? 1 : c < 0xC2 ? 0 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : c < 0xF5 ? 4 : 0;
        if (len == 0 || i + len > s.size()) return false;
        const unsigned lo = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;  // the second byte's range
        const unsigned hi = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
        for (std::size_t k = 1; k < len; ++k) {
            const auto b = static_cast<unsigned char>(s[i + k]);
            if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return false;
        }
    }
    return true;
}

bool same_tasks(const TaskTable& a, const TaskTable& b) {
    const auto first = a.rows.begin() + 1;
    return a.TaskCount == b.TaskCount && std::equal(first, first + a.TaskCount, b.rows.begin() + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Folders folders;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    FUZZ_CHECK((std::ofstream(folders.in + ScheduleFileName, std::ios::binary) << bytes).good(),
               "the input file is written");

    // Kept between inputs, like the window's table: rows above the count are stale.
    static const auto tables = std::make_unique<std::array<TaskTable, 3>>();
    auto& [loaded, parsed, back] = *tables;
    LoadReport report, again;
    FUZZ_CHECK(charge_planifs(folders.in, loaded, report), "a readable file loads");
    FUZZ_CHECK(loaded.TaskCount >= 0 && loaded.TaskCount <= MaxTasks,
               "the loader keeps at most 200 tasks");
    FUZZ_CHECK(
        report.surplus_records == 0 || (report.surplus_records > 0 && loaded.TaskCount == MaxTasks),
        "records are dropped, and counted up, only beyond the 200th");

    for (int row = 1; row <= loaded.TaskCount; ++row)
        for (int col = 1; col <= FieldCount; ++col)
            FUZZ_CHECK(well_formed_utf8(loaded.at(row, col)),
                       "loaded values are UTF-8 text, whatever the file's encoding");

    parse_schedule(bytes, parsed);
    FUZZ_CHECK(same_tasks(loaded, parsed), "the file loads as its text parses");

    const fs::path saved = folders.out + ScheduleFileName;
    if (!unstorable_value(loaded).empty()) {
        const std::string before = read_whole(saved);
        FUZZ_CHECK(!sauve_planifs(folders.out, loaded), "a double quote is refused");
        FUZZ_CHECK(read_whole(saved) == before, "a refused save keeps the old file");
        return 0;
    }
    FUZZ_CHECK(sauve_planifs(folders.out, loaded), "a storable table saves");
    FUZZ_CHECK(read_whole(saved) == format_schedule(loaded), "the file holds the formatted table");

    FUZZ_CHECK(charge_planifs(folders.out, back, again), "a saved file loads");
    FUZZ_CHECK(same_tasks(loaded, back), "a saved table loads back equal");
    FUZZ_CHECK(again.clean(), "a saved file is complete UTF-8");
    return 0;
}
