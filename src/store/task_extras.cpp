#include <algorithm>
#include <optional>
#include <set>

#include "platform/text.h"
#include "store/task_table.h"

namespace psf {

namespace {

constexpr std::string_view Largest = "largest";
constexpr std::string_view All = "all";

// The fields of a line written by format_extras; nothing else passes.
std::optional<std::vector<std::string_view>> strict_fields(std::string_view line) {
    if (line.size() < 2 || line.front() != '"' || line.back() != '"') return std::nullopt;
    line = line.substr(1, line.size() - 2);
    std::vector<std::string_view> fields;
    for (std::size_t at = 0;;) {
        const std::size_t next = line.find("\",\"", at);
        fields.push_back(line.substr(at, next == std::string_view::npos ? line.npos : next - at));
        if (fields.back().find('"') != std::string_view::npos) return std::nullopt;
        if (next == std::string_view::npos) return fields;
        at = next + 3;
    }
}

std::optional<TaskExtras> read_extras(const std::vector<std::string_view>& f) {
    if (f.size() != 4 || (f[2] != "0" && f[2] != "1") || (f[3] != Largest && f[3] != All))
        return std::nullopt;
    TaskExtras e;
    for (std::size_t at = 0; at < f[1].size();) {
        const std::size_t comma = std::min(f[1].find(',', at), f[1].size());
        e.kinds.emplace_back(f[1].substr(at, comma - at));
        at = comma + 1;
    }
    e.modern = f[2] == "1";
    e.srcset_all = f[3] == All;
    if (!normalise(e) || e.is_default()) return std::nullopt;
    return e;
}

}  // namespace

bool normalise(TaskExtras& extras) {
    const auto& known = image_kinds();
    std::set<std::size_t> chosen;
    for (const std::string& kind : extras.kinds) {
        const auto it = std::find(known.begin(), known.end(), lower_ascii(kind));
        if (it == known.end()) return false;
        chosen.insert(static_cast<std::size_t>(it - known.begin()));
    }
    extras.kinds.clear();
    // The described three alone are the default.
    if (chosen != std::set<std::size_t>{0, 1, 2})
        for (std::size_t k : chosen) extras.kinds.emplace_back(known[k]);
    if (!extras.modern) extras.srcset_all = false;
    return true;
}

std::string extras_key(std::string_view title) {
    return std::string(trim_blanks(title));
}

TaskExtras TaskTable::extras_of(int row) const {
    const auto it = extras.find(extras_key(at(row, Title)));
    return it == extras.end() ? TaskExtras{} : it->second;
}

void TaskTable::set_extras(std::string_view title, TaskExtras value) {
    if (value.is_default())
        extras.erase(extras_key(title));
    else
        extras.insert_or_assign(extras_key(title), std::move(value));
}

std::string format_extras(const TaskTable& table) {
    std::string out;
    std::set<std::string, std::less<>> written;
    for (int row = 1; row <= table.TaskCount; ++row) {
        std::string key = extras_key(table.at(row, Title));
        const auto it = table.extras.find(key);
        if (it == table.extras.end() || !written.insert(std::move(key)).second) continue;
        const TaskExtras& e = it->second;
        std::string kinds;
        for (const std::string& k : e.kinds) kinds += (kinds.empty() ? "" : ",") + k;
        out += '"' + it->first + "\",\"" + kinds + "\",\"" + (e.modern ? "1" : "0") + "\",\"" +
               std::string(e.srcset_all ? All : Largest) + "\"\r\n";
    }
    return out;
}

ExtrasReport parse_extras(std::string_view bytes, TaskTable& table) {
    ExtrasReport report;
    table.extras.clear();
    std::set<std::string, std::less<>> titles;
    for (int row = 1; row <= table.TaskCount; ++row)
        titles.insert(extras_key(table.at(row, Title)));
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const std::string_view line = next_line(bytes, pos);
        if (line.empty()) continue;
        const auto fields = strict_fields(line);
        const auto extras = fields ? read_extras(*fields) : std::nullopt;
        if (!extras) {
            ++report.set_aside;
        } else if (const std::string key((*fields)[0]); key != extras_key(key)) {
            ++report.set_aside;
        } else if (!titles.contains(key)) {
            ++report.orphans;
        } else if (!table.extras.emplace(key, *extras).second) {
            ++report.set_aside;  // a title given twice keeps its first entry
        }
    }
    return report;
}

}  // namespace psf
