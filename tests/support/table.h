// Test cases as lines of a file under tests/data/: one case a line, fields
// separated by "|". Blanks around a field are dropped; a field in double
// quotes is taken as written, with \t, \r, \n and \" inside. "#" starts a comment
// line.
#pragma once

#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace psf::test {

struct TableRow {
    std::string where;  // "file:line", for the failure message
    std::vector<std::string> fields;
    const std::string& operator[](std::size_t i) const { return fields.at(i); }
};

inline std::string table_field(std::string f) {
    const auto first = f.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    f = f.substr(first, f.find_last_not_of(' ') - first + 1);
    if (f.size() < 2 || f.front() != '"' || f.back() != '"') return f;
    std::string out;
    for (std::size_t i = 1; i + 1 < f.size(); ++i) {
        if (f[i] != '\\' || i + 2 == f.size()) {
            out += f[i];
            continue;
        }
        const char c = f[++i];
        out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    }
    return out;
}

// Every row of tests/data/`name`, each with exactly `width` fields.
inline std::vector<TableRow> read_table(const std::string& name, std::size_t width) {
    const std::string path = std::string(PICSIFTER_TEST_DATA) + "/" + name;
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::vector<TableRow> rows;
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        if (line.find_first_not_of(' ') == std::string::npos || line[0] == '#') continue;
        TableRow row{path + ":" + std::to_string(n), {}};
        bool quoted = false;
        std::string field;
        for (std::size_t i = 0; i < line.size(); ++i) {
            const char c = line[i];
            if (c == '"' && (i == 0 || line[i - 1] != '\\')) quoted = !quoted;
            if (c == '|' && !quoted) {
                row.fields.push_back(table_field(field));
                field.clear();
            } else {
                field += c;
            }
        }
        row.fields.push_back(table_field(field));
        if (row.fields.size() != width)
            throw std::runtime_error(row.where + ": " + std::to_string(row.fields.size()) +
                                     " fields, not " + std::to_string(width));
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace psf::test
