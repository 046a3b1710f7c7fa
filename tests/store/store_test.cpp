// The schedule file: its format, damaged files, the data folder, and a save
// replacing the file whole, leftovers of a killed one and a full disk.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>

#include "store/schedule_file.h"
#include "support/full_disk.h"
#include "support/table.h"
#include "support/temp_dir.h"

using namespace psf;
using psf::test::file_names;
using psf::test::read_file;
using psf::test::TempDir;
using psf::test::write_file;
namespace fs = std::filesystem;

namespace {

// `count` tasks of distinct values.
std::unique_ptr<TaskTable> tasks(int count) {
    auto t = std::make_unique<TaskTable>();
    t->TaskCount = static_cast<std::int16_t>(count);
    for (int row = 1; row <= count; ++row) {
        for (int c = 1; c <= FieldCount; ++c) t->at(row, c) = std::to_string(row * 100 + c);
    }
    return t;
}

// No file loads as no tasks, saved as an empty file; a value the file cannot
// hold fails the save. A save writes a temporary and renames it over the
// file, owner only (a killed save leaves the old file whole); it removes a
// killed save's temporary, never names that only look alike nor links, and a
// load never takes a leftover for the file.
TEST(StoreSave, RenamesANewFileInAndRemovesLeftovers) {
    TempDir dir;
    const fs::path file = dir / ScheduleFileName;
    const auto full = tasks(60), small = tasks(40), loaded = tasks(1), bad = tasks(1);
    LoadReport report;
    ASSERT_TRUE(charge_planifs(dir.str(), *loaded, report) && sauve_planifs(dir.str(), *loaded));
    for (const char* title : {"say \"hi\"", "lone\rCR", "lone\nLF"}) {
        bad->at(1, Title) = title;
        const Result<void> refused = sauve_planifs(dir.str(), *bad);
        EXPECT_NE((refused ? "" : refused.error().text).find("double quote or a line break"),
                  std::string::npos);
        EXPECT_EQ(read_file(file), "");
    }
    ASSERT_TRUE(sauve_planifs(dir.str(), *small));
    fs::permissions(file, fs::perms::others_read | fs::perms::group_read, fs::perm_options::add);
    fs::create_hard_link(file, dir / "old");
    write_file(dir / ".planifs.txt.a1B2c3", format_schedule(*full).substr(0, 500));
    for (const char* name : {".planifs.txt.keep", "planifs.txt.bak", "outside.txt"})
        write_file(dir / name, name);
    fs::create_symlink(dir / "outside.txt", dir / ".planifs.txt.Zz9Zz9");
    ASSERT_TRUE(charge_planifs(dir.str(), *loaded, report));
    ASSERT_TRUE(sauve_planifs(dir.str(), *full));
    EXPECT_EQ(file_names(dir.path()) + " " + read_file(dir / ".planifs.txt.Zz9Zz9"),
              ".planifs.txt.keep,old,outside.txt,planifs.txt,planifs.txt.bak outside.txt");
    EXPECT_TRUE(read_file(file) == format_schedule(*full) &&
                read_file(dir / "old") == format_schedule(*small) &&
                format_schedule(*loaded) == format_schedule(*small))
        << "written over in place, or a leftover loaded";
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

// A full table saved where an old small one lies, on a full disk, fails with
// the cause and keeps the old file.
TEST(StoreFullDisk, SaveFailsAndKeepsTheOldFile) {
    using psf::test::DiskFull;
    const auto new_tasks = tasks(MaxTasks);
    const std::string old_bytes = format_schedule(*tasks(3));
    const std::size_t new_size = format_schedule(*new_tasks).size();
    for (const auto& [how, room] : {std::pair{DiskFull::FileSize, std::size_t{0}},
                                    {DiskFull::FileSize, new_size / 2},
                                    {DiskFull::FileSize, new_size - 1},
                                    {DiskFull::Tmpfs, std::size_t{0}}}) {
        SCOPED_TRACE(std::to_string(room) + " bytes of room");
        TempDir dir;
        auto run = psf::test::run_on_full_disk(
            how, dir.path(), room,
            [&](const fs::path& work) { write_file(work / ScheduleFileName, old_bytes); },
            [&](const fs::path& work, psf::test::Facts& facts) {
                const Result<void> saved = sauve_planifs(work.string() + "/", *new_tasks);
                const std::string error = saved ? "" : saved.error().text;
                const bool kept = read_file(work / ScheduleFileName) == old_bytes;
                facts["seen"] = (saved ? "saved, " : "") + error.substr(work.string().size()) +
                                (kept ? ", old kept, " : ", ") + file_names(work);
            });
        if (how == DiskFull::Tmpfs && !run.skipped.empty()) continue;  // needs a mount
        // No temporary file left behind.
        EXPECT_EQ(run.skipped + run.facts["exception"] + run.facts["seen"],
                  "/" + std::string(ScheduleFileName) + ": " +
                      std::strerror(how == DiskFull::Tmpfs ? ENOSPC : EFBIG) + ", old kept, " +
                      ScheduleFileName);
    }
}

// The bytes of a parse.txt row: ' a double quote, %N N commas, #N N empty
// quoted fields after commas, ~ CR LF, C escapes.
std::string bytes_of(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\'') out += '"';
        if (c == '~') out += "\r\n";
        std::size_t digits = 0;
        if (c == '%') out.append(std::stoul(text.substr(i + 1), &digits), ','), i += digits;
        for (std::size_t n = c == '#' ? std::stoul(text.substr(i + 1), &digits) : 0; n > 0; --n)
            out += ",\"\"", i += n == 1 ? digits : 0;
        if (c == '\\' && text[i + 1] == 'x') out += char(std::stoi(text.substr(i + 2, 2), {}, 16));
        if (c == '\\' && text[i + 1] != 'x') out += text[i + 1] == 'r' ? '\r' : '\n';
        if (c == '\\') i += text[i + 1] == 'x' ? 3 : 1;
        if (c != '\'' && c != '~' && c != '%' && c != '#' && c != '\\') out += c;
    }
    return out;
}

