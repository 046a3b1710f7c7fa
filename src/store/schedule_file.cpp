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
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
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
    std::string temp = (fs::path(DataFolder) / ".planifs.txt.XXXXXX").string();
    const int fd = ::mkstemp(temp.data());  // owner only: the file holds passwords
    if (fd < 0) {
        error = file.string() + ": " + std::strerror(errno);
        return false;
    }
    bool ok = write_all(fd, text) && ::fsync(fd) == 0;
    const int saved_errno = errno;
    if (::close(fd) != 0) ok = false;
    if (ok && std::rename(temp.c_str(), file.c_str()) != 0) ok = false;
    if (!ok) {
        error = file.string() + ": " + std::strerror(saved_errno ? saved_errno : errno);
        ::unlink(temp.c_str());
        return false;
    }
    // The rename itself reaches the disk with the folder.
    if (const int dir = ::open(DataFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

}  // namespace psf
