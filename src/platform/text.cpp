#include "platform/text.h"

namespace psf {

std::string lower_ascii(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = lower_ascii(c);
    return out;
}

bool equal_nocase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t k = 0; k < a.size(); ++k)
        if (lower_ascii(a[k]) != lower_ascii(b[k])) return false;
    return true;
}

bool starts_with_nocase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && equal_nocase(s.substr(0, prefix.size()), prefix);
}

bool ends_with_nocase(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && equal_nocase(s.substr(s.size() - suffix.size()), suffix);
}

std::size_t find_nocase(std::string_view s, std::string_view needle, std::size_t from) {
    for (std::size_t at = from; at <= s.size() && s.size() - at >= needle.size(); ++at)
        if (equal_nocase(s.substr(at, needle.size()), needle)) return at;
    return std::string_view::npos;
}

std::string_view trim_blanks(std::string_view s, std::string_view blanks) {
    const std::size_t first = s.find_first_not_of(blanks);
    if (first == std::string_view::npos) return s.substr(s.size());
    return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

std::string media_type(std::string_view content_type) {
    std::string type;
    for (char c : content_type.substr(0, content_type.find(';')))
        if (c != ' ' && c != '\t') type.push_back(lower_ascii(c));
    return type;
}

}  // namespace psf
