// A file written whole or not at all: its bytes go to a new temporary file in
// the target's folder, which is then renamed to the target's name. Every step
// is relative to the folder held open, never through its path again.
#pragma once

#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "platform/folder.h"
#include "platform/result.h"

namespace psf {

// What a committed file survives.
enum class Durability {
    Flushed,    // a power failure too: the file is flushed before the rename, the folder after
    Unflushed,  // a crash of the program only: the rename alone
};

class AtomicFile {
  public:
    AtomicFile() = default;
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    ~AtomicFile() { discard(); }

    // Creates the temporary in `folder`, named `pattern` with its "XXXXXX"
    // replaced by random characters; a name taken, even by a link, is never
    // opened and another is tried.
    bool open(std::shared_ptr<const Folder> folder, std::string_view pattern, unsigned mode,
              Durability durability);
    // The same in the folder at that path (links in it followed).
    bool open(const std::filesystem::path& folder, std::string_view pattern, unsigned mode,
              Durability durability);
    // False once any write has failed; the bytes go in as they arrive.
    bool write(std::string_view bytes);
    // Forgets what was written so far.
    bool restart();
    // The modification time the file will carry, set on the temporary
    // before it takes the target's name. Its failure fails no commit.
    bool set_modified(std::time_t t);
    // Renames the temporary over `name`, in its folder, or, without
    // `replace`, only to a name that is free (a taken one fails with EEXIST).
    // A failure removes it.
    bool commit(const std::string& name, bool replace = true);
    // Removes the temporary; nothing happens to the target.
    void discard();

    bool failed() const { return error_ != 0; }
    int error_number() const { return error_; }  // errno of the first failing step
    std::string error() const;                   // the same as text

  private:
    bool fail(int error);

    int fd_ = -1;
    std::shared_ptr<const Folder> folder_;
    std::string temp_;  // its name in folder_
    Durability durability_ = Durability::Flushed;
    int error_ = 0;
};

// The whole file at once; a failure says "target: cause".
Result<void> write_file_atomically(const std::filesystem::path& target, std::string_view bytes,
                                   std::string_view pattern, unsigned mode, Durability durability,
                                   bool replace = true);

}  // namespace psf
