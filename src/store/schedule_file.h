// The data folder and the schedule file "planifs.txt" in it.
#pragma once

#include <string>

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

// Fills rows 1.. of `table` from DataFolder + "planifs.txt"; a missing file
// gives no tasks. False with `error` set when the file exists but cannot be read.
bool charge_planifs(const std::string& DataFolder, TaskTable& table, LoadReport& report,
                    std::string& error);

// Replaces the file with rows 1..TaskCount: a temporary file written whole,
// then renamed over it, so the file is always either the old or the new one.
// The file is readable by the owner only. Temporary files left by a save that
// was killed are removed. Refuses (false, `error`) values that the format
// cannot hold, and reports any write failure the same way.
bool sauve_planifs(const std::string& DataFolder, const TaskTable& table, std::string& error);

}  // namespace psf
