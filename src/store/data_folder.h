// The data folder as the window and the runner open it: found, locked for the
// object's life, its tasks loaded once, and saved back.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/app_data.h"
#include "platform/result.h"
#include "store/task_table.h"

namespace psf {

// What one file of the data folder did not load as it is.
struct LoadWarning {
    std::string file;                // its path
    std::vector<std::string> lines;  // one sentence a line
};

// The steps go in this order, each doing nothing once the folder cannot be
// used: then path() is empty and error() says why.
class DataFolderStore {
  public:
    DataFolderStore();
    ~DataFolderStore();
    DataFolderStore(const DataFolderStore&) = delete;
    DataFolderStore& operator=(const DataFolderStore&) = delete;

    // The application-data folder's "Psf", else the program folder's
    // "psfsetin", made when missing. False when neither can be used.
    bool find(const std::string& app_data, const std::string& program_folder);
    // Takes the lock as `holder` (WindowLockHolder or RunnerLockHolder) for
    // the object's life: a folder that is locked may be saved. Held by
    // another, the folder is kept for the caller to name; Unusable, dropped.
    LockState lock(const char* holder);
    // Drops the folder for a reason of the caller's own (a file of its own
    // there that cannot be used).
    void refuse(const std::string& why);
    // Loads the tasks into `table` (none when the folder cannot be used).
    // False when the folder could not be used or its files could not be read.
    bool load(TaskTable& table);
    // Writes `table` back; a folder that cannot be used, or is not locked,
    // keeps nothing and says so.
    Result<void> save(const TaskTable& table) const;

    const std::string& path() const { return path_; }  // ends with "/"
    const std::string& error() const { return error_; }
    long holder_pid() const;
    // What load() found that did not load as it is, by file; with the lock,
    // each names where the original bytes go before the next save.
    const std::vector<LoadWarning>& warnings() const { return warnings_; }

  private:
    // Found and locked by this one: only then is it saved.
    bool saveable() const { return !path_.empty() && lock_ && lock_->state() == LockState::Taken; }
    void drop(const std::string& why);

    std::string path_;
    std::string error_;
    std::unique_ptr<DataFolderLock> lock_;
    std::vector<LoadWarning> warnings_;
    std::string backup_;         // where a damaged schedule file is kept before its first rewrite
    std::string extras_backup_;  // the same for the extras file
};

}  // namespace psf
