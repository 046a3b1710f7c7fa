// Shared by the fuzz targets: a check that stops the run on a broken
// invariant, and the cutting of one input into several arguments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace psf::fuzz {

// A broken invariant is a finding like a crash: libFuzzer keeps the input.
#define FUZZ_CHECK(cond, what)                                                                 \
    do {                                                                                       \
        if (!(cond)) {                                                                         \
            std::fprintf(stderr, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, what); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// The first `count` - 1 lines, each without its "\n", then the rest whole.
// Missing parts are empty.
inline std::vector<std::string_view> split_lines(std::string_view s, std::size_t count) {
    std::vector<std::string_view> parts;
    while (parts.size() + 1 < count) {
        const std::size_t nl = s.find('\n');
        if (nl == std::string_view::npos) break;
        parts.push_back(s.substr(0, nl));
        s.remove_prefix(nl + 1);
    }
    parts.push_back(s);
    parts.resize(count);
    return parts;
}

// The decimal number at the start of `s`, at most 99999; 0 when there is none.
inline int small_number(std::string_view s) {
    int n = 0;
    for (std::size_t i = 0; i < s.size() && i < 5 && s[i] >= '0' && s[i] <= '9'; ++i)
        n = n * 10 + (s[i] - '0');
    return n;
}

// "http://" or "https://", a host without "/" or blanks, then anything
// without a line break: the addresses the crawl itself starts from.
inline bool well_formed_address(std::string_view s) {
    std::size_t host = 0;
    if (s.starts_with("http://")) {
        host = 7;
    } else if (s.starts_with("https://")) {
        host = 8;
    } else {
        return false;
    }
    const std::size_t end = s.find('/', host);
    const std::string_view h = s.substr(host, end == std::string_view::npos ? end : end - host);
    if (h.empty() || h.find_first_of(" \r\n") != std::string_view::npos) return false;
    return s.find_first_of("\r\n") == std::string_view::npos;
}

}  // namespace psf::fuzz
