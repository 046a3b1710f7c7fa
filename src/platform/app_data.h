// Where the program keeps its data, and the lock that gives one program at a
// time the data folder.
#pragma once

#include <memory>
#include <string>

namespace psf {

// $XDG_DATA_HOME when it is an absolute path, else ~/.local/share with the
// home from $HOME or the user database; empty when no home is known.
std::string app_data_location();

// The folder of the running executable; empty when it cannot be read.
std::string program_folder();

// What holds, or failed to take, the data folder's lock.
enum class LockState {
    Taken,  // this process holds it
    HeldByWindow,
    HeldByRunner,
    Unusable,  // the lock file cannot be created, or something else stands in its place
};

inline constexpr const char* LockFileName = "picsifter.lock";

// The lock file LockFileName in the data folder, held for the object's
// life. A lock left by a process that is gone is taken over, and so is a lock
// file that names no holder (empty, garbage, unreadable) when no process holds
// it and it was last written two seconds ago or more.
class DataFolderLock {
  public:
    // `holder` is recorded in the lock so another process can tell who holds it.
    DataFolderLock(const std::string& DataFolder, const std::string& holder);
    ~DataFolderLock();
    DataFolderLock(const DataFolderLock&) = delete;
    DataFolderLock& operator=(const DataFolderLock&) = delete;

    LockState state() const { return state_; }
    long holder_pid() const { return holder_pid_; }
    // Why it is Unusable, naming the file: "PATH: a FIFO, not a regular file".
    const std::string& error() const { return error_; }

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    LockState state_ = LockState::Unusable;
    long holder_pid_ = 0;
    std::string error_;
};

inline constexpr const char* WindowLockHolder = "picsifter";
inline constexpr const char* RunnerLockHolder = "picsifter-cli";

}  // namespace psf
