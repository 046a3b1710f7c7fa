#include "platform/curl_transfer.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/text.h"

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

// Whether a Content-Type names what the form asks for: for pages HTML, XHTML
// or plain text, for style sheets CSS; an empty type counts as either.
bool wanted_type(DataType form, std::string_view content_type) {
    const std::string type = media_type(content_type);
    if (type.empty() || form == DataType::Bytes) return true;
    if (form == DataType::StyleSheet) return type == "text/css";
    return type == "text/html" || type == "application/xhtml+xml" || type == "text/plain";
}

// Messages from libcurl's error buffer may end with a line break.
std::string one_line(std::string s) {
    for (char& c : s)
        if (c == '\n' || c == '\r') c = ' ';
    return std::string(trim_blanks(s));
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

// What the fetches of one transfer control share: the bytes of bodies held in
// memory, and the fetch a caller is waiting for (it never pauses).
struct Account {
    std::size_t held = 0;
    Ticket awaited = 0;
};

// One fetch: its easy handle and what arrives for it.
struct Transfer {
    Ticket ticket = 0;
    std::string address;
    std::string origin;  // for the per-host admission count
    bool with_credentials = false;
    DataType form = DataType::Bytes;  // a body of a type not asked for is left unread
    std::size_t max_body = 0;
    int attempt = 0;                                   // tries made before this one
    std::chrono::steady_clock::time_point not_before;  // a retry waits until then
    std::chrono::steady_clock::time_point started;     // this try's admission
    CURL* easy = nullptr;
    const TransferLimits* limits = nullptr;
    const std::stop_token* stop = nullptr;
    Account* account = nullptr;
    std::shared_ptr<BodySink> sink;    // byte form: where the body goes instead of `body`
    curl_slist* conditions = nullptr;  // If-None-Match, If-Modified-Since

    std::string body;
    std::size_t size = 0;     // body bytes of this try
    std::size_t counted = 0;  // of them, held in `body` and counted in `account`
    bool paused = false;      // over the memory bound: libcurl holds the bytes
    bool status_read = false;
    bool error_status = false;  // with a sink: status 400 or above, body dropped
    bool sink_failed = false;
    bool no_memory = false;
    bool long_redirect = false;
    bool over_cap = false;
    bool stalled = false;
    bool typed = false;  // the Content-Type was looked at
    bool not_a_page = false;
    curl_off_t last_count = 0;
    std::chrono::steady_clock::time_point last_arrival;
    char errbuf[CURL_ERROR_SIZE] = {};

    Transfer() = default;
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;
    ~Transfer() { curl_slist_free_all(conditions); }

    // The request headers of a conditional fetch; a value that would break
    // the request's lines is not sent.
    void ask_if_changed(const Validators& known) {
        const auto add = [this](const char* name, const std::string& value) {
            if (value.empty() || std::any_of(value.begin(), value.end(), [](char c) {
                    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
                }))
                return;
            if (curl_slist* more = curl_slist_append(conditions, (name + value).c_str()))
                conditions = more;
        };
        add("If-None-Match: ", known.etag);
        add("If-Modified-Since: ", known.last_modified);
    }

    static size_t on_body(char* data, size_t size, size_t count, void* self_ptr) {
        auto* self = static_cast<Transfer*>(self_ptr);
        const size_t n = size * count;
        if (self->stop->stop_requested()) return 0;
        // The headers are all in when the first byte of the body comes (those
        // of a redirect that is followed bring no body here).
        if (self->form != DataType::Bytes && !self->typed) {
            self->typed = true;
            char* type = nullptr;
            curl_easy_getinfo(self->easy, CURLINFO_CONTENT_TYPE, &type);
            if (type != nullptr && !wanted_type(self->form, type)) {
                self->not_a_page = true;
                return 0;
            }
        }
        if (self->sink && !self->status_read) {
            self->status_read = true;
            long status = 0;
            curl_easy_getinfo(self->easy, CURLINFO_RESPONSE_CODE, &status);
            self->error_status = status >= 400;
        }
        if (self->error_status) return n;  // an error page is never an image
        if (n > self->max_body - self->size) {
            self->over_cap = true;
            return 0;  // a short count makes libcurl abort the transfer
        }
        // No exception may cross libcurl: memory that runs out fails the fetch.
        try {
            if (self->sink) {
                if (!self->sink->Write(std::string_view(data, n))) {
                    self->sink_failed = true;
                    return 0;
                }
                self->size += n;
                return n;
            }
            Account& a = *self->account;
            if (self->ticket != a.awaited && a.held + n > self->limits->max_held) {
                self->paused = true;
                return CURL_WRITEFUNC_PAUSE;
            }
            self->body.append(data, n);
        } catch (const std::bad_alloc&) {
            self->no_memory = true;
            return 0;
        }
        self->size += n;
        self->counted += n;
        self->account->held += n;
        return n;
    }

    // A redirect to an address longer than the limit is not followed.
    static size_t on_header(char* data, size_t size, size_t count, void* self_ptr) {
        auto* self = static_cast<Transfer*>(self_ptr);
        const size_t n = size * count;
        static constexpr std::string_view name = "location:";
        if (n > MaxAddressLength && starts_with_nocase(std::string_view(data, n), name)) {
            long status = 0;
            curl_easy_getinfo(self->easy, CURLINFO_RESPONSE_CODE, &status);
            if (status >= 300 && status < 400) {
                self->long_redirect = true;
                return 0;
            }
        }
        return n;
    }

    // libcurl calls this about once a second even while nothing arrives. The
    // stall is measured here: libcurl's low-speed check averages over several
    // seconds, so a transfer that stops after a few bytes would run on past the
    // stall time.
    static int on_progress(void* self_ptr, curl_off_t, curl_off_t received, curl_off_t,
                           curl_off_t) {
        auto* self = static_cast<Transfer*>(self_ptr);
        if (self->stop->stop_requested()) return 1;
        const auto now = std::chrono::steady_clock::now();
        if (self->paused) {
            self->last_arrival = now;  // waiting for memory is not a stall
        } else if (received != self->last_count) {
            self->last_count = received;
            self->last_arrival = now;
        } else if (now - self->last_arrival >=
                   std::chrono::seconds(self->limits->stall_timeout_s)) {
            self->stalled = true;
            return 1;
        }
        return 0;
    }

    // Every option is set again on a reset handle, so nothing of an earlier
    // request (credentials, authentication state) carries over; open
    // connections belong to the multi handle and stay. Returns why an option
    // the fetch's safety rests on was refused, empty when none was.
    std::string configure(const std::string& user, const std::string& password) {
        last_arrival = std::chrono::steady_clock::now();
        last_count = 0;
        body.clear();
        size = counted = 0;
        paused = status_read = error_status = sink_failed = no_memory = long_redirect = false;
        over_cap = stalled = typed = not_a_page = false;
        if (sink) sink->Restart();
        errbuf[0] = '\0';
        const TransferLimits& l = *limits;
        curl_easy_setopt(easy, CURLOPT_URL, address.c_str());
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errbuf);
        curl_easy_setopt(easy, CURLOPT_FAILONERROR, 0L);
        curl_easy_setopt(easy, CURLOPT_PRIVATE, this);

        std::string refused;
        const auto must = [&](CURLcode rc, const char* option) {
            if (rc != CURLE_OK && refused.empty())
                refused = std::string("libcurl refused ") + option + ": " + curl_easy_strerror(rc);
        };
        must(curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https"), "the protocols");
        must(curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"),
             "the redirect protocols");
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(easy, CURLOPT_MAXREDIRS, l.max_redirects);

        curl_easy_setopt(easy, CURLOPT_USERAGENT, "Picsifter/2.0");
        if (conditions != nullptr) curl_easy_setopt(easy, CURLOPT_HTTPHEADER, conditions);
        curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
        must(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L), "the certificate check");
        must(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L), "the host name check");
        if (!l.ca_bundle.empty()) {
            // The system's folder stays trusted with the added bundle.
            must(curl_easy_setopt(easy, CURLOPT_CAINFO, l.ca_bundle.c_str()), "the CA bundle");
            if (const char* system = curl_version_info(CURLVERSION_NOW)->capath)
                curl_easy_setopt(easy, CURLOPT_CAPATH, system);
        }
        // A new fetch to an origin whose first connection is still being made
        // waits to learn whether it may share it instead of opening another.
        // Plain HTTP is never multiplexed here.
        curl_easy_setopt(easy, CURLOPT_PIPEWAIT, origin.starts_with("https:") ? 1L : 0L);

        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, l.connect_timeout_s);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, l.stall_timeout_s);
        curl_easy_setopt(easy, CURLOPT_TIMEOUT, l.transfer_timeout_s);
        curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(max_body));

        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::on_body);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::on_header);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
        curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Transfer::on_progress);
        curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);

        // With several methods allowed libcurl sends nothing until a 401 names
        // one, and it withholds the credentials from any other host it is
        // redirected to.
        must(curl_easy_setopt(easy, CURLOPT_UNRESTRICTED_AUTH, 0L), "the credentials' host limit");
        if (with_credentials) {
            must(curl_easy_setopt(easy, CURLOPT_HTTPAUTH, static_cast<unsigned long>(CURLAUTH_ANY)),
                 "the authentication methods");
            must(curl_easy_setopt(easy, CURLOPT_USERNAME, user.c_str()), "the user name");
            must(curl_easy_setopt(easy, CURLOPT_PASSWORD, password.c_str()), "the password");
        }
        return refused;
    }

    // Whether any byte of an answer, head or body, came on this try.
    bool heard() const {
        long head = 0;
        curl_easy_getinfo(easy, CURLINFO_HEADER_SIZE, &head);
        return head > 0 || last_count > 0 || size > 0;
    }

    // The address the last request went to, without credentials.
    std::string reached() const {
        char* effective = nullptr;
        curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective);
        std::string url = effective != nullptr ? effective : address;
        if (with_credentials && url != address) url = without_userinfo(url);
        return url;
    }

    Response result(CURLcode rc) {
        Response r = outcome(rc);
        // A failure names where it happened too.
        if (!r.ok && r.cause != Cause::Cancelled && r.final_url.empty()) r.final_url = reached();
        long redirects = 0;
        curl_easy_getinfo(easy, CURLINFO_REDIRECT_COUNT, &redirects);
        r.redirected = redirects > 0 && !r.final_url.empty();
        return r;
    }

    Response outcome(CURLcode rc) {
        const TransferLimits& l = *limits;
        if (stop->stop_requested()) return failure(Cause::Cancelled, "cancelled");
        if (over_cap || rc == CURLE_FILESIZE_EXCEEDED)
            return failure(Cause::TooLarge,
                           "body larger than " + std::to_string(max_body) + " bytes");
        if (stalled)
            return failure(heard() ? Cause::TimedOut : Cause::Silent,
                           "no data received for " + std::to_string(l.stall_timeout_s) + " s");
        if (long_redirect)
            return failure(Cause::Refusal, "redirect to an address longer than " +
                                               std::to_string(MaxAddressLength) + " bytes");
        if (sink_failed) return failure(Cause::Other, "cannot keep the body");
        if (no_memory) return failure(Cause::Other, "out of memory");
        if (rc != CURLE_OK && !not_a_page)
            return failure(cause_of(rc),
                           one_line(errbuf[0] != '\0' ? errbuf : curl_easy_strerror(rc)));

        Response r;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &r.status);
        if (r.status <= 0) return failure(Cause::Other, "no HTTP response");
        r.final_url = reached();
        if (r.final_url.empty())
            return failure(Cause::Other, "unreadable address after a redirect");
        char* type = nullptr;
        curl_easy_getinfo(easy, CURLINFO_CONTENT_TYPE, &type);
        if (type != nullptr) r.content_type = type;
        r.last_modified = header_value("Last-Modified");
        r.etag = header_value("ETag");
        curl_off_t received = 0;
        if (curl_easy_getinfo(easy, CURLINFO_SIZE_DOWNLOAD_T, &received) == CURLE_OK &&
            received > 0)
            r.received = static_cast<std::uint64_t>(received);
        r.ok = true;
        r.not_a_page = not_a_page;
        if (r.status >= 400) r.cause = Cause::HttpStatus;
        if (!not_a_page) r.body = std::move(body);
        body.clear();
        return r;
    }

    // A header of the last answer (after redirects), empty when it has none.
    std::string header_value(const char* name) const {
        curl_header* h = nullptr;
        if (curl_easy_header(easy, name, 0, CURLH_HEADER, -1, &h) != CURLHE_OK || h == nullptr ||
            h->value == nullptr)
            return {};
        return one_line(h->value);
    }

    Cause cause_of(CURLcode rc) const {
        switch (rc) {
            case CURLE_COULDNT_CONNECT: {
                long os_error = 0;
                curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &os_error);
                return os_error == ECONNREFUSED ? Cause::Refused
                       : os_error == ETIMEDOUT  ? Cause::Silent
                       : os_error == EHOSTUNREACH || os_error == ENETUNREACH ||
                               os_error == EHOSTDOWN
                           ? Cause::Unreachable
                           : Cause::Other;
            }
            case CURLE_COULDNT_RESOLVE_HOST:
            case CURLE_COULDNT_RESOLVE_PROXY:
                return Cause::HostUnknown;
            case CURLE_OPERATION_TIMEDOUT:
                return heard() ? Cause::TimedOut : Cause::Silent;
            case CURLE_PEER_FAILED_VERIFICATION:
                return Cause::Untrusted;
            case CURLE_SSL_CONNECT_ERROR:
            case CURLE_SSL_ENGINE_NOTFOUND:
            case CURLE_SSL_ENGINE_SETFAILED:
            case CURLE_SSL_CERTPROBLEM:
            case CURLE_SSL_CIPHER:
            case CURLE_SSL_CACERT_BADFILE:
            case CURLE_USE_SSL_FAILED:
                return Cause::Tls;
            case CURLE_SEND_ERROR:
            case CURLE_RECV_ERROR:
            case CURLE_GOT_NOTHING:
            case CURLE_PARTIAL_FILE:
            case CURLE_HTTP2:
            case CURLE_HTTP2_STREAM:
                return Cause::Reset;
            case CURLE_UNSUPPORTED_PROTOCOL:
            case CURLE_URL_MALFORMAT:
                return Cause::Refusal;
            default:
                return Cause::Other;
        }
    }

    static Response failure(Cause cause, std::string why) {
        Response r;
        r.cause = cause;
        r.error = std::move(why);
        return r;
    }

    // The pause before try `attempt` + 1: doubling from the first pause, at
    // least what the server asked for, never above the bound.
    std::chrono::milliseconds retry_pause(curl_off_t retry_after_s) const {
        const TransferLimits& l = *limits;
        std::chrono::milliseconds pause = l.retry_pause * (1L << std::min(attempt, 20));
        if (retry_after_s > 0)
            pause = std::max<std::chrono::milliseconds>(
                pause, std::chrono::seconds(std::min<curl_off_t>(retry_after_s, 3600)));
        return std::min(pause, l.max_retry_pause);
    }
};

