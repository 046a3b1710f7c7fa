#include "platform/app_data.h"

#include <QCoreApplication>
#include <QLockFile>
#include <QStandardPaths>
#include <filesystem>
#include <system_error>

namespace psf {

std::string app_data_location() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation).toStdString();
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

DataFolderLock::DataFolderLock(const std::string& DataFolder, const std::string& holder)
    : impl_(std::make_unique<Impl>(QString::fromStdString(DataFolder + "picsifter.lock"))) {
    // The holder's name goes into the lock file through the application name.
    const QString previous = QCoreApplication::applicationName();
    QCoreApplication::setApplicationName(QString::fromStdString(holder));
    // Age alone never makes a lock stale: only a holder that has gone does.
    impl_->file.setStaleLockTime(0);
    const bool taken = impl_->file.tryLock(0);
    QCoreApplication::setApplicationName(previous);
    if (taken) {
        state_ = LockState::Taken;
        return;
    }
    qint64 pid = 0;
    QString host, app;
    if (impl_->file.error() == QLockFile::LockFailedError &&
        impl_->file.getLockInfo(&pid, &host, &app)) {
        holder_pid_ = static_cast<long>(pid);
        state_ = app == QLatin1String(WindowLockHolder) ? LockState::HeldByWindow
                                                        : LockState::HeldByRunner;
        return;
    }
    state_ = impl_->file.error() == QLockFile::LockFailedError ? LockState::HeldByRunner
                                                               : LockState::Unusable;
}

DataFolderLock::~DataFolderLock() = default;

}  // namespace psf
