#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "store/schedule_file.h"
#include "support/temp_dir.h"

using namespace psf;
using psf::test::list_files;
using psf::test::read_file;
using psf::test::TempDir;
using psf::test::write_file;

namespace {

Task sample(const std::string& title) {
    Task t{};
    for (int c = 1; c <= FieldCount; ++c) t[static_cast<std::size_t>(c)] = std::to_string(c);
    t[Title] = title;
    t[StartAddress] = "http://h/a,b.htm";  // a comma inside a value
    t[Reserved] = "";
    t[LastRunDate] = "2026/03/05";
    t[LastRunTime] = "09:05";
    return t;
}

std::string line_of(const Task& t) {
    std::string s;
    for (int c = 1; c <= FieldCount; ++c)
        s += (c > 1 ? ",\"" : "\"") + t[static_cast<std::size_t>(c)] + "\"";
    return s + "\r\n";
}

TEST(StoreFile, WritesTheFormatByteForByteAndReadsItBack) {
    TempDir dir;
    TaskTable table;
    table.TaskCount = 2;
    table.rows[1] = sample(" Spaced title ");
    table.rows[2] = sample("Été");
    std::string error;
    ASSERT_TRUE(sauve_planifs(dir.str() + "/", table, error)) << error;
    EXPECT_EQ(read_file(dir / "planifs.txt"), line_of(table.rows[1]) + line_of(table.rows[2]));
    EXPECT_EQ(list_files(dir.path()),
              std::vector<std::string>{"planifs.txt"});  // no temporary left
    struct stat st {};
    ASSERT_EQ(::stat((dir / "planifs.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    TaskTable back;
    LoadReport report;
    ASSERT_TRUE(charge_planifs(dir.str() + "/", back, report, error));
    ASSERT_EQ(back.TaskCount, 2);
    EXPECT_EQ(back.rows[1], table.rows[1]);
    EXPECT_EQ(back.rows[2], table.rows[2]);
    EXPECT_FALSE(report.latin1);
}

// A line of `fields` quoted fields, the first one `title`.
std::string record(const std::string& title, int fields = FieldCount) {
    std::string s = "\"" + title + "\"";
    for (int c = 2; c <= fields; ++c) s += ",\"\"";
    return s + "\r\n";
}

TEST(StoreFile, ParsesDamagedAndForeignFiles) {
    std::string many;
    for (int i = 1; i <= 203; ++i) many += record("t" + std::to_string(i));
    struct Case {
        const char* name;
        std::string bytes;
        int count;
        std::string last_title;
        int set_aside, quotes, surplus;
        bool latin1, bom;
    };
    const std::vector<Case> cases = {
        {"empty file", "", 0, "", 0, 0, 0, false, false},
        {"only line ends", "\r\n\r\n", 0, "", 0, 0, 0, false, false},
        {"unquoted fields trimmed", "  plain title ,x" + std::string(38, ',') + "\r\n", 1,
         "plain title", 0, 0, 0, false, false},
        {"LF and lone CR line ends",
         "\"a\"" + std::string(39, ',') + "\n\"b\"" + std::string(39, ',') + "\r", 2, "b", 0, 0, 0,
         false, false},
        {"more than 200 records", many, 200, "t200", 0, 0, 3, false, false},
        {"incomplete last record set aside", record("a") + "\"b\",\"x\"\r\n", 1, "a", 1, 0, 0,
         false, false},
        {"39 fields set aside, no shift", record("a") + record("b", 39) + record("c"), 2, "c", 1, 0,
         0, false, false},
        {"41 fields set aside, no shift", record("a") + record("b", 41) + record("c"), 2, "c", 1, 0,
         0, false, false},
        {"byte-order mark skipped", "\xEF\xBB\xBF" + record("a"), 1, "a", 0, 0, 0, false, true},
        {"quote inside a quoted value", "\"a\"b\"" + std::string(39, ',') + "\r\n", 1, "ab", 0, 1,
         0, false, false},
        {"quote and comma inside a value", "\"a,\"b\"" + std::string(39, ',') + "\r\n", 1, "a,b", 0,
         1, 0, false, false},
        {"quote in an unquoted value", "a\"b" + std::string(39, ',') + "\r\n", 1, "ab", 0, 1, 0,
         false, false},
        {"quote never closed", "\"ab" + std::string(39, ',') + "\r\n", 0, "", 1, 1, 0, false,
         false},
        {"Latin-1 file", "\"\xC9t\xE9\"" + std::string(39, ',') + "\r\n", 1, "Été", 0, 0, 0, true,
         false},
        // Byte runs shaped like UTF-8 that Unicode forbids: the file is not UTF-8.
        {"surrogate form", "\"\xED\xA0\xBF\"" + std::string(39, ',') + "\r\n", 1,
         "\xC3\xAD\xC2\xA0\xC2\xBF", 0, 0, 0, true, false},
        {"overlong three bytes", "\"\xE0\x80\xAF\"" + std::string(39, ',') + "\r\n", 1,
         "\xC3\xA0\xC2\x80\xC2\xAF", 0, 0, 0, true, false},
        {"overlong four bytes", "\"\xF0\x80\x80\xAF\"" + std::string(39, ',') + "\r\n", 1,
         "\xC3\xB0\xC2\x80\xC2\x80\xC2\xAF", 0, 0, 0, true, false},
        {"beyond U+10FFFF", "\"\xF4\x90\x80\x80\"" + std::string(39, ',') + "\r\n", 1,
         "\xC3\xB4\xC2\x90\xC2\x80\xC2\x80", 0, 0, 0, true, false},
        {"lead byte F5", "\"\xF5\x80\x80\x80\"" + std::string(39, ',') + "\r\n", 1,
         "\xC3\xB5\xC2\x80\xC2\x80\xC2\x80", 0, 0, 0, true, false},
        {"highest code point stays UTF-8", "\"\xF4\x8F\xBF\xBF\"" + std::string(39, ',') + "\r\n",
         1, "\xF4\x8F\xBF\xBF", 0, 0, 0, false, false},
        {"last code point before surrogates stays UTF-8",
         "\"\xED\x9F\xBF\"" + std::string(39, ',') + "\r\n", 1, "\xED\x9F\xBF", 0, 0, 0, false,
         false},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        TaskTable table;
        LoadReport r = parse_schedule(tc.bytes, table);
        EXPECT_EQ(table.TaskCount, tc.count);
        if (tc.count > 0) {
            EXPECT_EQ(table.at(tc.count, Title), tc.last_title);
        }
        EXPECT_EQ(r.set_aside.size(), static_cast<std::size_t>(tc.set_aside));
        EXPECT_EQ(r.quotes_dropped, tc.quotes);
        EXPECT_EQ(r.surplus_records, tc.surplus);
        EXPECT_EQ(r.latin1, tc.latin1);
        EXPECT_EQ(r.bom, tc.bom);
        EXPECT_EQ(r.clean(), tc.set_aside + tc.quotes + tc.surplus == 0 && !tc.latin1 && !tc.bom);
        EXPECT_TRUE(unstorable_value(table).empty()) << "every load can be saved";
    }
}

TEST(StoreFile, EmptyTablesSaveEmptyAndUnstorableValuesKeepTheOldFile) {
    TempDir dir;
    TaskTable table;
    LoadReport report;
    std::string error;
    ASSERT_TRUE(charge_planifs(dir.str(), table, report, error));  // no file yet
    EXPECT_EQ(table.TaskCount, 0);
    ASSERT_TRUE(sauve_planifs(dir.str(), table, error));
    EXPECT_EQ(read_file(dir / "planifs.txt"), "");
    table.TaskCount = 1;
    for (const char* title : {"say \"hi\"", "two\r\nlines"}) {
        table.rows[1] = sample(title);
        EXPECT_FALSE(sauve_planifs(dir.str(), table, error));
        EXPECT_NE(error.find("double quote or a line break"), std::string::npos);
        EXPECT_EQ(read_file(dir / "planifs.txt"), "");
    }
}

TEST(StoreDataFolder, ChoosesCreatesAndFallsBack) {
    TempDir dir;
    auto c = compute_data_folder((dir / "home/.local/share").string(), (dir / "bin").string());
    EXPECT_EQ(c.DataFolder, (dir / "home/.local/share/Psf/").string());
    struct stat st {};
    ASSERT_EQ(::stat((dir / "home/.local/share/Psf").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    c = compute_data_folder("  ", (dir / "bin").string());
    EXPECT_EQ(c.DataFolder, (dir / "bin/psfsetin/").string());

    write_file(dir / "blocked", "a file, not a folder");
    c = compute_data_folder((dir / "blocked").string(), (dir / "bin2").string());
    EXPECT_EQ(c.DataFolder, (dir / "bin2/psfsetin/").string());

    c = compute_data_folder((dir / "blocked").string(), (dir / "blocked").string());
    EXPECT_TRUE(c.DataFolder.empty());
    EXPECT_FALSE(c.error.empty());
}

TEST(StoreGrid, CellsOfATask) {
    Task t{};
    t[Title] = "T";
    t[StartAddress] = "http://h/";
    t[DestinationFolder] = "/d";
    struct Case {
        std::string depth, kind, period, nav, schedule;
    };
    const std::vector<Case> cases = {
        {"0", "0", "", "No", "On demand"},
        {"2", "1", "", "Yes", "Many times a day"},
        {"", "2", "1", "Yes", "Every 2 days"},
        {"4", "2", "9", "Yes", ""},
        {"0", "7", "0", "No", ""},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.depth + "/" + tc.kind + "/" + tc.period);
        t[LinkDepth] = tc.depth;
        t[ScheduleKind] = tc.kind;
        t[DayPeriodIndex] = tc.period;
        auto cells = grid_cells(t);
        EXPECT_EQ(cells[0], "T");
        EXPECT_EQ(cells[2], tc.nav);
        EXPECT_EQ(cells[3], "/d");
        EXPECT_EQ(cells[4], tc.schedule);
    }
}

TEST(StoreNumbers, ReadNumber) {
    EXPECT_EQ(read_number("17"), 17);
    EXPECT_EQ(read_number("  3x"), 3);
    EXPECT_EQ(read_number(""), 0);
    EXPECT_EQ(read_number("abc"), 0);
    EXPECT_EQ(read_number("-2"), -2);
    EXPECT_EQ(read_number("99999999999"), 32767);
}

}  // namespace