struct CurlTransfer::Impl {
    // Wakes a multi handle waiting for sockets when the run is stopped. Its
    // failure needs no answer: the wait it would cut short lasts at most
    // poll_ms(), after which the loop sees the stop and ends every fetch.
    struct Wake {
        CURLM* multi;
        void operator()() const noexcept { static_cast<void>(curl_multi_wakeup(multi)); }
    };

    TransferLimits limits;
    CURLM* multi = nullptr;
    std::stop_token stop;
    std::optional<std::stop_callback<Wake>> wake_on_stop;
    std::string user;
    std::string password;
    std::string origin;  // normalised; empty when no credentials are set
    Ticket next_ticket = 1;

    // Started, in start order, not yet admitted to the multi handle. Admitting
    // only what a free connection can take keeps libcurl's own queue empty, so
    // its connect and stall clocks run only while a transfer really runs.
    std::deque<std::unique_ptr<Transfer>> waiting;
    std::map<Ticket, std::unique_ptr<Transfer>> running;
    std::map<std::string, long> running_per_origin;
    // Origins whose answers came over HTTP/2: their fetches share a connection.
    std::set<std::string> multiplexed;
    std::map<Ticket, Response> done;
    std::vector<CURL*> spare;  // reset easy handles for later transfers
    Account account;
    std::map<std::string, int> failures_in_row;  // by origin, this run
    // Origins given up this run: whether unheard, once the silent time was spent.
    std::map<std::string, bool> given_up;
    std::vector<std::string> given_up_order;
    std::set<std::string> answered;  // origins that sent a byte this run
    // The time tries without an answer have taken this run, time they shared
    // counted once, up to the end of the last one counted.
    std::chrono::steady_clock::duration silent_time{};
    std::chrono::steady_clock::time_point silent_counted{};
    std::string broken;  // why the multi handle failed; then every fetch fails so

