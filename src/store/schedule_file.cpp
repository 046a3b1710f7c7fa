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
#include <optional>
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
Result<void> make_folder(const fs::path& folder) {
    std::error_code ec;
    if (fs::is_directory(folder, ec)) return {};
    fs::path partial;
    for (const auto& part : folder) {
        partial /= part;
        if (fs::is_directory(partial, ec)) continue;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
            return system_error(partial.string(), errno);
    }
    if (!fs::is_directory(folder, ec)) return Error{folder.string() + ": not a folder"};
    return {};
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
        // One that stays is tried again at the next save.
        if (it->symlink_status(status_ec).type() == fs::file_type::regular)
            static_cast<void>(::unlink(it->path().c_str()));
    }
}

// The file a save replaces: the target of a link, since renaming over the
// link would replace it with a plain file; a link that leads nowhere fails.
Result<fs::path> save_target(const std::string& DataFolder, const char* name) {
    const fs::path file = fs::path(DataFolder) / name;
    std::error_code ec;
    if (!fs::is_symlink(file, ec)) return file;
    fs::path target = fs::canonical(file, ec);
    if (ec)
        return Error{file.string() + ": a link to " + fs::read_symlink(file, ec).string() +
                     ", which cannot be reached"};
    return target;
}

// What a file held: its bytes, or nothing when there is no such file.
using Held = std::optional<std::string>;

// Reads a file whole, without waiting on anything that is not a regular
// file and without reading one larger than `largest`; fails when it exists
// but cannot be read.
Result<Held> read_whole(const fs::path& file, std::uint64_t largest) {
    DataFile in(file.string(), O_RDONLY);
    if (in.missing()) return Held();
    if (!in.is_open()) return Error{in.error()};
    if (in.size() > largest)
        return Error{file.string() + ": " + std::to_string(in.size()) + " bytes, more than " +
                     std::to_string(MaxTasks) + " tasks can ever fill (at most " +
                     std::to_string(largest) + "); it is left as it is"};
    Result<std::string> read = in.read_all();
    if (!read) return read.error();
    return Held(std::move(read).value());
}

// Keeps a file's bytes as they were at `backup`, in the data folder even when
// the file is a link to another one, where the warning said they would be. A
// backup that exists was made by an earlier save and is kept as it is.
Result<void> keep_backup(const Held& bytes, const std::string& backup, const char* pattern) {
    if (!bytes || backup.empty()) return {};  // nothing left to keep, or not asked
    const fs::path at(backup);
    AtomicFile copy;
    if (copy.open(at.parent_path(), pattern, 0600, Durability::Flushed) && copy.write(*bytes) &&
        copy.commit(at.filename(), false))
        return {};
    if (copy.error_number() == EEXIST) return {};
    return system_error(backup, copy.error_number());
}

// Gives the file its earlier bytes again, or removes it when there was none.
Result<void> put_back(const fs::path& file, const Held& before) {
    if (before) return write_file_atomically(file, *before, TempPattern, 0600, Durability::Flushed);
    if (::unlink(file.c_str()) == 0 || errno == ENOENT) return {};
    return system_error(file.string(), errno);
}

}  // namespace

DataFolderChoice compute_data_folder(const std::string& app_data,
                                     const std::string& program_folder) {
    DataFolderChoice choice;
    const std::string fallback = with_slash(program_folder) + "psfsetin";
    const std::string base(trim_blanks(app_data));
    const std::string first = base.empty() ? fallback : with_slash(base) + "Psf";
    const Result<void> made = make_folder(first);
    if (made) {
        choice.DataFolder = with_slash(first);
        return choice;
    }
    choice.error = made.error().text;
    if (first == fallback) return choice;
    const Result<void> second = make_folder(fallback);
    if (!second) {
        choice.error += "; " + second.error().text;
        return choice;
    }
    choice.DataFolder = with_slash(fallback);
    choice.error.clear();
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

Result<void> charge_planifs(const std::string& DataFolder, TaskTable& table, LoadReport& report) {
    table.TaskCount = 0;
    table.extras.clear();
    report = {};
    {
        const Result<Held> bytes =
            read_whole(fs::path(DataFolder) / ScheduleFileName, LargestScheduleFile);
        if (!bytes) return bytes.error();
        if (bytes.value()) report = parse_schedule(*bytes.value(), table);
    }
    if (!report.schedule_clean())
        report.backup = dated_name(DataFolder, ScheduleFileName, "backup");
    const Result<Held> extras =
        read_whole(fs::path(DataFolder) / ExtrasFileName, LargestExtrasFile);
    if (!extras) return extras.error();
    report.extras = parse_extras(extras.value().value_or(""), table);
    if (!report.extras.clean())
        report.extras.backup = dated_name(DataFolder, ExtrasFileName, "backup");
    return {};
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

Result<void> sauve_planifs(const std::string& DataFolder, const TaskTable& table,
                           const std::string& backup, const std::string& extras_backup) {
    if (DataFolder.empty()) return Error{"no data folder"};
    if (const std::string where = unstorable_value(table); !where.empty())
        return Error{"a task value holds a double quote or a line break (task:field " + where +
                     ")"};
    const Result<fs::path> file = save_target(DataFolder, ScheduleFileName);
    if (!file) return file.error();
    const Result<fs::path> extras = save_target(DataFolder, ExtrasFileName);
    if (!extras) return extras.error();
    const std::string text = format_extras(table);
    std::error_code ec;
    // A data folder of tasks without extras stays as the described program leaves it.
    const bool with_extras = !text.empty() || fs::exists(fs::symlink_status(*extras, ec));
    // The schedule file as it was: kept aside when the load asked for it, and
    // put back when the extras file then fails, so a save that fails changes
    // neither file.
    Result<Held> before = Held();
    if (with_extras || !backup.empty()) before = read_whole(*file, LargestScheduleFile);
    if (!before) return before.error();
    if (Result<void> kept = keep_backup(*before, backup, TempPattern); !kept) return kept;
    if (with_extras && !extras_backup.empty()) {
        const Result<Held> extras_before = read_whole(*extras, LargestExtrasFile);
        if (!extras_before) return extras_before.error();
        if (Result<void> kept = keep_backup(*extras_before, extras_backup, ExtrasTempPattern);
            !kept)
            return kept;
    }
    // Owner only: the file holds passwords.
    if (Result<void> saved = write_file_atomically(*file, format_schedule(table), TempPattern, 0600,
                                                   Durability::Flushed);
        !saved)
        return saved;
    remove_leftovers(file->parent_path().string(), TempPattern);
    // A backup's temporary stands in the data folder, which a link may have left.
    if (!backup.empty() && fs::path(backup).parent_path() != file->parent_path())
        remove_leftovers(fs::path(backup).parent_path().string(), TempPattern);
    if (!with_extras) return {};
    Result<void> saved =
        write_file_atomically(*extras, text, ExtrasTempPattern, 0600, Durability::Flushed);
    if (!saved) {
        if (const Result<void> undone = put_back(*file, before.value()); !undone)
            return Error{saved.error().text +
                         "; nor could the schedule file be put back as it was (" +
                         undone.error().text + "), so it holds the new tasks"};
        return saved;
    }
    remove_leftovers(extras->parent_path().string(), ExtrasTempPattern);
    if (!extras_backup.empty() && fs::path(extras_backup).parent_path() != extras->parent_path())
        remove_leftovers(fs::path(extras_backup).parent_path().string(), ExtrasTempPattern);
    return {};
}

}  // namespace psf