TEST(StoreFile, ParsesDamagedAndForeignFiles) {
    auto rows = psf::test::read_table("store/parse.txt", 9);
    rows.push_back({"more than 200 records", {"", "", "200", "t200", "0", "0", "3", "0", "0"}});
    for (int i = 1; i <= 203; ++i) rows.back().fields[1] += "'t" + std::to_string(i) + "'%39~";
    for (const auto& r : rows) {
        SCOPED_TRACE(r.where);
        TaskTable table;
        const LoadReport report = parse_schedule(bytes_of(r[1]), table);
        EXPECT_EQ(std::to_string(table.TaskCount), r[2]) << "tasks";
        EXPECT_EQ(table.at(std::max<int>(table.TaskCount, 1), Title), bytes_of(r[3]));
        const std::pair<const char*, std::size_t> flags[] = {
            {"set aside", report.set_aside.size()},
            {"quotes dropped", report.quotes_dropped},
            {"surplus", report.surplus_records},
            {"Latin-1", report.latin1},
            {"BOM", report.bom}};
        for (int k = 0; k < 5; ++k)
            EXPECT_EQ(std::to_string(flags[k].second), r[4 + k]) << flags[k].first;
        EXPECT_EQ(report.clean(), r[4] + r[5] + r[6] + r[7] + r[8] == "00000");
        EXPECT_TRUE(unstorable_value(table).empty()) << "every load can be saved";
        EXPECT_EQ(format_schedule(table) == bytes_of(r[1]), r[0].starts_with("as written"));
        TaskTable back;
        EXPECT_TRUE(parse_schedule(format_schedule(table), back).clean());
        EXPECT_TRUE(back.TaskCount == table.TaskCount && back.rows == table.rows);
    }
}

TEST(StoreDataFolder, ChoosesCreatesAndFallsBack) {
    TempDir dir;
    write_file(dir / "blocked", "a file, not a folder");
    for (const auto& r : psf::test::read_table("store/data_folder.txt", 3)) {
        const auto c =
            compute_data_folder(r[0] == "  " ? r[0] : (dir / r[0]).string(), (dir / r[1]).string());
        EXPECT_EQ(c.DataFolder, r[2].empty() ? "" : (dir / r[2]).string()) << r.where;
        EXPECT_EQ(c.error.empty(), !r[2].empty()) << r.where;
    }
    EXPECT_EQ(fs::status(dir / "home/.local/share/Psf").permissions(), fs::perms::owner_all);
}

TEST(StoreGrid, CellsOfATask) {
    Task t{};
    t[Title] = "T", t[StartAddress] = "http://h/", t[DestinationFolder] = "/d";
    for (const auto& r : psf::test::read_table("store/grid_cells.txt", 5)) {
        t[LinkDepth] = r[0], t[ScheduleKind] = r[1], t[DayPeriodIndex] = r[2];
        EXPECT_EQ(grid_cells(t), (std::array<std::string, 5>{"T", "http://h/", r[3], "/d", r[4]}))
            << r.where;
    }
}

}  // namespace
