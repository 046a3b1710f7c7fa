// The task table: up to 200 tasks of 40 string fields, in grid order, and the
// schedule file "planifs.txt" that mirrors it.
#pragma once

#include <array>
#include <cstdint>
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

struct TaskTable {
    std::array<Task, MaxTasks + 1> rows{};  // row 0 unused; rows 1..TaskCount hold the tasks
    std::int16_t TaskCount = 0;

    std::string& at(int row, int col) {
        return rows[static_cast<std::size_t>(row)][static_cast<std::size_t>(col)];
    }
    const std::string& at(int row, int col) const {
        return rows[static_cast<std::size_t>(row)][static_cast<std::size_t>(col)];
    }
};

// The text of the schedule file for rows 1..TaskCount: 40 quoted fields a
// line, CR LF line ends, no escaping.
std::string format_schedule(const TaskTable& table);

// Values that the format cannot carry (a double quote has no escape, and a
// line break would end the record). Returns the first offending
// "row:column", or an empty string.
std::string unstorable_value(const TaskTable& table);

// A record that does not hold exactly 40 fields: set aside, never shifted
// into its neighbours.
struct SetAsideRecord {
    int line = 0;       // counted from 1 in the file
    int fields = 0;     // how many it holds
    std::string title;  // its first field
};

struct LoadReport {
    int surplus_records = 0;                // whole records beyond the 200th, not loaded
    std::vector<SetAsideRecord> set_aside;  // records of another size, not loaded
    int quotes_dropped = 0;                 // double quotes removed from values
    bool bom = false;                       // a byte-order mark was skipped
    bool latin1 = false;                    // the file was not UTF-8 and was read as Latin-1
    // Where charge_planifs will keep the file's original bytes before it is
    // first rewritten; empty when the file loaded as it is.
    std::string backup;

    bool clean() const {
        return surplus_records == 0 && set_aside.empty() && quotes_dropped == 0 && !bom && !latin1;
    }
};

// Reads the text of a schedule file into rows 1.. of `table`: one record a
// line. A byte-order mark is skipped and a double quote inside a value dropped.
LoadReport parse_schedule(std::string_view bytes, TaskTable& table);

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