    ~Impl() {
        wake_on_stop.reset();
        drop_all();
        for (CURL* e : spare) curl_easy_cleanup(e);
        curl_multi_cleanup(multi);
    }

    long host_limit() const {
        return std::max(1L, std::min(limits.max_host_connections, limits.max_connections));
    }

    bool multiplexes(const std::string& host) const { return multiplexed.count(host) != 0; }

    // Fetches one origin may have running at once.
    long origin_limit(const std::string& host) const {
        return multiplexes(host) ? std::max(1L, limits.max_streams) : host_limit();
    }

    // Connections the running fetches hold: one per fetch, except that the
    // fetches of an origin that multiplexes share one.
    long connections_in_use() const {
        long n = 0;
        for (const auto& [host, running_here] : running_per_origin)
            n += multiplexes(host) ? std::min(running_here, 1L) : running_here;
        return n;
    }

    // Whether one more fetch of the origin needs a connection of its own.
    bool needs_connection(const std::string& host) {
        return !multiplexes(host) || running_per_origin[host] == 0;
    }

    long total_limit() const { return std::max(1L, limits.max_connections); }

    void recycle(CURL* easy) {
        curl_easy_reset(easy);
        spare.push_back(easy);
    }

    void drop_all() {
        for (auto& [ticket, t] : running) {
            curl_multi_remove_handle(multi, t->easy);
            recycle(t->easy);
        }
        running.clear();
        running_per_origin.clear();
        for (auto& t : waiting) recycle(t->easy);
        waiting.clear();
        done.clear();
        account.held = 0;
    }

