// Request addresses as libcurl takes them, and the origin an address names.
#pragma once

#include <string>

namespace psf {

// Percent-encodes the bytes libcurl refuses in a request address (blanks,
// control bytes, bytes above 0x7e and a few unsafe marks); everything else,
// '%' included, is kept as it is.
std::string request_address(const std::string& url);

// "scheme://host:port" in lower case with the default port made explicit, or
// empty when the address has no http or https scheme.
std::string origin_of(const std::string& url);

// The address without a user name and password, empty when libcurl cannot
// read it.
std::string without_userinfo(const std::string& url);

}  // namespace psf
