#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

namespace fs = std::filesystem;

namespace psf {

bool AtomicFile::fail(int error) {
    if (error_ == 0) error_ = error != 0 ? error : EIO;  // the first failing step names the cause
    return false;
}

std::string AtomicFile::error() const {
    return error_ != 0 ? std::strerror(error_) : "";
}

bool AtomicFile::open(const fs::path& folder, std::string_view pattern, unsigned mode,
                      Durability durability) {
    auto opened = std::make_shared<const Folder>(Folder::open(folder));
    if (!opened->valid()) {
        const int cause = errno;
        discard();
        error_ = 0;
        return fail(cause);
    }
    return open(std::move(opened), pattern, mode, durability);
}

bool AtomicFile::open(std::shared_ptr<const Folder> folder, std::string_view pattern, unsigned mode,
                      Durability durability) {
    discard();
    error_ = 0;
    durability_ = durability;
    folder_ = std::move(folder);
    static constexpr char Chars[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937 gen{std::random_device{}()};
    const std::size_t at = pattern.find("XXXXXX");
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
        std::string name(pattern);
        for (std::size_t k = 0; at != std::string::npos && k < 6; ++k)
            name[at + k] = Chars[gen() % (sizeof Chars - 1)];
        temp_ = name;
        fd_ = ::openat(folder_->fd(), temp_.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd_ < 0 && errno != EEXIST) break;
    }
    if (fd_ >= 0) return true;
    temp_.clear();
    return fail(errno);
}

bool AtomicFile::write(std::string_view bytes) {
    if (fd_ < 0 || failed()) return fail(EBADF);
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return fail(n < 0 ? errno : EIO);
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool AtomicFile::restart() {
    if (fd_ < 0) return fail(EBADF);
    error_ = 0;
    if (::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) != 0) return fail(errno);
    return true;
}

bool AtomicFile::set_modified(std::time_t t) {
    if (fd_ < 0) return fail(EBADF);
    const timespec times[2] = {{0, UTIME_NOW}, {t, 0}};
    return ::futimens(fd_, times) == 0;  // a file without it is still whole
}

bool AtomicFile::commit(const std::string& name, bool replace) {
    if (fd_ < 0) return fail(EBADF);
    if (!failed() && durability_ == Durability::Flushed && ::fsync(fd_) != 0) fail(errno);
    if (::close(fd_) != 0) fail(errno);
    fd_ = -1;
    const int dir = folder_->fd();
    if (!failed()) {
        int renamed = ::renameat2(dir, temp_.c_str(), dir, name.c_str(),
                                  replace ? 0U : unsigned{RENAME_NOREPLACE});
        if (renamed != 0 && !replace && errno == EINVAL) {
            // A file system without a no-replace rename: a link fails the same way on a taken name.
            renamed = ::linkat(dir, temp_.c_str(), dir, name.c_str(), 0);
            // The image is in place; a temporary name left beside it is only untidy.
            if (renamed == 0) static_cast<void>(::unlinkat(dir, temp_.c_str(), 0));
        }
        if (renamed != 0) fail(errno);
    }
    if (failed()) {
        discard();
        return false;
    }
    temp_.clear();
    if (durability_ == Durability::Flushed) {
        // The rename itself reaches the disk with the folder.
        if (const int d = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); d >= 0) {
            // The file is whole and in place either way; a folder that cannot be
            // flushed loses at most the rename on a power failure.
            static_cast<void>(::fsync(d));
            static_cast<void>(::close(d));
        }
    }
    folder_.reset();
    return true;
}

void AtomicFile::discard() {
    // What is thrown away needs no answer; a temporary that cannot be removed
    // keeps its hidden name, which no reader takes for a file.
    if (fd_ >= 0) static_cast<void>(::close(fd_));
    fd_ = -1;
    if (!temp_.empty()) static_cast<void>(::unlinkat(folder_->fd(), temp_.c_str(), 0));
    temp_.clear();
    folder_.reset();
}

Result<void> write_file_atomically(const fs::path& target, std::string_view bytes,
                                   std::string_view pattern, unsigned mode, Durability durability,
                                   bool replace) {
    AtomicFile file;
    const fs::path folder = target.parent_path().empty() ? "." : target.parent_path();
    if (file.open(folder, pattern, mode, durability) && file.write(bytes) &&
        file.commit(target.filename(), replace))
        return {};
    return system_error(target.string(), file.error_number());
}

}  // namespace psf