    // A multi call failed: libcurl's state is no longer known, so every fetch
    // not yet done, and every later one, fails with that cause. Called where
    // no loop over the fetches is under way.
    void break_down() {
        for (auto& [ticket, t] : running) {
            curl_multi_remove_handle(multi, t->easy);  // its failure changes nothing now
            account.held -= t->counted;
            done[ticket] = Transfer::failure(Cause::Other, broken);
            recycle(t->easy);
        }
        running.clear();
        running_per_origin.clear();
        for (auto& t : waiting) {
            done[t->ticket] = Transfer::failure(Cause::Other, broken);
            recycle(t->easy);
        }
        waiting.clear();
    }

    // Checks one multi call; a failure is kept for break_down.
    bool check(CURLMcode code, const char* call) {
        if (code == CURLM_OK) return true;
        if (broken.empty())
            broken = std::string("libcurl: ") + call + " failed: " + curl_multi_strerror(code);
        return false;
    }

    bool is_given_up(const std::string& host) const { return given_up.count(host) != 0; }

    std::vector<std::string> given_up_hosts(bool unheard) const {
        std::vector<std::string> out;
        for (const std::string& host : given_up_order)
            if (given_up.at(host) == unheard) out.push_back(host);
        return out;
    }

    Response given_up_failure(const std::string& host) const {
        if (given_up.at(host))
            return Transfer::failure(Cause::GivenUp,
                                     "host given up unheard once the run had spent " +
                                         std::to_string(limits.silent_budget.count()) +
                                         " s on hosts that do not answer");
        return Transfer::failure(Cause::GivenUp, "host given up after " +
                                                     std::to_string(limits.give_up_after) +
                                                     " failed fetches in a row");
    }

