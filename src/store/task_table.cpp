#include "store/task_table.h"

#include <algorithm>
#include <limits>

#include "platform/text.h"

namespace psf {

std::string format_schedule(const TaskTable& table) {
    std::string out;
    for (int row = 1; row <= table.TaskCount; ++row) {
        for (int col = 1; col <= FieldCount; ++col) {
            if (col > 1) out += ',';
            out += '"';
            out += table.at(row, col);
            out += '"';
        }
        out += "\r\n";
    }
    return out;
}

std::string unstorable_value(const TaskTable& table) {
    for (int row = 1; row <= table.TaskCount; ++row)
        for (int col = 1; col <= FieldCount; ++col)
            if (table.at(row, col).find_first_of(Unstorable) != std::string::npos)
                return std::to_string(row) + ":" + std::to_string(col);
    return {};
}

namespace {

bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t len = c < 0x80           ? 1
                          : (c >> 5) == 0x6  ? 2
                          : (c >> 4) == 0xE  ? 3
                          : (c >> 3) == 0x1E ? 4
                                             : 0;
        if (len == 0 || i + len > s.size()) return false;
        if (len == 2 && c < 0xC2) return false;  // overlong
        if (c > 0xF4) return false;              // beyond U+10FFFF
        for (std::size_t k = 1; k < len; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        // Overlong three- and four-byte forms, surrogates and code points
        // beyond U+10FFFF show in the second byte; Qt would turn them into
        // replacement characters, so such a file is Latin-1 instead.
        const auto second = static_cast<unsigned char>(len > 1 ? s[i + 1] : 0);
        if ((c == 0xE0 && second < 0xA0) || (c == 0xED && second > 0x9F) ||
            (c == 0xF0 && second < 0x90) || (c == 0xF4 && second > 0x8F))
            return false;
        i += len;
    }
    return true;
}

std::string latin1_to_utf8(std::string_view s) {
    std::string out;
    out.reserve(s.size() + s.size() / 8);
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out.push_back(ch);
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

// Reads the fields of one line into `task` (at most 40 are kept) and returns
// how many the line holds. A quoted field ends at the first double quote that
// is followed, blanks aside, by a comma or the line's end, so a stray quote
// inside a value neither ends it early nor shifts the fields after it.
int read_record(std::string_view line, Task& task, int& quotes_dropped) {
    constexpr auto npos = std::string_view::npos;
    int count = 0;
    std::size_t i = 0;
    for (;;) {
        while (i < line.size() && line[i] == ' ') ++i;
        std::string value;
        if (i < line.size() && line[i] == '"') {
            std::size_t close = npos;
            for (std::size_t q = line.find('"', i + 1); q != npos; q = line.find('"', q + 1)) {
                std::size_t k = q + 1;
                while (k < line.size() && line[k] == ' ') ++k;
                if (k == line.size() || line[k] == ',') {
                    close = q;
                    break;
                }
            }
            if (close == npos) {
                ++quotes_dropped;  // an opening quote that never closes
                close = line.size();
            }
            value = std::string(line.substr(i + 1, close - i - 1));
            i = line.find(',', close);
            if (i == npos) i = line.size();
        } else {
            const std::size_t stop = std::min(line.find(',', i), line.size());
            value = std::string(trim_blanks(line.substr(i, stop - i)));
            i = stop;
        }
        // The format has no escape for a quote: keeping it would block every save.
        const auto quotes = std::erase(value, '"');
        quotes_dropped += static_cast<int>(quotes);
        if (++count <= FieldCount) task[static_cast<std::size_t>(count)] = std::move(value);
        if (i >= line.size()) return count;
        ++i;  // the comma
    }
}

}  // namespace

LoadReport parse_schedule(std::string_view bytes, TaskTable& table) {
    LoadReport report;
    if (bytes.starts_with("\xEF\xBB\xBF")) {
        bytes.remove_prefix(3);
        report.bom = true;
    }
    std::string converted;
    if (!valid_utf8(bytes)) {
        converted = latin1_to_utf8(bytes);
        bytes = converted;
        report.latin1 = true;
    }
    table.TaskCount = 0;
    int n = 0;
    int line_number = 0;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const std::string_view line = next_line(bytes, pos);
        ++line_number;
        if (trim_blanks(line).empty()) continue;
        Task task{};
        const int fields = read_record(line, task, report.quotes_dropped);
        if (fields != FieldCount) {
            report.set_aside.push_back({line_number, fields, task[Title]});
        } else if (n == MaxTasks) {
            ++report.surplus_records;
        } else {
            table.rows[static_cast<std::size_t>(++n)] = std::move(task);
        }
    }
    table.TaskCount = static_cast<std::int16_t>(n);
    return report;
}

std::string_view next_line(std::string_view bytes, std::size_t& pos) {
    const std::size_t end = std::min(bytes.find_first_of("\r\n", pos), bytes.size());
    const std::string_view line = bytes.substr(pos, end - pos);
    pos = end;
    if (pos < bytes.size() && bytes[pos] == '\r') ++pos;
    if (pos < bytes.size() && bytes[pos] == '\n') ++pos;
    return line;
}

int find_task(const TaskTable& table, std::string_view title) {
    const std::string_view wanted = trim_blanks(title);
    for (int row = 1; row <= table.TaskCount; ++row)
        if (trim_blanks(table.at(row, Title)) == wanted) return row;
    return 0;
}

std::int16_t read_number(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    long value = 0;
    bool any = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        any = true;
        value = value * 10 + (text[i] - '0');
        if (value > 100000) value = 100000;  // far beyond 16 bits already
    }
    if (!any) return 0;
    if (negative) value = -value;
    if (value > std::numeric_limits<std::int16_t>::max())
        return std::numeric_limits<std::int16_t>::max();
    if (value < std::numeric_limits<std::int16_t>::min())
        return std::numeric_limits<std::int16_t>::min();
    return static_cast<std::int16_t>(value);
}

}  // namespace psf

namespace psf {

const std::array<std::string, 7>& day_period_texts() {
    static const std::array<std::string, 7> texts = {"Every day",    "Every 2 days", "Every 3 days",
                                                     "Every 4 days", "Every 5 days", "Every 6 days",
                                                     "Every 7 days"};
    return texts;
}

std::array<std::string, 5> grid_cells(const Task& task) {
    std::array<std::string, 5> cells;
    cells[0] = task[Title];
    cells[1] = task[StartAddress];
    cells[2] = task[LinkDepth] == "0" ? "No" : "Yes";
    cells[3] = task[DestinationFolder];
    const std::string& kind = task[ScheduleKind];
    if (kind == KindOnDemand) {
        cells[4] = "On demand";
    } else if (kind == KindManyTimesADay) {
        cells[4] = "Many times a day";
    } else if (kind == KindFrom) {
        const int d = read_number(task[DayPeriodIndex]);
        if (d >= 0 && d < 7) cells[4] = day_period_texts()[static_cast<std::size_t>(d)];
    }
    return cells;
}

}  // namespace psf
