#include "store/task_table.h"

#include <limits>

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
            if (table.at(row, col).find('"') != std::string::npos)
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

// Reads fields as a stream: a line end separates like a comma.
class FieldReader {
  public:
    explicit FieldReader(std::string_view text) : s_(text) {}

    // Nothing but line ends and blanks is left.
    bool at_end() const {
        for (std::size_t i = pos_; i < s_.size(); ++i)
            if (s_[i] != '\r' && s_[i] != '\n' && s_[i] != ' ') return false;
        return true;
    }
    bool exhausted() const { return pos_ >= s_.size(); }

    std::string next() {
        while (pos_ < s_.size() && s_[pos_] == ' ') ++pos_;
        std::string value;
        if (pos_ < s_.size() && s_[pos_] == '"') {
            const std::size_t close = s_.find('"', pos_ + 1);
            const std::size_t end = close == std::string_view::npos ? s_.size() : close;
            value = std::string(s_.substr(pos_ + 1, end - pos_ - 1));
            pos_ = end == s_.size() ? end : end + 1;
            // Whatever a hand edit left between the closing quote and the separator is dropped.
            while (pos_ < s_.size() && s_[pos_] != ',' && s_[pos_] != '\r' && s_[pos_] != '\n')
                ++pos_;
        } else {
            const std::size_t start = pos_;
            while (pos_ < s_.size() && s_[pos_] != ',' && s_[pos_] != '\r' && s_[pos_] != '\n')
                ++pos_;
            std::string_view raw = s_.substr(start, pos_ - start);
            while (!raw.empty() && raw.back() == ' ') raw.remove_suffix(1);
            value = std::string(raw);
        }
        skip_separator();
        return value;
    }

  private:
    void skip_separator() {
        if (pos_ >= s_.size()) return;
        if (s_[pos_] == ',') {
            ++pos_;
        } else if (s_[pos_] == '\r') {
            ++pos_;
            if (pos_ < s_.size() && s_[pos_] == '\n') ++pos_;
        } else if (s_[pos_] == '\n') {
            ++pos_;
        }
    }

    std::string_view s_;
    std::size_t pos_ = 0;
};

}  // namespace

LoadReport parse_schedule(std::string_view bytes, TaskTable& table) {
    LoadReport report;
    std::string converted;
    if (!valid_utf8(bytes)) {
        converted = latin1_to_utf8(bytes);
        bytes = converted;
        report.latin1 = true;
    }
    table.TaskCount = 0;
    FieldReader reader(bytes);
    int n = 0;
    while (!reader.at_end()) {
        Task task{};
        int fields = 0;
        for (int col = 1; col <= FieldCount && !reader.exhausted(); ++col) {
            task[static_cast<std::size_t>(col)] = reader.next();
            ++fields;
        }
        if (fields < FieldCount) report.incomplete_last = true;
        if (n == MaxTasks) {
            ++report.surplus_records;
            continue;
        }
        table.rows[static_cast<std::size_t>(++n)] = std::move(task);
    }
    table.TaskCount = static_cast<std::int16_t>(n);
    return report;
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
    if (kind == "0") {
        cells[4] = "On demand";
    } else if (kind == "1") {
        cells[4] = "Many times a day";
    } else if (kind == "2") {
        const int d = read_number(task[DayPeriodIndex]);
        if (d >= 0 && d < 7) cells[4] = day_period_texts()[static_cast<std::size_t>(d)];
    }
    return cells;
}

}  // namespace psf