    bool silent_spent() const { return silent_time >= limits.silent_budget; }

    // Ends a running transfer without a result of its own.
    std::unique_ptr<Transfer> unhook(std::map<Ticket, std::unique_ptr<Transfer>>::iterator it) {
        std::unique_ptr<Transfer> t = std::move(it->second);
        running.erase(it);
        --running_per_origin[t->origin];
        const CURLMcode removed = curl_multi_remove_handle(multi, t->easy);
        account.held -= t->counted;
        t->counted = 0;
        check(removed, "removing a transfer");
        return t;
    }

    // Every fetch of the host not yet done fails at once, and so will later ones.
    void give_up(const std::string& host, bool unheard = false) {
        given_up.emplace(host, unheard);
        given_up_order.push_back(host);
        for (auto it = waiting.begin(); it != waiting.end();) {
            if ((*it)->origin != host) {
                ++it;
                continue;
            }
            done[(*it)->ticket] = given_up_failure(host);
            recycle((*it)->easy);
            it = waiting.erase(it);
        }
        for (auto it = running.begin(); it != running.end();) {
            if (it->second->origin != host) {
                ++it;
                continue;
            }
            const auto next = std::next(it);
            std::unique_ptr<Transfer> t = unhook(it);
            done[t->ticket] = given_up_failure(host);
            recycle(t->easy);
            it = next;
        }
    }

