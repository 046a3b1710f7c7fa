#include "store/data_folder.h"

#include "store/schedule_file.h"

namespace psf {

DataFolderStore::DataFolderStore() = default;
DataFolderStore::~DataFolderStore() = default;

void DataFolderStore::drop(const std::string& why) {
    path_.clear();
    error_ = why;
}

bool DataFolderStore::find(const std::string& app_data, const std::string& program_folder) {
    const DataFolderChoice choice = compute_data_folder(app_data, program_folder);
    path_ = choice.DataFolder;
    error_ = choice.error;
    return !path_.empty();
}

LockState DataFolderStore::lock(const char* holder) {
    if (path_.empty()) return LockState::Unusable;
    lock_ = std::make_unique<DataFolderLock>(path_, holder);
    if (lock_->state() == LockState::Unusable) drop(lock_->error());
    return lock_->state();
}

void DataFolderStore::refuse(const std::string& why) {
    if (!why.empty()) drop(why);
}

bool DataFolderStore::load(TaskTable& table) {
    table.TaskCount = 0;
    table.extras.clear();
    warnings_.clear();
    if (path_.empty()) return false;
    LoadReport report;
    // Saving would replace a file that could not be read.
    if (const Result<void> loaded = charge_planifs(path_, table, report); !loaded) {
        drop(loaded.error().text);
        return false;
    }
    // Only a folder this one may save names a backup in its warnings.
    if (!saveable()) {
        report.backup.clear();
        report.extras.backup.clear();
    }
    backup_ = report.backup;
    extras_backup_ = report.extras.backup;
    if (auto lines = load_warnings(report); !lines.empty())
        warnings_.push_back({path_ + ScheduleFileName, std::move(lines)});
    if (auto lines = extras_warnings(report.extras); !lines.empty())
        warnings_.push_back({path_ + ExtrasFileName, std::move(lines)});
    return true;
}

Result<void> DataFolderStore::save(const TaskTable& table) const {
    if (!saveable()) return Error{"no data folder"};
    return sauve_planifs(path_, table, backup_, extras_backup_);
}

long DataFolderStore::holder_pid() const {
    return lock_ ? lock_->holder_pid() : 0;
}

}  // namespace psf
