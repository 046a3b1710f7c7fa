#include "store/schedule_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "platform/atomic_file.h"
#include "platform/data_file.h"
#include "platform/text.h"

namespace fs = std::filesystem;

namespace psf {

namespace {

std::string with_slash(std::string folder) {
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder;
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

constexpr const char* TempPattern = ".planifs.txt.XXXXXX";
constexpr const char* ExtrasTempPattern = ".planifs-images.txt.XXXXXX";

// A save killed before its rename leaves its temporary file, with passwords
// in it. Only the lock holder saves, so any other temporary is such a leftover.
void remove_leftovers(const std::string& DataFolder, std::string_view pattern) {
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

// The file a save replaces: the target of a link, since renaming over the
// link would replace it with a plain file. Empty with `error` when a link
// leads nowhere.
fs::path save_target(const std::string& DataFolder, const char* name, std::string& error) {
    const fs::path file = fs::path(DataFolder) / name;
    std::error_code ec;
    if (!fs::is_symlink(file, ec)) return file;
    fs::path target = fs::canonical(file, ec);
    if (ec)
        error = file.string() + ": a link to " + fs::read_symlink(file, ec).string() +
                ", which cannot be reached";
    return target;
}

// Reads a file whole, without waiting on anything that is not a regular
// file and without reading one larger than `largest`; false with `error` when
// it exists but cannot be read, `missing` when there is none.
bool read_whole(const fs::path& file, std::uint64_t largest, std::string& bytes, bool& missing,
                std::string& error) {
    DataFile in(file.string(), O_RDONLY);
    missing = in.missing();
    if (missing) return true;
    if (!in.is_open()) {
        error = in.error();
        return false;
    }
    if (in.size() > largest) {
        error = file.string() + ": " + std::to_string(in.size()) + " bytes, more than " +
                std::to_string(MaxTasks) + " tasks can ever fill (at most " +
                std::to_string(largest) + "); it is left as it is";
        return false;
    }
    Result<std::string> read = in.read_all();
    if (!read) {
        error = read.error().text;
        return false;
    }
    bytes = std::move(read).value();
    return true;
}

// Copies the file's bytes to `backup`, which must not exist yet; one that
// exists was made by an earlier save and is kept as it is.
bool keep_backup(const fs::path& file, const std::string& backup, std::uint64_t largest,
                 const char* pattern, std::string& error) {
    std::string bytes;
    bool missing = false;
    if (!read_whole(file, largest, bytes, missing, error)) return false;
    if (missing) return true;  // nothing left to keep
    AtomicFile copy;
    if (copy.open(file.parent_path(), pattern, 0600, Durability::Flushed) && copy.write(bytes) &&
        copy.commit(fs::path(backup).filename(), false))
        return true;
    if (copy.error_number() == EEXIST) return true;
    error = backup + ": " + copy.error();
    return false;
}

// Gives the file its earlier bytes again, or removes it when there was none.
bool put_back(const fs::path& file, const std::string& bytes, bool missing, std::string& error) {
    if (!missing)
        return write_file_atomically(file, bytes, TempPattern, 0600, Durability::Flushed, error);
    if (::unlink(file.c_str()) == 0 || errno == ENOENT) return true;
    error = file.string() + ": " + std::strerror(errno);
    return false;
}

}  // namespace

DataFolderChoice compute_data_folder(const std::string& app_data,
                                     const std::string& program_folder) {
    DataFolderChoice choice;
    std::string error;
    const std::string fallback = with_slash(program_folder) + "psfsetin";
    const std::string base(trim_blanks(app_data));
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

std::string dated_name(const std::string& DataFolder, const char* file_name, const char* why) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string base = (fs::path(DataFolder) / file_name).string() + "." + why + "-" + stamp;
    std::string name = base;
    std::error_code ec;
    for (int k = 2; fs::exists(fs::symlink_status(name, ec)); ++k)
        name = base + "-" + std::to_string(k);
    return name;
}

bool charge_planifs(const std::string& DataFolder, TaskTable& table, LoadReport& report,
                    std::string& error) {
    table.TaskCount = 0;
    table.extras.clear();
    report = {};
    std::string bytes;
    bool missing = false;
    if (!read_whole(fs::path(DataFolder) / ScheduleFileName, LargestScheduleFile, bytes, missing,
                    error))
        return false;
    if (!missing) report = parse_schedule(bytes, table);
    if (!report.schedule_clean())
        report.backup = dated_name(DataFolder, ScheduleFileName, "backup");
    bytes.clear();
    if (!read_whole(fs::path(DataFolder) / ExtrasFileName, LargestExtrasFile, bytes, missing,
                    error))
        return false;
    report.extras = parse_extras(bytes, table);
    if (!report.extras.clean())
        report.extras.backup = dated_name(DataFolder, ExtrasFileName, "backup");
    return true;
}

std::vector<std::string> load_warnings(const LoadReport& report) {
    std::vector<std::string> lines;
    if (report.schedule_clean()) return lines;
    if (report.surplus_records > 0)
        lines.push_back(std::to_string(report.surplus_records) +
                        (report.surplus_records == 1 ? " task" : " tasks") +
                        " beyond the 200th were not loaded.");
    constexpr std::size_t Named = 10;
    for (std::size_t k = 0; k < report.set_aside.size() && k < Named; ++k) {
        const SetAsideRecord& r = report.set_aside[k];
        std::size_t cut = std::min<std::size_t>(r.title.size(), 60);
        while (cut < r.title.size() && cut > 0 &&
               (static_cast<unsigned char>(r.title[cut]) & 0xC0) == 0x80)
            --cut;  // not in the middle of a character
        const std::string title = r.title.substr(0, cut);
        lines.push_back("Line " + std::to_string(r.line) + " (\"" + title + "\") has " +
                        std::to_string(r.fields) + (r.fields == 1 ? " field" : " fields") +
                        " instead of 40 and was not loaded.");
    }
    if (report.set_aside.size() > Named)
        lines.push_back(std::to_string(report.set_aside.size() - Named) +
                        " more lines without 40 fields were not loaded.");
    if (report.quotes_dropped > 0)
        lines.push_back(std::to_string(report.quotes_dropped) +
                        (report.quotes_dropped == 1 ? " double quote was" : " double quotes were") +
                        " removed from the values.");
    if (report.bom) lines.push_back("A byte-order mark at the start was skipped.");
    if (report.latin1) lines.push_back("The file is not UTF-8; it was read as Latin-1.");
    if (!report.backup.empty())
        lines.push_back("The original file is kept as " + report.backup +
                        " before the schedule file is next saved.");
    return lines;
}

std::vector<std::string> extras_warnings(const ExtrasReport& report) {
    std::vector<std::string> lines;
    auto count = [&](int n, const char* one, const char* many, const char* what) {
        if (n > 0) lines.push_back(std::to_string(n) + (n == 1 ? one : many) + what);
    };
    count(report.set_aside, " line is", " lines are", " not a task's settings and was not loaded.");
    count(report.orphans, " entry names", " entries name",
          " no task of the schedule file and will not be kept.");
    if (!report.backup.empty())
        lines.push_back("The original file is kept as " + report.backup +
                        " before it is next saved.");
    return lines;
}

bool sauve_planifs(const std::string& DataFolder, const TaskTable& table, std::string& error,
                   const std::string& backup, const std::string& extras_backup) {
    if (DataFolder.empty()) {
        error = "no data folder";
        return false;
    }
    if (const std::string where = unstorable_value(table); !where.empty()) {
        error = "a task value holds a double quote or a line break (task:field " + where + ")";
        return false;
    }
    const fs::path file = save_target(DataFolder, ScheduleFileName, error);
    if (file.empty()) return false;
    const fs::path extras = save_target(DataFolder, ExtrasFileName, error);
    if (extras.empty()) return false;
    const std::string text = format_extras(table);
    std::error_code ec;
    // A data folder of tasks without extras stays as the described program leaves it.
    const bool with_extras = !text.empty() || fs::exists(fs::symlink_status(extras, ec));
    if (!backup.empty() && !keep_backup(file, backup, LargestScheduleFile, TempPattern, error))
        return false;
    if (with_extras && !extras_backup.empty() &&
        !keep_backup(extras, extras_backup, LargestExtrasFile, ExtrasTempPattern, error))
        return false;
    // The schedule file as it was, put back when the extras file then fails:
    // a save that fails changes neither file.
    std::string before;
    bool missing = true;
    if (with_extras && !read_whole(file, LargestScheduleFile, before, missing, error)) return false;
    // Owner only: the file holds passwords.
    if (!write_file_atomically(file, format_schedule(table), TempPattern, 0600, Durability::Flushed,
                               error))
        return false;
    remove_leftovers(file.parent_path().string(), TempPattern);
    if (!with_extras) return true;
    if (!write_file_atomically(extras, text, ExtrasTempPattern, 0600, Durability::Flushed, error)) {
        if (std::string undo; !put_back(file, before, missing, undo))
            error += "; nor could the schedule file be put back as it was (" + undo +
                     "), so it holds the new tasks";
        return false;
    }
    remove_leftovers(extras.parent_path().string(), ExtrasTempPattern);
    return true;
}

}  // namespace psf
