#include "store/schedule_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string_view>
#include <system_error>

namespace fs = std::filesystem;

namespace psf {

namespace {

std::string with_slash(std::string folder) {
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder;
}

std::string trimmed(const std::string& s) {
    const auto b = s.find_first_not_of(' ');
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

// Creates the folder and every missing parent, readable by the owner only.
bool make_folder(const fs::path& folder, std::string& error) {
    std::error_code ec;
    if (fs::is_directory(folder, ec)) return true;
    fs::path partial;
    for (const auto& part : folder) {
        partial /= part;
        if (fs::is_directory(partial, ec)) continue;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
            error = partial.string() + ": " + std::strerror(errno);
            return false;
        }
    }
    if (!fs::is_directory(folder, ec)) {
        error = folder.string() + ": not a folder";
        return false;
    }
    return true;
}

bool write_all(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        errno = 0;
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

constexpr const char* TempPattern = ".planifs.txt.XXXXXX";

// A save killed before its rename leaves its temporary file, with passwords
// in it. Only the lock holder saves, so any other temporary is such a leftover.
void remove_leftovers(const std::string& DataFolder) {
    const std::string_view pattern = TempPattern;
    const std::string_view prefix = pattern.substr(0, pattern.find('X'));
    std::error_code ec;
    for (fs::directory_iterator it(DataFolder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() != pattern.size() || !name.starts_with(prefix)) continue;
        std::error_code status_ec;
        if (it->symlink_status(status_ec).type() == fs::file_type::regular)
            ::unlink(it->path().c_str());
    }
}

}  // namespace

DataFolderChoice compute_data_folder(const std::string& app_data,
                                     const std::string& program_folder) {
    DataFolderChoice choice;
    std::string error;
    const std::string fallback = with_slash(program_folder) + "psfsetin";
    const std::string base = trimmed(app_data);
    const std::string first = base.empty() ? fallback : with_slash(base) + "Psf";
    if (make_folder(first, error)) {
        choice.DataFolder = with_slash(first);
        return choice;
    }
    std::string second_error;
    if (first != fallback && make_folder(fallback, second_error)) {
        choice.DataFolder = with_slash(fallback);
        return choice;
    }
    choice.error = second_error.empty() ? error : error + "; " + second_error;
    return choice;
}

bool charge_planifs(const std::string& DataFolder, TaskTable& table, LoadReport& report,
                    std::string& error) {
    table.TaskCount = 0;
    report = {};
    const fs::path file = fs::path(DataFolder) / ScheduleFileName;
    std::error_code ec;
    if (!fs::exists(file, ec)) return true;
    if (!fs::is_regular_file(file, ec)) {
        error = file.string() + ": not a regular file";
        return false;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        error = file.string() + ": cannot be read";
        return false;
    }
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    if (in.bad()) {
        error = file.string() + ": read error";
        return false;
    }
    report = parse_schedule(bytes, table);
    return true;
}

bool sauve_planifs(const std::string& DataFolder, const TaskTable& table, std::string& error) {
    if (DataFolder.empty()) {
        error = "no data folder";
        return false;
    }
    if (const std::string where = unstorable_value(table); !where.empty()) {
        error = "a task value holds a double quote (task:field " + where + ")";
        return false;
    }
    const std::string text = format_schedule(table);
    const fs::path file = fs::path(DataFolder) / ScheduleFileName;
    std::string temp = (fs::path(DataFolder) / TempPattern).string();
    const int fd = ::mkstemp(temp.data());  // owner only: the file holds passwords
    if (fd < 0) {
        error = file.string() + ": " + std::strerror(errno);
        return false;
    }
    // The first failing step names the cause; errno of an earlier success would mislead.
    int failure = 0;
    if (!write_all(fd, text)) failure = errno ? errno : EIO;
    if (!failure && ::fsync(fd) != 0) failure = errno;
    if (::close(fd) != 0 && !failure) failure = errno;
    if (!failure && std::rename(temp.c_str(), file.c_str()) != 0) failure = errno;
    if (failure) {
        error = file.string() + ": " + std::strerror(failure);
        ::unlink(temp.c_str());
        return false;
    }
    // The rename itself reaches the disk with the folder.
    if (const int dir = ::open(DataFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    remove_leftovers(DataFolder);
    return true;
}

}  // namespace psf
