// A folder held open by its descriptor: names are then resolved relative to
// it, whatever becomes of the path that led to it, so a link swapped into
// that path meanwhile leads nowhere.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <utility>

namespace psf {

class Folder {
  public:
    Folder() = default;
    Folder(Folder&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Folder& operator=(Folder&& other) noexcept;
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
    ~Folder();

    // The folder at `path`, links in it followed (the user's own path); an
    // invalid Folder with errno set when it is no folder.
    static Folder open(const std::filesystem::path& path);
    // The folder `name` inside this one, never through a link: a link, a
    // file or nothing there gives an invalid Folder, with errno set (ELOOP or
    // ENOTDIR for a link or a file, ENOENT for nothing). ".." is its parent.
    Folder enter(const std::string& name) const;

    bool valid() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // Device and inode: which folder it is, whatever its name now ({0, 0}
    // when unknown).
    std::pair<dev_t, ino_t> identity() const;

  private:
    explicit Folder(int fd) : fd_(fd) {}
    int fd_ = -1;
};

}  // namespace psf
