// The text rules every layer shares: ASCII case, trimming, media types.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace psf {

// A-Z to a-z and nothing else: schemes, tags, extensions and types are ASCII,
// and the user's locale must not change what they match.
constexpr char lower_ascii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
std::string lower_ascii(std::string_view s);

// Comparisons that ignore the case of ASCII letters.
bool equal_nocase(std::string_view a, std::string_view b);
bool starts_with_nocase(std::string_view s, std::string_view prefix);
bool ends_with_nocase(std::string_view s, std::string_view suffix);
// Where `needle` first occurs in `s` from `from`, in any case; npos when nowhere.
std::size_t find_nocase(std::string_view s, std::string_view needle, std::size_t from = 0);

// `s` without the characters of `blanks` at either end: spaces alone unless
// told, as a task's fields are trimmed.
std::string_view trim_blanks(std::string_view s, std::string_view blanks = " ");

// The media type of a Content-Type value: "type/subtype" in lower case, with
// its parameters and blanks left out; empty for an empty value.
std::string media_type(std::string_view content_type);

}  // namespace psf
