// Dates as HTTP writes them ("Sun, 06 Nov 1994 08:49:37 GMT").
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace psf {

// The moment an HTTP date names, in the form every sender uses now or one of
// the two older forms; nothing for any other text.
std::optional<std::time_t> parse_http_date(std::string_view text);

// The moment as an HTTP date, whatever the locale.
std::string http_date(std::time_t t);

}  // namespace psf
