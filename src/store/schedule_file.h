// The data folder and the schedule file "planifs.txt" in it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/result.h"
#include "store/task_table.h"

namespace psf {

struct DataFolderChoice {
    std::string DataFolder;  // ends with "/"; empty when no folder could be used
    std::string error;       // why the folders could not be used
};

// The application-data folder's "Psf", else the program folder's "psfsetin";
// created with its missing parents (owner only) when missing.
DataFolderChoice compute_data_folder(const std::string& app_data,
                                     const std::string& program_folder);

inline constexpr const char* ScheduleFileName = "planifs.txt";
// The tasks' extras (format_extras), beside the schedule file.
inline constexpr const char* ExtrasFileName = "planifs-images.txt";

// The longest value a field can hold as the window stores it: a box takes up
// to 32,767 UTF-16 units, each at most three bytes of UTF-8.
inline constexpr std::uint64_t MaxFieldBytes = 32767 * 3;
// The largest file of records of `fields` quoted values each that 200 tasks
// can fill: every value at most MaxFieldBytes, two quotes and a comma (or the
// line's CR LF) around each, and a byte-order mark before them. A larger
// file is refused before it is read.
constexpr std::uint64_t largest_file(int fields) {
    return MaxTasks * (fields * (MaxFieldBytes + 3) + 1) + 3;
}
inline constexpr std::uint64_t LargestScheduleFile = largest_file(FieldCount);
inline constexpr std::uint64_t LargestExtrasFile = largest_file(4);  // title, kinds, modern, srcset

// A name beside DataFolder + `file_name` for its bytes kept aside, free now
// and sorting by date: "planifs.txt.backup-20261207-100000" for `why`
// "backup" (a "-2" follows when that name is taken).
std::string dated_name(const std::string& DataFolder, const char* file_name, const char* why);

// Fills rows 1.. of `table` from DataFolder + "planifs.txt", then
// `table.extras` from the extras file; a missing file gives no tasks, a
// missing extras file no extras. Fails when a file exists but cannot be
// read, is not a regular file (never waited on), or is larger than its
// largest_file() (never read). When a file did not load as it is,
// `report.backup` (`report.extras.backup`) names a file beside it, not yet
// existing, for its original bytes.
Result<void> charge_planifs(const std::string& DataFolder, TaskTable& table, LoadReport& report);

// What a load that was not clean left out or changed, one sentence a line,
// ending with where the original bytes are kept (when `report.backup` is
// set); empty for a clean load. Of the schedule file alone.
std::vector<std::string> load_warnings(const LoadReport& report);
// The same for the extras file.
std::vector<std::string> extras_warnings(const ExtrasReport& report);

// Replaces the file with rows 1..TaskCount: a temporary file written whole,
// then renamed over it, so the file is always either the old or the new one.
// A file that is a symbolic link is written through to its target. The file
// is readable by the owner only. Temporary files left by a save that was
// killed are removed. Refuses values that the format cannot hold, and fails
// the same way on any write failure. With `backup` (from the
// load report), the file's bytes are first copied there unless that file
// exists already: a backup is never overwritten.
// The extras file is then replaced the same way (`extras_backup` as
// `backup`); it is not created while no task has extras. When it cannot be,
// the schedule file is put back as it was: a failed save changes neither.
Result<void> sauve_planifs(const std::string& DataFolder, const TaskTable& table,
                           const std::string& backup = {}, const std::string& extras_backup = {});

}  // namespace psf
