#include "platform/app_data.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QLockFile>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "platform/data_file.h"

namespace psf {

namespace {

bool usable_absolute(const char* path) {
    return path != nullptr && path[0] == '/' && std::string_view(path) != "/";
}

// Qt would take an unset HOME as "/" and a relative XDG_DATA_HOME as relative
// to the current folder; the XDG rules ignore a relative path, and a home
// known only as "/" would put the data folder at the root.
std::string home_folder() {
    if (const char* home = std::getenv("HOME"); usable_absolute(home)) return home;
    const passwd* entry = ::getpwuid(::getuid());
    if (entry != nullptr && usable_absolute(entry->pw_dir)) return entry->pw_dir;
    return {};
}

}  // namespace

std::string app_data_location() {
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); usable_absolute(xdg)) return xdg;
    const std::string home = home_folder();
    return home.empty() ? std::string() : home + "/.local/share";
}

std::string program_folder() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : exe.parent_path().string();
}

struct DataFolderLock::Impl {
    explicit Impl(const QString& path) : file(path) {}
    QLockFile file;
};

namespace {

// A lock file whose holder cannot be read (empty, garbage, unreadable) is
// abandoned when no process holds the lock Qt places on a live lock file, and
// it is old enough that its writer is not between creating and filling it.
bool remove_abandoned(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (std::time(nullptr) - st.st_mtime < 2) return false;
    const DataFile file(path, O_RDONLY | O_NOFOLLOW);
    if (!file.is_open()) return file.error_number() == EACCES && ::unlink(path.c_str()) == 0;
    return ::flock(file.fd(), LOCK_EX | LOCK_NB) == 0 && ::unlink(path.c_str()) == 0;
}

}  // namespace

DataFolderLock::DataFolderLock(const std::string& DataFolder, const std::string& holder)
    : impl_(std::make_unique<Impl>(QString::fromStdString(DataFolder + LockFileName))) {
    const std::string path = DataFolder + LockFileName;
    // QLockFile reads a lock file it could not create, and would wait there
    // on a FIFO; a folder or a link would pass for a lock another run holds.
    if (const Result<void> usable = data_file_usable(path, false); !usable) {
        error_ = usable.error().text;
        return;
    }
    // The holder's name goes into the lock file through the application name.
    const QString previous = QCoreApplication::applicationName();
    QCoreApplication::setApplicationName(QString::fromStdString(holder));
    // Age alone never makes a lock stale: only a holder that has gone does.
    impl_->file.setStaleLockTime(0);
    bool taken = impl_->file.tryLock(0);
    qint64 pid = 0;
    QString host, app;
    const bool failed = !taken && impl_->file.error() == QLockFile::LockFailedError;
    if (failed && !impl_->file.getLockInfo(&pid, &host, &app) && remove_abandoned(path))
        taken = impl_->file.tryLock(0);
    QCoreApplication::setApplicationName(previous);
    if (taken) {
        state_ = LockState::Taken;
        return;
    }
    if (impl_->file.error() == QLockFile::LockFailedError &&
        impl_->file.getLockInfo(&pid, &host, &app)) {
        holder_pid_ = static_cast<long>(pid);
        state_ = app == QLatin1String(WindowLockHolder) ? LockState::HeldByWindow
                                                        : LockState::HeldByRunner;
        return;
    }
    if (impl_->file.error() == QLockFile::LockFailedError) {
        state_ = LockState::HeldByRunner;
        return;
    }
    error_ = path + (impl_->file.error() == QLockFile::PermissionError
                         ? ": cannot be created (permission denied)"
                         : ": cannot be created");
}

DataFolderLock::~DataFolderLock() = default;

}  // namespace psf