    // A try that began at `began` ended without a byte of an answer. Once the
    // run has spent its time on such tries, the hosts it has not heard from are
    // given up, those with fetches under way or waiting now, the others when a
    // fetch of theirs is started.
    void count_silence(std::chrono::steady_clock::time_point began) {
        const auto now = std::chrono::steady_clock::now();
        silent_time += now - std::max(began, silent_counted);
        silent_counted = now;
        if (!silent_spent()) return;
        std::map<Ticket, std::string> unheard;  // in the order the fetches began
        for (const auto& [ticket, t] : running)
            if (t->heard()) answered.insert(t->origin);
        for (const auto& [ticket, t] : running) unheard.emplace(ticket, t->origin);
        for (const auto& t : waiting) unheard.emplace(t->ticket, t->origin);
        for (const auto& [ticket, host] : unheard)
            if (!host.empty() && answered.count(host) == 0 && !is_given_up(host))
                give_up(host, true);
    }

    // Counts a final result against its host: only a fetch that brought an
    // answer ends a run of failures.
    void tally(const std::string& host, const Response& r) {
        if (host_failure(r)) {
            if (++failures_in_row[host] >= limits.give_up_after && !is_given_up(host))
                give_up(host);
        } else if (r.ok) {
            failures_in_row[host] = 0;
        }
    }

    // The fetch awaited cannot start while paused fetches hold the connections
    // it needs: the newest of them gives its connection back and starts again
    // later.
    void make_room(const Transfer& wanted) {
        const bool host_full = running_per_origin[wanted.origin] >= origin_limit(wanted.origin);
        const bool all_full =
            needs_connection(wanted.origin) && connections_in_use() >= total_limit();
        if (!host_full && !all_full) return;
        for (auto it = running.rbegin(); it != running.rend(); ++it) {
            if (!it->second->paused || (host_full && it->second->origin != wanted.origin)) continue;
            std::unique_ptr<Transfer> t = unhook(std::next(it).base());
            curl_easy_reset(t->easy);
            auto at = std::find_if(std::next(waiting.begin()), waiting.end(),
                                   [&](const auto& w) { return w->ticket > t->ticket; });
            waiting.insert(at, std::move(t));
            return;
        }
    }

    void admit() {
        if (!broken.empty()) return;
        const auto now = std::chrono::steady_clock::now();
        long connections = connections_in_use();
        for (auto it = waiting.begin(); it != waiting.end();) {
            const bool new_connection = needs_connection((*it)->origin);
            long& on_host = running_per_origin[(*it)->origin];
            if ((*it)->not_before > now || on_host >= origin_limit((*it)->origin) ||
                (new_connection && connections >= total_limit())) {
                ++it;
                continue;
            }
            ++on_host;
            if (new_connection) ++connections;
            std::unique_ptr<Transfer> t = std::move(*it);
            it = waiting.erase(it);
            t->started = now;
            std::string refused = t->configure(user, password);
            if (const CURLMcode added =
                    refused.empty() ? curl_multi_add_handle(multi, t->easy) : CURLM_OK;
                added != CURLM_OK)
                refused =
                    std::string("libcurl cannot start the transfer: ") + curl_multi_strerror(added);
            if (!refused.empty()) {
                --on_host;
                if (new_connection) --connections;
                done[t->ticket] = Transfer::failure(Cause::Other, refused);
                recycle(t->easy);
                continue;
            }
            running.emplace(t->ticket, std::move(t));
        }
    }

