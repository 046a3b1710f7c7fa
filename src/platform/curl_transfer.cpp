#include "platform/curl_transfer.h"

#include <curl/curl.h>

#include <cctype>
#include <chrono>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace psf {

namespace {

// libcurl's global state must be set up once per process before any handle,
// and a function-local static makes that thread-safe.
void init_curl_once() {
    static const CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (rc != CURLE_OK) throw std::runtime_error("libcurl: global initialisation failed");
}

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

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Messages from libcurl's error buffer may end with a line break.
std::string one_line(std::string s) {
    for (char& c : s)
        if (c == '\n' || c == '\r') c = ' ';
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

// After a redirect libcurl writes the user name and password into the
// effective address; the caller would otherwise carry them into every link it
// resolves against it.
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

}  // namespace

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
        const std::string s = lower(scheme);
        if ((s == "http" || s == "https") && host[0] != '\0')
            result = s + "://" + lower(host) + ":" + port;
    }
    curl_free(scheme);
    curl_free(host);
    curl_free(port);
    curl_url_cleanup(u);
    return result;
}

struct CurlTransfer::Impl {
    TransferLimits limits;
    CURL* curl = nullptr;
    std::stop_token stop;
    std::string user;
    std::string password;
    std::string origin;  // normalised; empty when no credentials are set

    // Per-request state, reset by every OpenURL.
    std::string body;
    bool over_cap = false;
    bool stalled = false;
    curl_off_t last_count = 0;
    std::chrono::steady_clock::time_point last_arrival;
    char errbuf[CURL_ERROR_SIZE] = {};

    static size_t on_body(char* data, size_t size, size_t count, void* self_ptr) {
        auto* self = static_cast<Impl*>(self_ptr);
        const size_t n = size * count;
        if (self->stop.stop_requested()) return 0;
        if (n > self->limits.max_body - self->body.size()) {
            self->over_cap = true;
            return 0;  // a short count makes libcurl abort the transfer
        }
        self->body.append(data, n);
        return n;
    }

    // libcurl calls this about once a second even while nothing arrives, which
    // bounds how long a stop request waits. The stall is also measured here:
    // libcurl's low-speed check averages over several seconds, so a transfer
    // that stops after a few bytes would run on past the stall time.
    static int on_progress(void* self_ptr, curl_off_t, curl_off_t received, curl_off_t,
                           curl_off_t) {
        auto* self = static_cast<Impl*>(self_ptr);
        if (self->stop.stop_requested()) return 1;
        const auto now = std::chrono::steady_clock::now();
        if (received != self->last_count) {
            self->last_count = received;
            self->last_arrival = now;
        } else if (now - self->last_arrival >= std::chrono::seconds(self->limits.stall_timeout_s)) {
            self->stalled = true;
            return 1;
        }
        return 0;
    }

    // Every option is set again after curl_easy_reset, so nothing of an earlier
    // request (credentials, authentication state) carries over; the reset keeps
    // the open connections.
    void configure(const std::string& address, bool with_credentials) {
        curl_easy_reset(curl);
        body.clear();
        over_cap = false;
        stalled = false;
        last_count = 0;
        last_arrival = std::chrono::steady_clock::now();
        errbuf[0] = '\0';

        curl_easy_setopt(curl, CURLOPT_URL, address.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errbuf);
        curl_easy_setopt(curl, CURLOPT_FAILONERROR, 0L);

        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(curl, CURLOPT_MAXREDIRS, limits.max_redirects);

        curl_easy_setopt(curl, CURLOPT_USERAGENT, "Picsifter/2.0");
        curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);

        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, limits.connect_timeout_s);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, limits.stall_timeout_s);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, limits.transfer_timeout_s);
        curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.max_body));

        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Impl::on_body);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &Impl::on_progress);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);

        // With several methods allowed libcurl sends nothing until a 401 names
        // one, and it withholds the credentials from any other host it is
        // redirected to.
        curl_easy_setopt(curl, CURLOPT_UNRESTRICTED_AUTH, 0L);
        if (with_credentials) {
            curl_easy_setopt(curl, CURLOPT_HTTPAUTH, static_cast<unsigned long>(CURLAUTH_ANY));
            curl_easy_setopt(curl, CURLOPT_USERNAME, user.c_str());
            curl_easy_setopt(curl, CURLOPT_PASSWORD, password.c_str());
        }
    }

    Response fail(std::string why) {
        body.clear();
        Response r;
        r.error = std::move(why);
        return r;
    }

    Response fetch(const std::string& url) {
        if (stop.stop_requested()) return fail("cancelled");
        const std::string address = request_address(url);
        const bool with_credentials = !origin.empty() && origin_of(address) == origin;
        configure(address, with_credentials);

        const CURLcode rc = curl_easy_perform(curl);
        if (stop.stop_requested()) return fail("cancelled");
        if (over_cap || rc == CURLE_FILESIZE_EXCEEDED)
            return fail("body larger than " + std::to_string(limits.max_body) + " bytes");
        if (stalled)
            return fail("no data received for " + std::to_string(limits.stall_timeout_s) + " s");
        if (rc != CURLE_OK)
            return fail(one_line(errbuf[0] != '\0' ? errbuf : curl_easy_strerror(rc)));

        Response r;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &r.status);
        if (r.status <= 0) return fail("no HTTP response");
        char* effective = nullptr;
        curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &effective);
        r.final_url = effective != nullptr ? effective : address;
        if (with_credentials && r.final_url != address) {
            r.final_url = without_userinfo(r.final_url);
            if (r.final_url.empty()) return fail("unreadable address after a redirect");
        }
        r.ok = true;
        r.body = std::move(body);
        body.clear();
        return r;
    }
};

CurlTransfer::CurlTransfer(TransferLimits limits) : impl_(std::make_unique<Impl>()) {
    init_curl_once();
    impl_->limits = limits;
    impl_->curl = curl_easy_init();
    if (impl_->curl == nullptr)
        throw std::runtime_error("libcurl: cannot create a transfer handle");
}

CurlTransfer::~CurlTransfer() {
    curl_easy_cleanup(impl_->curl);
}

void CurlTransfer::SetCredentials(const std::string& user, const std::string& password,
                                  const std::string& origin) {
    if (user.empty() || password.empty()) {
        impl_->user.clear();
        impl_->password.clear();
        impl_->origin.clear();
        return;
    }
    impl_->user = user;
    impl_->password = password;
    impl_->origin = origin_of(origin);
}

Response CurlTransfer::OpenURL(const std::string& url, DataType /*both forms give raw bytes*/) {
    return impl_->fetch(url);
}

void CurlTransfer::SetStopToken(std::stop_token token) {
    impl_->stop = std::move(token);
}

}  // namespace psf
