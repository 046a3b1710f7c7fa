#include <gtest/gtest.h>

#include <filesystem>

#include "store/schedule_file.h"
#include "support/table.h"
#include "support/temp_dir.h"

using namespace psf;
using psf::test::read_file;
using psf::test::TempDir;
namespace fs = std::filesystem;

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

constexpr auto OwnerOnly = fs::perms::owner_read | fs::perms::owner_write;

TEST(StoreFile, WritesTheFormatByteForByteAndReadsItBack) {
    TempDir dir;
    TaskTable table;
    table.TaskCount = 2;
    table.rows[1] = sample(" Spaced title ");
    table.rows[2] = sample("Été");
    std::string error, lines;
    ASSERT_TRUE(sauve_planifs(dir.str() + "/", table, error)) << error;
    for (int r = 1; r <= 2; ++r)
        for (int c = 1; c <= FieldCount; ++c)
            lines += (c > 1 ? ",\"" : "\"") + table.at(r, c) + (c < FieldCount ? "\"" : "\"\r\n");
    EXPECT_EQ(read_file(dir / "planifs.txt"), lines);
    EXPECT_EQ(psf::test::list_files(dir.path()), std::vector<std::string>{"planifs.txt"});
    EXPECT_EQ(fs::status(dir / "planifs.txt").permissions(), OwnerOnly);
    TaskTable back;
    LoadReport report;
    ASSERT_TRUE(charge_planifs(dir.str() + "/", back, report, error));
    EXPECT_TRUE(back.TaskCount == 2 && back.rows == table.rows);
    EXPECT_TRUE(report.clean());
}

// The bytes of a parse.txt row: ' a double quote, %N N commas, ~ CR LF, C escapes.
std::string bytes_of(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\'') out += '"';
        if (c == '~') out += "\r\n";
        std::size_t digits = 0;
        if (c == '%') out.append(std::stoul(text.substr(i + 1), &digits), ','), i += digits;
        if (c == '\\' && text[i + 1] == 'x') out += char(std::stoi(text.substr(i + 2, 2), {}, 16));
        if (c == '\\' && text[i + 1] != 'x') out += text[i + 1] == 'r' ? '\r' : '\n';
        if (c == '\\') i += text[i + 1] == 'x' ? 3 : 1;
        if (c != '\'' && c != '~' && c != '%' && c != '\\') out += c;
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
        EXPECT_EQ(table.TaskCount, std::stoi(r[2]));
        EXPECT_EQ(table.at(std::max<int>(table.TaskCount, 1), Title), bytes_of(r[3]));
        EXPECT_EQ(report.set_aside.size(), std::stoul(r[4]));
        EXPECT_EQ(report.quotes_dropped, std::stoi(r[5]));
        EXPECT_EQ(report.surplus_records, std::stoi(r[6]));
        EXPECT_EQ(report.latin1, r[7] == "1");
        EXPECT_EQ(report.bom, r[8] == "1");
        EXPECT_EQ(report.clean(), r[4] + r[5] + r[6] + r[7] + r[8] == "00000");
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
    for (const char* title : {"say \"hi\"", "lone\rCR", "lone\nLF"}) {
        table.rows[1] = sample(title);
        EXPECT_FALSE(sauve_planifs(dir.str(), table, error));
        EXPECT_NE(error.find("double quote or a line break"), std::string::npos);
        EXPECT_EQ(read_file(dir / "planifs.txt"), "");
    }
}

TEST(StoreDataFolder, ChoosesCreatesAndFallsBack) {
    TempDir dir;
    psf::test::write_file(dir / "blocked", "a file, not a folder");
    const std::array<std::string, 3> cases[] = {
        // data home, program folder, the data folder chosen
        {"home/.local/share", "bin", "home/.local/share/Psf/"},
        {"  ", "bin", "bin/psfsetin/"},
        {"blocked", "bin2", "bin2/psfsetin/"},
        {"blocked", "blocked", ""},
    };
    for (const auto& [home, program, chosen] : cases) {
        const auto c = compute_data_folder(home == "  " ? home : (dir / home).string(),
                                           (dir / program).string());
        EXPECT_EQ(c.DataFolder, chosen.empty() ? "" : (dir / chosen).string()) << home;
        EXPECT_EQ(c.error.empty(), !chosen.empty()) << home;
    }
    EXPECT_EQ(fs::status(dir / "home/.local/share/Psf").permissions(), fs::perms::owner_all);
}

TEST(StoreGrid, CellsOfATask) {
    Task t{};
    t[Title] = "T";
    t[StartAddress] = "http://h/";
    t[DestinationFolder] = "/d";
    const std::array<std::string, 5> cases[] = {
        // depth, kind, day period, then the Navigate and Schedule cells
        {"0", "0", "", "No", "On demand"},
        {"2", "1", "", "Yes", "Many times a day"},
        {"", "2", "1", "Yes", "Every 2 days"},
        {"4", "2", "9", "Yes", ""},
        {"0", "7", "0", "No", ""},
    };
    for (const auto& [depth, kind, period, nav, schedule] : cases) {
        t[LinkDepth] = depth;
        t[ScheduleKind] = kind;
        t[DayPeriodIndex] = period;
        EXPECT_EQ(grid_cells(t),
                  (std::array<std::string, 5>{"T", "http://h/", nav, "/d", schedule}))
            << depth << "/" << kind << "/" << period;
    }
}

TEST(StoreNumbers, ReadNumber) {
    for (const auto& [text, value] : std::vector<std::pair<std::string, int>>{
             {"17", 17}, {"  3x", 3}, {"", 0}, {"abc", 0}, {"-2", -2}, {"99999999999", 32767}})
        EXPECT_EQ(read_number(text), value) << text;
}

}  // namespace