    void collect() {
        int left = 0;
        while (CURLMsg* m = curl_multi_info_read(multi, &left)) {
            if (m->msg != CURLMSG_DONE) continue;
            const CURLcode rc = m->data.result;
            // Found by its handle: a transfer given up meanwhile is gone.
            auto it = std::find_if(running.begin(), running.end(),
                                   [&](const auto& e) { return e.second->easy == m->easy_handle; });
            if (it == running.end()) continue;
            Response r = it->second->result(rc);
            long version = 0;
            if (r.ok &&
                curl_easy_getinfo(m->easy_handle, CURLINFO_HTTP_VERSION, &version) == CURLE_OK &&
                version >= CURL_HTTP_VERSION_2_0)
                multiplexed.insert(origin_of(r.final_url));
            std::unique_ptr<Transfer> t = unhook(it);
            if (t->heard()) answered.insert(t->origin);
            if (r.cause == Cause::Silent) count_silence(t->started);
            if (t->attempt < limits.retries && transient(r) && !stop.stop_requested()) {
                curl_off_t retry_after = 0;
                curl_easy_getinfo(t->easy, CURLINFO_RETRY_AFTER, &retry_after);
                t->not_before = std::chrono::steady_clock::now() + t->retry_pause(retry_after);
                ++t->attempt;
                curl_easy_reset(t->easy);
                // Ahead of the fetches started later, as it was before.
                auto at = std::find_if(waiting.begin(), waiting.end(),
                                       [&](const auto& w) { return w->ticket > t->ticket; });
                waiting.insert(at, std::move(t));
                continue;
            }
            tally(t->origin, r);
            account.held += r.body.size();
            done[t->ticket] = std::move(r);
            recycle(t->easy);
        }
    }

    // How long the loop may wait for sockets: a retry that comes due must
    // not wait for the next socket event.
    int poll_ms() const {
        auto wait = std::chrono::milliseconds(200);
        const auto now = std::chrono::steady_clock::now();
        for (const auto& t : waiting)
            if (t->not_before > now)
                wait = std::min(wait,
                                std::chrono::ceil<std::chrono::milliseconds>(t->not_before - now));
        return static_cast<int>(wait.count());
    }

    Ticket start(const std::string& url, DataType type, std::shared_ptr<BodySink> sink,
                 const Validators& known) {
        const Ticket ticket = next_ticket++;
        if (!broken.empty()) {
            done[ticket] = Transfer::failure(Cause::Other, broken);
            return ticket;
        }
        if (stop.stop_requested()) {
            done[ticket] = Transfer::failure(Cause::Cancelled, "cancelled");
            return ticket;
        }
        if (url.size() > MaxAddressLength) {
            done[ticket] =
                Transfer::failure(Cause::Refusal, "address longer than " +
                                                      std::to_string(MaxAddressLength) + " bytes");
            return ticket;
        }
        auto t = std::make_unique<Transfer>();
        t->ticket = ticket;
        t->address = request_address(url);
        t->origin = origin_of(t->address);
        if (silent_spent() && !t->origin.empty() && answered.count(t->origin) == 0 &&
            !is_given_up(t->origin))
            give_up(t->origin, true);
        if (is_given_up(t->origin)) {
            done[ticket] = given_up_failure(t->origin);
            return ticket;
        }
        t->sink = std::move(sink);
        t->ask_if_changed(known);
        t->account = &account;
        t->with_credentials = !origin.empty() && t->origin == origin;
        t->form = type;
        t->max_body = type == DataType::StyleSheet ? std::min(limits.max_body, MaxStyleSheet)
                                                   : limits.max_body;
        t->limits = &limits;
        t->stop = &stop;
        if (spare.empty()) {
            t->easy = curl_easy_init();
            if (t->easy == nullptr) {
                done[ticket] =
                    Transfer::failure(Cause::Other, "libcurl: cannot create a transfer handle");
                return ticket;
            }
        } else {
            t->easy = spare.back();
            spare.pop_back();
        }
        waiting.push_back(std::move(t));
        admit();
        int still = 0;
        // Sends the request without waiting.
        if (check(curl_multi_perform(multi, &still), "perform")) {
            collect();
            admit();
        }
        if (!broken.empty()) break_down();
        return ticket;
    }

