// Files of the data folder, opened without ever waiting: a FIFO, a device, a
// socket or a folder in a file's place is refused, never opened for a read or
// a write that could block until a signal.
#pragma once

#include <cstdint>
#include <string>

#include "platform/result.h"

namespace psf {

class DataFile {
  public:
    // Opens `path` with `flags` (O_RDONLY, O_WRONLY | O_CREAT, … ; O_NOFOLLOW
    // refuses a link) and `mode` for a file it creates. An entry that is not a
    // regular file is refused before it is opened, and again once it is, in
    // case it was swapped meanwhile.
    DataFile(const std::string& path, int flags, unsigned mode = 0600);
    ~DataFile();
    DataFile(const DataFile&) = delete;
    DataFile& operator=(const DataFile&) = delete;

    bool is_open() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    std::uint64_t size() const { return size_; }
    // Neither the file nor a link of that name exists.
    bool missing() const { return missing_; }
    // Something else than a regular file stands there: a FIFO, a folder, a
    // link that leads nowhere (or any link, with O_NOFOLLOW)…
    bool refused() const { return refused_; }
    // "PATH: a FIFO, not a regular file", "PATH: a link to T, which does
    // not exist", "PATH: CAUSE"; empty when it is open or missing.
    const std::string& error() const { return error_; }
    // The errno of a failed open; 0 when refused or missing.
    int error_number() const { return errno_; }

    // The whole file from its start; a read error says "PATH: CAUSE".
    Result<std::string> read_all();

  private:
    int fd_ = -1;
    std::uint64_t size_ = 0;
    bool missing_ = false;
    bool refused_ = false;
    int errno_ = 0;
    std::string path_;
    std::string error_;
};

// The check alone, for files that another library opens itself (the lock,
// the history): fails, saying what DataFile::error() says, when DataFile
// would refuse `path`.
Result<void> data_file_usable(const std::string& path, bool follow_links = true);

}  // namespace psf
