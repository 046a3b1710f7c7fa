#include "platform/folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace psf {

Folder& Folder::operator=(Folder&& other) noexcept {
    if (this != &other) {
        // A descriptor opened only to find names by has nothing to flush.
        if (fd_ >= 0) static_cast<void>(::close(fd_));
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

Folder::~Folder() {
    if (fd_ >= 0) static_cast<void>(::close(fd_));  // nothing to flush, as above
}

// O_PATH: a folder that may be searched but not listed is still reached.
Folder Folder::open(const std::filesystem::path& path) {
    return Folder(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
}

Folder Folder::enter(const std::string& name) const {
    return Folder(::openat(fd_, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

std::pair<dev_t, ino_t> Folder::identity() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return {0, 0};
    return {st.st_dev, st.st_ino};
}

}  // namespace psf
