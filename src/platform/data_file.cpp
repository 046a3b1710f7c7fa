#include "platform/data_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace psf {

namespace {

std::string not_regular(const std::string& path, mode_t mode) {
    const char* kind = S_ISDIR(mode)                    ? "a folder, "
                       : S_ISFIFO(mode)                 ? "a FIFO, "
                       : S_ISSOCK(mode)                 ? "a socket, "
                       : S_ISCHR(mode) || S_ISBLK(mode) ? "a device, "
                       : S_ISLNK(mode)                  ? "a link, "
                                                        : "";
    return path + ": " + kind + "not a regular file";
}

std::string link_target(const std::string& path) {
    std::string target(4096, '\0');
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    target.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return target;
}

enum class Seen { Regular, Nothing, Refused, Failed };

// What stands at `path` before anything opens it; `error` says why when it
// is refused or cannot be looked at.
Seen look(const std::string& path, bool follow, std::string& error, int& number) {
    struct stat st {};
    if ((follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) == 0) {
        if (S_ISREG(st.st_mode)) return Seen::Regular;
        error = not_regular(path, st.st_mode);
        return Seen::Refused;
    }
    const int cause = errno;
    if (cause == ENOENT && follow && ::lstat(path.c_str(), &st) == 0) {
        // Starting from nothing would later create a file where the link points.
        error = path + ": a link to " + link_target(path) + ", which does not exist";
        return Seen::Refused;
    }
    if (cause == ENOENT) return Seen::Nothing;
    error = path + ": " + std::strerror(number = cause);
    return Seen::Failed;
}

}  // namespace

DataFile::DataFile(const std::string& path, int flags, unsigned mode) : path_(path) {
    const bool follow = (flags & O_NOFOLLOW) == 0;
    const Seen seen = look(path, follow, error_, errno_);
    refused_ = seen == Seen::Refused;
    if (seen == Seen::Refused || seen == Seen::Failed) return;
    if (seen == Seen::Nothing && (flags & O_CREAT) == 0) {
        missing_ = true;
        return;
    }
    // Without O_NONBLOCK, a FIFO swapped in since would hold the open until a
    // peer came; a FIFO without a reader refuses a write-only open (ENXIO).
    fd_ = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd_ < 0) {
        const int cause = errno;
        if (cause == ENOENT && (flags & O_CREAT) == 0)
            missing_ = true;
        else if ((refused_ = cause == ENXIO || cause == EISDIR || cause == ELOOP))
            error_ = not_regular(path, cause == ENXIO    ? S_IFIFO
                                       : cause == EISDIR ? S_IFDIR
                                                         : S_IFLNK);
        else
            error_ = path + ": " + std::strerror(errno_ = cause);
        return;
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        error_ = not_regular(path, st.st_mode);
        refused_ = true;
        static_cast<void>(::close(fd_));  // read-only, and never used: nothing to lose
        fd_ = -1;
        return;
    }
    size_ = static_cast<std::uint64_t>(st.st_size);
    // A regular file reads and writes alike with O_NONBLOCK: clearing it may fail.
    const int now = ::fcntl(fd_, F_GETFL);
    if (now >= 0) static_cast<void>(::fcntl(fd_, F_SETFL, now & ~O_NONBLOCK));
}

DataFile::~DataFile() {
    // Writers flush and check their bytes before this; a close has nothing left to tell.
    if (fd_ >= 0) static_cast<void>(::close(fd_));
}

Result<std::string> DataFile::read_all() {
    if (fd_ < 0) return system_error(path_, EBADF);
    if (::lseek(fd_, 0, SEEK_SET) != 0) return system_error(path_, errno);
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(size_));
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return system_error(path_, errno);
        if (n == 0) return bytes;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
}

Result<void> data_file_usable(const std::string& path, bool follow_links) {
    // Opened too, so that an entry swapped after the look is seen for what it
    // is; a file that cannot be read is for its user to report.
    const DataFile file(path, O_RDONLY | (follow_links ? 0 : O_NOFOLLOW));
    if (file.refused()) return Error{file.error()};
    return {};
}

}  // namespace psf
