// Shared by the fuzz targets: a check that stops the run on a broken
// invariant, the cutting of one input into several arguments, and the small
// references the targets compare against.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace psf::fuzz {

// A broken invariant is a finding like a crash: libFuzzer keeps the input.
[[noreturn]] inline void fail(const char* file, int line, const char* what) {
    std::fprintf(stderr, "invariant broken at %s:%d: %s\n", file, line, what);
    std::abort();
}
#define FUZZ_CHECK(cond, what) ((cond) ? void() : psf::fuzz::fail(__FILE__, __LINE__, what))

// The first `count` - 1 parts, each ended by `sep` (not kept), then the rest
// whole. Missing parts are empty.
inline std::vector<std::string_view> split(std::string_view s, std::size_t count, char sep = '\n') {
    std::vector<std::string_view> parts;
    for (std::size_t at = 0; parts.size() + 1 < count && (at = s.find(sep)) != s.npos;
         s.remove_prefix(at + 1))
        parts.push_back(s.substr(0, at));
    parts.push_back(s);
    parts.resize(count);
    return parts;
}

// The decimal number at the start of `s` (0 when there is none), brought
// within [least, most].
inline int small_number(std::string_view s, int least, int most) {
    int n = 0;
    for (std::size_t i = 0; i < s.size() && i < 5 && s[i] >= '0' && s[i] <= '9'; ++i)
        n = n * 10 + (s[i] - '0');
    return std::clamp(n, least, most);
}

// Whether `s` starts (or, `at_end`, ends) with the lower-case `affix`, in any case.
inline bool has_nocase(std::string_view s, std::string_view affix, bool at_end = false) {
    if (s.size() < affix.size()) return false;
    s = s.substr(at_end ? s.size() - affix.size() : 0, affix.size());
    return std::equal(s.begin(), s.end(), affix.begin(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == b;
    });
}

// "http://" or "https://", a host without "/" or blanks, then anything
// without a line break: the addresses the crawl itself starts from.
inline bool well_formed_address(std::string_view s) {
    const std::size_t host = s.starts_with("http://") ? 7 : s.starts_with("https://") ? 8 : 0;
    const std::string_view h = s.substr(host, s.find('/', host) - host);
    return host && !h.empty() && h.find_first_of(" \r\n") == s.npos &&
           s.find_first_of("\r\n") == s.npos;
}

// A filter table (include or exclude) of one row.
template <class Table>
Table one_row(std::string_view name, std::string_view type) {
    Table t;
    t[0][0] = std::string(name), t[0][2] = std::string(type);
    return t;
}

}  // namespace psf::fuzz
