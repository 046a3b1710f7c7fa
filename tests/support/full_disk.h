// Runs a piece of a test in a child process where the disk is full, so the
// code under test meets the failing writes that a real full disk gives.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <string>

namespace psf::test {

// FileSize: a file-size limit, writes past `room` bytes fail with EFBIG.
// Tmpfs: a small tmpfs mounted over the folder and filled, ENOSPC.
// ReadOnly: the folder mounted again read-only, EROFS (even for root).
enum class DiskFull { FileSize, Tmpfs, ReadOnly };

// What the child saw, as named facts; the test asserts on them.
using Facts = std::map<std::string, std::string>;

struct FullDiskRun {
    std::string skipped;  // why the full disk could not be made (tmpfs needs a mount)
    Facts facts;
};

// In a child process: `prepare` writes the old files into a work folder made
// inside `folder` while there is room, the disk is then made full, and `act`
// runs the code under test there and records what it finds. With Tmpfs the
// files live on a private mount that ends with the child, so every check
// belongs in `act`.
FullDiskRun run_on_full_disk(DiskFull how, const std::filesystem::path& folder, std::size_t room,
                             const std::function<void(const std::filesystem::path&)>& prepare,
                             const std::function<void(const std::filesystem::path&, Facts&)>& act);

// "a,b,c": the regular files below `root` (hidden ones included), sorted.
std::string file_names(const std::filesystem::path& root);

}  // namespace psf::test