    Response take(Ticket ticket) {
        account.awaited = ticket;
        // The one waited for goes before every other not yet admitted.
        for (auto it = waiting.begin(); it != waiting.end(); ++it) {
            if ((*it)->ticket != ticket) continue;
            std::unique_ptr<Transfer> t = std::move(*it);
            waiting.erase(it);
            waiting.push_front(std::move(t));
            break;
        }
        for (;;) {
            if (!broken.empty()) break_down();
            if (auto it = done.find(ticket); it != done.end()) {
                Response r = std::move(it->second);
                done.erase(it);
                account.held -= r.body.size();
                return r;
            }
            if (stop.stop_requested()) {
                drop_all();
                return Transfer::failure(Cause::Cancelled, "cancelled");
            }
            const bool known = running.count(ticket) != 0 ||
                               std::any_of(waiting.begin(), waiting.end(),
                                           [ticket](const auto& t) { return t->ticket == ticket; });
            if (!known) return Transfer::failure(Cause::Other, "unknown ticket");
            for (auto& [t_ticket, t] : running)
                if (t->paused && (t_ticket == ticket || account.held < limits.max_held)) {
                    t->paused = false;
                    curl_easy_pause(t->easy, CURLPAUSE_CONT);
                }
            admit();
            if (!waiting.empty() && waiting.front()->ticket == ticket &&
                waiting.front()->not_before <= std::chrono::steady_clock::now()) {
                make_room(*waiting.front());
                admit();
            }
            int still = 0;
            if (!check(curl_multi_perform(multi, &still), "perform")) continue;
            collect();
            if (done.count(ticket) != 0) continue;
            // A short wait bounds how long a stop request goes unseen even if
            // the wake-up were missed.
            check(curl_multi_poll(multi, nullptr, 0, poll_ms(), nullptr), "poll");
        }
    }
};

CurlTransfer::CurlTransfer(TransferLimits limits) : impl_(std::make_unique<Impl>()) {
    init_curl_once();
    impl_->limits = limits;
    if (impl_->limits.ca_bundle.empty())
        if (const char* bundle = std::getenv("PICSIFTER_CA_BUNDLE"))
            impl_->limits.ca_bundle = bundle;
    impl_->multi = curl_multi_init();
    if (impl_->multi == nullptr)
        throw std::runtime_error("libcurl: cannot create a transfer handle");
    // The same limits inside libcurl, for the connections a redirect opens.
    const long total = std::max(1L, limits.max_connections);
    for (const auto& [option, value] :
         {std::pair{CURLMOPT_MAX_TOTAL_CONNECTIONS, total},
          std::pair{CURLMOPT_MAX_HOST_CONNECTIONS, impl_->host_limit()},
          std::pair{CURLMOPT_MAXCONNECTS, total},
          std::pair{CURLMOPT_MAX_CONCURRENT_STREAMS, std::max(1L, limits.max_streams)}})
        if (const CURLMcode rc = curl_multi_setopt(impl_->multi, option, value); rc != CURLM_OK)
            throw std::runtime_error(std::string("libcurl: ") + curl_multi_strerror(rc));
}

CurlTransfer::~CurlTransfer() = default;

void CurlTransfer::SetCredentials(const std::string& user, const std::string& password,
                                  const std::string& origin) {
    if (!complete_credentials(user, password)) {
        impl_->user.clear();
        impl_->password.clear();
        impl_->origin.clear();
        return;
    }
    impl_->user = user;
    impl_->password = password;
    impl_->origin = origin_of(origin);
}

Response CurlTransfer::OpenURL(const std::string& url, DataType type) {
    return Take(Start(url, type));
}

void CurlTransfer::SetStopToken(std::stop_token token) {
    impl_->failures_in_row.clear();
    impl_->given_up.clear();
    impl_->given_up_order.clear();
    impl_->answered.clear();
    impl_->silent_time = {};
    impl_->silent_counted = {};
    impl_->wake_on_stop.reset();
    impl_->stop = std::move(token);
    impl_->wake_on_stop.emplace(impl_->stop, Impl::Wake{impl_->multi});
}

std::size_t CurlTransfer::LookAhead() const {
    // Enough started fetches to keep every connection, and every stream of a
    // multiplexed one, busy while the oldest response is still awaited.
    const long n = impl_->total_limit();
    const long streams = impl_->multiplexed.empty() ? 1 : std::max(1L, impl_->limits.max_streams);
    if (n == 1 && streams == 1) return 1;
    return static_cast<std::size_t>(std::max(4 * n, 2 * streams));
}

std::vector<std::string> CurlTransfer::GivenUp() const {
    return impl_->given_up_hosts(false);
}

std::vector<std::string> CurlTransfer::GivenUpUnheard() const {
    return impl_->given_up_hosts(true);
}

Ticket CurlTransfer::Start(const std::string& url, DataType type, std::shared_ptr<BodySink> sink,
                           const Validators& known) {
    return impl_->start(url, type, std::move(sink), known);
}

Response CurlTransfer::Take(Ticket ticket) {
    return impl_->take(ticket);
}

void CurlTransfer::Discard() {
    impl_->drop_all();
}

}  // namespace psf
