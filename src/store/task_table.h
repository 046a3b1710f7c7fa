// The task table: up to 200 tasks of 40 string fields, in grid order, and the
// schedule file "planifs.txt" that mirrors it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace psf {

// Column numbers of the task fields (column 0 is never used).
enum Field : int {
    Title = 1,
    StartAddress,
    LinkDepth,
    UserName,
    Password,
    ExistingImagePolicy,
    DestinationFolder,
    FolderLayout,
    ScheduleKind,
    IntervalIndex,
    StartHourIndex,
    StartMinuteIndex,
    DayPeriodIndex,
    OnMonday,
    OnTuesday,
    OnWednesday,
    OnThursday,
    OnFriday,
    OnSaturday,
    OnSunday,
    IncludeName1,
    IncludeType1,
    IncludeName2,
    IncludeType2,
    IncludeName3,
    IncludeType3,
    IncludeName4,
    IncludeType4,
    Drive,
    Reserved,
    ExcludeName1,
    ExcludeType1,
    ExcludeName2,
    ExcludeType2,
    ExcludeName3,
    ExcludeType3,
    ExcludeName4,
    ExcludeType4,
    LastRunDate,
    LastRunTime,
};

inline constexpr int FieldCount = 40;
inline constexpr int MaxTasks = 200;

// The values of ScheduleKind.
inline constexpr std::string_view KindOnDemand = "0";
inline constexpr std::string_view KindManyTimesADay = "1";
inline constexpr std::string_view KindFrom = "2";

using Task = std::array<std::string, FieldCount + 1>;  // index 0 unused

// What a task may choose beyond its 40 fields, kept in a second file beside
// the schedule file so that the schedule file's format stays as it is. The
// default is the scan the 40 fields describe.
struct TaskExtras {
    std::vector<std::string> kinds;  // image kinds in image_kinds() order; empty: gif, jpg, jpeg
    bool modern = false;             // also images named in modern markup
    bool srcset_all = false;         // with `modern`: every srcset candidate, not the largest

    bool is_default() const { return kinds.empty() && !modern && !srcset_all; }
    bool operator==(const TaskExtras&) const = default;
};

// The image kinds a task may take. The engine, which may not include the
// store, names the same list; the scheduler, which sees both, holds them equal.
inline constexpr std::array<std::string_view, 9> StoredImageKinds = {
    "gif", "jpg", "jpeg", "png", "webp", "avif", "svg", "bmp", "ico"};
inline const std::array<std::string_view, 9>& image_kinds() {
    return StoredImageKinds;
}

// Puts `extras` in its one stored form: kinds lower-cased, in image_kinds()
// order, once each, the described three alone (or none) as the default, and
// no srcset choice without `modern`. False when a kind is unknown.
bool normalise(TaskExtras& extras);

// The key of a task's extras: its title without surrounding spaces, as
// Schedule tells tasks apart.
std::string extras_key(std::string_view title);

struct TaskTable {
    std::array<Task, MaxTasks + 1> rows{};  // row 0 unused; rows 1..TaskCount hold the tasks
    std::int16_t TaskCount = 0;
    // By extras_key(); a task without an entry has the default. Entries for
    // titles that no row holds are never saved.
    std::map<std::string, TaskExtras, std::less<>> extras;

    // The extras of the task in `row`.
    TaskExtras extras_of(int row) const;
    // Stores or, for the default, forgets the extras of the task titled `title`.
    void set_extras(std::string_view title, TaskExtras value);

    std::string& at(int row, int col) {
        return rows[static_cast<std::size_t>(row)][static_cast<std::size_t>(col)];
    }
    const std::string& at(int row, int col) const {
        return rows[static_cast<std::size_t>(row)][static_cast<std::size_t>(col)];
    }
};

// The first of rows 1..TaskCount whose title equals `title`, both without the
// spaces around them (as Schedule and the runner tell tasks apart), or 0.
int find_task(const TaskTable& table, std::string_view title);

// The text of the schedule file for rows 1..TaskCount: 40 quoted fields a
// line, CR LF line ends, no escaping.
std::string format_schedule(const TaskTable& table);

// The characters a value cannot hold in the schedule file: a double quote
// has no escape, and a line break would end the record.
inline constexpr std::string_view Unstorable = "\"\r\n";

// The first value of rows 1..TaskCount that holds an Unstorable character,
// as "row:column", or an empty string.
std::string unstorable_value(const TaskTable& table);

// A record that does not hold exactly 40 fields: set aside, never shifted
// into its neighbours.
struct SetAsideRecord {
    int line = 0;       // counted from 1 in the file
    int fields = 0;     // how many it holds
    std::string title;  // its first field
};

// What the extras file held that was not loaded.
struct ExtrasReport {
    int set_aside = 0;  // lines that are not one task's extras, or repeat a title
    int orphans = 0;    // entries for a title no loaded task has, so never more than 200 load
    // Where charge_planifs will keep the extras file's original bytes before
    // it is first rewritten; empty when it loaded as it is.
    std::string backup;

    bool clean() const { return set_aside == 0 && orphans == 0; }
};

struct LoadReport {
    ExtrasReport extras;
    int surplus_records = 0;                // whole records beyond the 200th, not loaded
    std::vector<SetAsideRecord> set_aside;  // records of another size, not loaded
    int quotes_dropped = 0;                 // double quotes removed from values
    bool bom = false;                       // a byte-order mark was skipped
    bool latin1 = false;                    // the file was not UTF-8 and was read as Latin-1
    // Where charge_planifs will keep the file's original bytes before it is
    // first rewritten; empty when the file loaded as it is.
    std::string backup;

    // The schedule file loaded as it is.
    bool schedule_clean() const {
        return surplus_records == 0 && set_aside.empty() && quotes_dropped == 0 && !bom && !latin1;
    }
    bool clean() const { return schedule_clean() && extras.clean(); }
};

// Reads the text of a schedule file into rows 1.. of `table`: one record a
// line. A byte-order mark is skipped and a double quote inside a value dropped.
LoadReport parse_schedule(std::string_view bytes, TaskTable& table);

// The text of the extras file for the tasks in rows 1..TaskCount that have
// extras, in table order, one line a title:
// "TITLE","KIND,KIND…","MODERN","SRCSET" with CR LF ends; MODERN is "0" or
// "1", SRCSET "largest" or "all", KIND empty for the default kinds.
std::string format_extras(const TaskTable& table);

// Reads the text of an extras file into `table.extras`, keeping only entries
// for the titles of rows 1..TaskCount.
ExtrasReport parse_extras(std::string_view bytes, TaskTable& table);

// The line of `bytes` that starts at `pos`, without its end (CR LF, LF or a
// lone CR); `pos` moves past the end.
std::string_view next_line(std::string_view bytes, std::size_t& pos);

// Reads a field as the run and the rules do: the decimal number at the start
// (leading blanks skipped), 0 when there is none, clamped to 16 bits.
std::int16_t read_number(std::string_view text);

}  // namespace psf

namespace psf {

// The five cells a task shows in the grid: title, address, "Yes"/"No" for
// navigation, destination, schedule.
std::array<std::string, 5> grid_cells(const Task& task);

// "Every day", "Every 2 days" … "Every 7 days".
const std::array<std::string, 7>& day_period_texts();

}  // namespace psf
