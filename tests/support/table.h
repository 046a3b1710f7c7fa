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

// Every row of tests/data/`name`, each with exactly `width` fields.
inline std::vector<TableRow> read_table(const std::string& name, std::size_t width) {
    const std::string path = std::string(PICSIFTER_TEST_DATA) + "/" + name;
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::vector<TableRow> rows;
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        if (line.find_first_not_of(' ') == std::string::npos || line[0] == '#') continue;
        TableRow row{path + ":" + std::to_string(n), {""}};
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
