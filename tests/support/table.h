// Test cases as lines of a file under tests/data/: one case a line, fields
// separated by "|". Blanks around a field are dropped; a field in double
// quotes is taken as written, with \t, \r, \n and \" inside. "#" starts a comment
// line. A line that starts with blanks goes on with the case above: after the
// blanks, "|" begins its next field, and "+" is followed by more of the text
// above, joined as it stands (a long field over several lines).
#pragma once

#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace psf::test {

struct TableRow {
    std::string where;  // "file:line", for the failure message
    std::vector<std::string> fields;
    const std::string& operator[](std::size_t i) const { return fields.at(i); }
};

inline std::string table_field(std::string f) {
    f.erase(0, f.find_first_not_of(' '));
    f.erase(f.find_last_not_of(' ') + 1);
    if (f.size() < 2 || f.front() != '"' || f.back() != '"') return f;
    std::string out;
    for (std::size_t i = 1; i + 1 < f.size(); ++i) {
        const bool escaped = f[i] == '\\' && i + 2 < f.size();
        const char c = f[i += escaped];
        out += !escaped ? c : c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    }
    return out;
}

inline std::string replaced(std::string s, const std::string& from, const std::string& to) {
    for (auto at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

// {N*UNIT} is UNIT N times, "#" in it the repeat's number, the innermost
// first; {N*} is N random bytes (the same each time).
inline std::string repeats(std::string s) {
    for (auto end = s.find('}'); end != std::string::npos; end = s.find('}', end + 1)) {
        const auto at = s.rfind('{', end), star = s.find('*', at);
        if (at == std::string::npos || star > end ||
            s.find_first_not_of("0123456789", at + 1) != star)
            continue;
        const std::string unit = s.substr(star + 1, end - star - 1);
        std::string out;
        std::mt19937 gen(20240601);
        for (long i = 0, n = std::stol(s.substr(at + 1, star - at - 1)); i < n; ++i)
            out +=
                unit.empty() ? std::string(1, char(gen())) : replaced(unit, "#", std::to_string(i));
        s.replace(at, end - at + 1, out);
        end = at + out.size() - 1;
    }
    return s;
}

// The cases of the file at `path`, each with the lines that go on with it
// joined on: "file:line" of its first line, and its text.
inline std::vector<std::pair<std::string, std::string>> read_cases(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::vector<std::pair<std::string, std::string>> cases;
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        const std::size_t first = line.find_first_not_of(' ');
        if (first == std::string::npos || line[0] == '#') continue;
        if (first > 0 && (cases.empty() || (line[first] != '|' && line[first] != '+')))
            throw std::runtime_error(path + ":" + std::to_string(n) + ": not a case's next line");
        if (first == 0) cases.emplace_back(path + ":" + std::to_string(n), line);
        if (first > 0)
            cases.back().second +=
                line[first] == '|' ? " " + line.substr(first) : line.substr(first + 1);
    }
    return cases;
}

// Every row of tests/data/`name`, each with exactly `width` fields.
inline std::vector<TableRow> read_table(const std::string& name, std::size_t width) {
    std::vector<TableRow> rows;
    for (auto& [where, line] : read_cases(std::string(PICSIFTER_TEST_DATA) + "/" + name)) {
        TableRow row{where, {""}};
        for (std::size_t i = 0, quoted = 0; i < line.size(); ++i) {
            quoted ^= line[i] == '"' && (i == 0 || line[i - 1] != '\\');
            line[i] == '|' && !quoted ? row.fields.emplace_back() : row.fields.back() += line[i];
        }
        for (std::string& field : row.fields) field = table_field(field);
        if (row.fields.size() != width)
            throw std::runtime_error(row.where + ": not " + std::to_string(width) + " fields");
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace psf::test
