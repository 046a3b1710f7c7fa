#include "platform/address.h"

#include <curl/curl.h>

#include <cctype>
#include <string_view>

#include "platform/text.h"

namespace psf {

namespace {

bool needs_encoding(unsigned char c) {
    static constexpr std::string_view unsafe = "\"<>\\^`{|}";
    return c <= 0x20 || c >= 0x7f || unsafe.find(static_cast<char>(c)) != std::string_view::npos;
}

bool is_scheme(const std::string& s) {
    if (s.empty() || !std::isalpha(static_cast<unsigned char>(s[0]))) return false;
    for (unsigned char c : s)
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return false;
    return true;
}

}  // namespace

std::string without_userinfo(const std::string& url) {
    CURLU* u = curl_url();
    if (u == nullptr) return {};
    std::string result;
    char* clean = nullptr;
    if (curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
        curl_url_set(u, CURLUPART_USER, nullptr, 0) == CURLUE_OK &&
        curl_url_set(u, CURLUPART_PASSWORD, nullptr, 0) == CURLUE_OK &&
        curl_url_get(u, CURLUPART_URL, &clean, 0) == CURLUE_OK)
        result = clean;
    curl_free(clean);
    curl_url_cleanup(u);
    return result;
}

std::string request_address(const std::string& url) {
    static const char* hex = "0123456789ABCDEF";
    // The authority is left alone: encoding an international host name would
    // break it, and a host with blanks is invalid however it is written.
    std::size_t start = 0;
    const std::size_t colon = url.find(':');
    if (colon != std::string::npos && is_scheme(url.substr(0, colon)) &&
        url.compare(colon + 1, 2, "//") == 0) {
        start = url.find_first_of("/?#", colon + 3);
        if (start == std::string::npos) return url;
    }
    std::string out = url.substr(0, start);
    out.reserve(url.size() + 16);
    for (std::size_t i = start; i < url.size(); ++i) {
        const auto c = static_cast<unsigned char>(url[i]);
        if (needs_encoding(c)) {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 0x0f]);
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

std::string origin_of(const std::string& url) {
    // libcurl's own parser, so the host compared is the host libcurl connects to
    // (percent-decoded, numeric forms normalised, lenient slashes alike).
    CURLU* u = curl_url();
    if (u == nullptr) return {};
    std::string result;
    char* scheme = nullptr;
    char* host = nullptr;
    char* port = nullptr;
    if (curl_url_set(u, CURLUPART_URL, request_address(url).c_str(), 0) == CURLUE_OK &&
        curl_url_get(u, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
        curl_url_get(u, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
        curl_url_get(u, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
        const std::string s = lower_ascii(scheme);
        if ((s == "http" || s == "https") && host[0] != '\0')
            result = s + "://" + lower_ascii(host) + ":" + port;
    }
    curl_free(scheme);
    curl_free(host);
    curl_free(port);
    curl_url_cleanup(u);
    return result;
}

}  // namespace psf
