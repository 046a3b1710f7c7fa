#include "platform/fetch.h"

#include <algorithm>
#include <cctype>
#include <new>
#include <string_view>
#include <utility>

#include "platform/address.h"
#include "platform/curl_cause.h"
#include "platform/text.h"

namespace psf {

namespace {

// A value libcurl has for the transfer, or `otherwise`: every use reads that
// as "not known", so a call that fails needs no answer of its own.
template <typename T>
T info(CURL* easy, CURLINFO what, T otherwise = {}) {
    T value = otherwise;
    return curl_easy_getinfo(easy, what, &value) == CURLE_OK ? value : otherwise;
}

// Sets the options of a transfer, keeping the first one libcurl refuses.
class Options {
  public:
    explicit Options(CURL* easy) : easy_(easy) {}
    template <typename V>
    void set(CURLoption option, V value, const char* what) {
        const CURLcode rc = curl_easy_setopt(easy_, option, value);
        if (rc != CURLE_OK && refused_.empty())
            refused_ = std::string("libcurl refused ") + what + ": " + curl_easy_strerror(rc);
    }
    Result<void> result() const {
        if (refused_.empty()) return {};
        return Error{refused_};
    }

  private:
    CURL* easy_;
    std::string refused_;
};

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

bool ended(FetchState s) {
    return s >= FetchState::NotAPage;
}

}  // namespace

void Fetch::enter(FetchState next) {
    // The first reason a try ended is the one it ended for.
    if (ended(state_) && next != FetchState::Waiting && next != FetchState::Admitted) return;
    state_ = next;
    // A fetch sent back to wait is asked for again from its start: what it
    // held, no longer counted against the memory limit, is let go.
    if (next == FetchState::Waiting) body_ = std::string();
    if (next != FetchState::Admitted) return;
    last_arrival_ = std::chrono::steady_clock::now();
    last_count_ = 0;
    body_.clear();
    size_ = counted = 0;
    errbuf_[0] = '\0';
    if (sink) sink->Restart();
}

void Fetch::ask_if_changed(const Validators& known) {
    // A value that would break the request's lines is not sent.
    const auto add = [this](const char* name, const std::string& value) {
        if (value.empty() || std::any_of(value.begin(), value.end(), [](char c) {
                return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
            }))
            return;
        if (curl_slist* more = curl_slist_append(conditions_, (name + value).c_str()))
            conditions_ = more;
    };
    add("If-None-Match: ", known.etag);
    add("If-Modified-Since: ", known.last_modified);
}

size_t Fetch::on_body(char* data, size_t size, size_t count, void* self_ptr) {
    auto* self = static_cast<Fetch*>(self_ptr);
    const size_t n = size * count;
    if (self->stop->stop_requested()) return 0;
    // No exception may cross libcurl: memory that runs out fails the fetch.
    try {
        return self->take_body(data, n);
    } catch (const std::bad_alloc&) {
        self->enter(FetchState::NoMemory);
        return 0;
    }
}

// A count short of `n` makes libcurl abort the transfer.
size_t Fetch::take_body(char* data, size_t n) {
    if (state_ == FetchState::Admitted) {
        // The headers are all in when the first byte of the body comes (those
        // of a redirect that is followed bring no body here).
        const char* type =
            form != DataType::Bytes ? info<char*>(easy, CURLINFO_CONTENT_TYPE) : nullptr;
        if (type != nullptr && !wanted_type(form, type)) {
            enter(FetchState::NotAPage);
            return 0;
        }
        const bool error_page = sink && info<long>(easy, CURLINFO_RESPONSE_CODE) >= 400;
        enter(error_page ? FetchState::Dropping : FetchState::Body);
    }
    if (state_ == FetchState::Dropping) return n;  // an error page is never an image
    if (n > max_body - size_) {
        enter(FetchState::OverCap);
        return 0;
    }
    if (sink) {
        if (!sink->Write(std::string_view(data, n))) {
            enter(FetchState::NotKept);
            return 0;
        }
        size_ += n;
        return n;
    }
    if (ticket != account->awaited && account->held + n > limits->max_held) {
        enter(FetchState::Paused);
        return CURL_WRITEFUNC_PAUSE;
    }
    body_.append(data, n);
    size_ += n;
    counted += n;
    account->held += n;
    return n;
}

// A redirect to an address longer than the limit is not followed.
size_t Fetch::on_header(char* data, size_t size, size_t count, void* self_ptr) {
    auto* self = static_cast<Fetch*>(self_ptr);
    const size_t n = size * count;
    static constexpr std::string_view name = "location:";
    if (n > MaxAddressLength && starts_with_nocase(std::string_view(data, n), name)) {
        const long status = info<long>(self->easy, CURLINFO_RESPONSE_CODE);
        if (status >= 300 && status < 400) {
            self->enter(FetchState::LongRedirect);
            return 0;
        }
    }
    return n;
}

// libcurl calls this about once a second even while nothing arrives. The
// stall is measured here: libcurl's low-speed check averages over several
// seconds, so a transfer that stops after a few bytes would run on past the
// stall time.
int Fetch::on_progress(void* self_ptr, curl_off_t, curl_off_t received, curl_off_t, curl_off_t) {
    auto* self = static_cast<Fetch*>(self_ptr);
    if (self->stop->stop_requested()) return 1;
    const auto now = std::chrono::steady_clock::now();
    if (self->state_ == FetchState::Paused) {
        self->last_arrival_ = now;  // waiting for memory is not a stall
    } else if (received != self->last_count_) {
        self->last_count_ = received;
        self->last_arrival_ = now;
    } else if (now - self->last_arrival_ >= std::chrono::seconds(self->limits->stall_timeout_s)) {
        self->enter(FetchState::Stalled);
        return 1;
    }
    return 0;
}

// Every option is set again on a reset handle, so nothing of an earlier
// request (credentials, authentication state) carries over; open connections
// belong to the multi handle and stay.
Result<void> Fetch::configure(const std::string& user, const std::string& password) {
    enter(FetchState::Admitted);
    const TransferLimits& l = *limits;
    Options o(easy);
    o.set(CURLOPT_URL, address.c_str(), "the address");
    o.set(CURLOPT_HTTPGET, 1L, "the method");
    o.set(CURLOPT_NOSIGNAL, 1L, "signals off");
    o.set(CURLOPT_ERRORBUFFER, errbuf_, "the error buffer");
    o.set(CURLOPT_FAILONERROR, 0L, "error statuses as answers");
    o.set(CURLOPT_PRIVATE, this, "the fetch");
    o.set(CURLOPT_PROTOCOLS_STR, "http,https", "the protocols");
    o.set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https", "the redirect protocols");
    o.set(CURLOPT_FOLLOWLOCATION, 1L, "redirects");
    o.set(CURLOPT_MAXREDIRS, l.max_redirects, "the redirect limit");

    o.set(CURLOPT_USERAGENT, "Picsifter/2.0", "the user agent");
    if (conditions_ != nullptr) o.set(CURLOPT_HTTPHEADER, conditions_, "the conditions");
    o.set(CURLOPT_ACCEPT_ENCODING, "", "compressed bodies");
    o.set(CURLOPT_SSL_VERIFYPEER, 1L, "the certificate check");
    o.set(CURLOPT_SSL_VERIFYHOST, 2L, "the host name check");
    if (!l.ca_bundle.empty()) {
        // The system's folder stays trusted with the added bundle.
        o.set(CURLOPT_CAINFO, l.ca_bundle.c_str(), "the CA bundle");
        if (const char* system = curl_version_info(CURLVERSION_NOW)->capath)
            o.set(CURLOPT_CAPATH, system, "the system's CA folder");
    }
    // A new fetch to an origin whose first connection is still being made
    // waits to learn whether it may share it instead of opening another.
    // Plain HTTP is never multiplexed here.
    o.set(CURLOPT_PIPEWAIT, origin.starts_with("https:") ? 1L : 0L, "waiting to share");

    o.set(CURLOPT_CONNECTTIMEOUT, l.connect_timeout_s, "the connect time-out");
    o.set(CURLOPT_LOW_SPEED_LIMIT, 1L, "the low speed limit");
    o.set(CURLOPT_LOW_SPEED_TIME, l.stall_timeout_s, "the stall time");
    o.set(CURLOPT_TIMEOUT, l.transfer_timeout_s, "the transfer time-out");
    o.set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(max_body), "the body cap");

    o.set(CURLOPT_WRITEFUNCTION, &Fetch::on_body, "the body callback");
    o.set(CURLOPT_WRITEDATA, this, "the body callback");
    o.set(CURLOPT_HEADERFUNCTION, &Fetch::on_header, "the header callback");
    o.set(CURLOPT_HEADERDATA, this, "the header callback");
    o.set(CURLOPT_NOPROGRESS, 0L, "the progress callback");
    o.set(CURLOPT_XFERINFOFUNCTION, &Fetch::on_progress, "the progress callback");
    o.set(CURLOPT_XFERINFODATA, this, "the progress callback");

    // With several methods allowed libcurl sends nothing until a 401 names
    // one, and it withholds the credentials from any other host it is
    // redirected to.
    o.set(CURLOPT_UNRESTRICTED_AUTH, 0L, "the credentials' host limit");
    if (with_credentials) {
        o.set(CURLOPT_HTTPAUTH, static_cast<unsigned long>(CURLAUTH_ANY),
              "the authentication methods");
        o.set(CURLOPT_USERNAME, user.c_str(), "the user name");
        o.set(CURLOPT_PASSWORD, password.c_str(), "the password");
    }
    return o.result();
}

void Fetch::resume() {
    enter(FetchState::Body);
    // One that libcurl would not resume stays paused, as its state then says:
    // its stall clock held, tried again at the next take.
    if (curl_easy_pause(easy, CURLPAUSE_CONT) != CURLE_OK) enter(FetchState::Paused);
}

bool Fetch::heard() const {
    return info<long>(easy, CURLINFO_HEADER_SIZE) > 0 || last_count_ > 0 || size_ > 0;
}

// The address the last request went to, without credentials: after a
// redirect libcurl writes the user name and password into the effective
// address, and the caller would carry them into every link it resolves
// against it.
std::string Fetch::reached() const {
    const char* effective = info<char*>(easy, CURLINFO_EFFECTIVE_URL);
    std::string url = effective != nullptr ? effective : address;
    if (with_credentials && url != address) url = without_userinfo(url);
    return url;
}

Response Fetch::result(CURLcode rc) {
    Response r = outcome(rc);
    // A failure names where it happened too.
    if (!r.ok && r.cause != Cause::Cancelled && r.final_url.empty()) r.final_url = reached();
    r.redirected = info<long>(easy, CURLINFO_REDIRECT_COUNT) > 0 && !r.final_url.empty();
    return r;
}

Response Fetch::outcome(CURLcode rc) {
    const TransferLimits& l = *limits;
    if (stop->stop_requested()) return failure(Cause::Cancelled, "cancelled");
    if (state_ == FetchState::OverCap || rc == CURLE_FILESIZE_EXCEEDED)
        return failure(Cause::TooLarge, "body larger than " + std::to_string(max_body) + " bytes");
    switch (state_) {
        case FetchState::Stalled:
            return failure(heard() ? Cause::TimedOut : Cause::Silent,
                           "no data received for " + std::to_string(l.stall_timeout_s) + " s");
        case FetchState::LongRedirect:
            return failure(Cause::Refusal, "redirect to an address longer than " +
                                               std::to_string(MaxAddressLength) + " bytes");
        case FetchState::NotKept:
            return failure(Cause::NotKept, "cannot keep the body");
        case FetchState::NoMemory:
            return failure(Cause::Other, "out of memory");
        default:
            break;
    }
    const bool not_a_page = state_ == FetchState::NotAPage;
    if (rc != CURLE_OK && !not_a_page)
        return failure(cause_of(rc, info<long>(easy, CURLINFO_OS_ERRNO), heard()),
                       one_line(errbuf_[0] != '\0' ? errbuf_ : curl_easy_strerror(rc)));

    Response r;
    r.status = info<long>(easy, CURLINFO_RESPONSE_CODE);
    if (r.status <= 0) return failure(Cause::Other, "no HTTP response");
    r.final_url = reached();
    if (r.final_url.empty()) return failure(Cause::Other, "unreadable address after a redirect");
    if (const char* type = info<char*>(easy, CURLINFO_CONTENT_TYPE)) r.content_type = type;
    r.last_modified = header_value("Last-Modified");
    r.etag = header_value("ETag");
    r.received = static_cast<std::uint64_t>(
        std::max<curl_off_t>(0, info<curl_off_t>(easy, CURLINFO_SIZE_DOWNLOAD_T)));
    r.ok = true;
    r.not_a_page = not_a_page;
    if (r.status >= 400) r.cause = Cause::HttpStatus;
    if (!not_a_page) r.body = std::move(body_);
    body_.clear();
    return r;
}

// A header of the last answer (after redirects), empty when it has none.
std::string Fetch::header_value(const char* name) const {
    curl_header* h = nullptr;
    if (curl_easy_header(easy, name, 0, CURLH_HEADER, -1, &h) != CURLHE_OK || h == nullptr ||
        h->value == nullptr)
        return {};
    return one_line(h->value);
}

Response Fetch::failure(Cause cause, std::string why) {
    Response r;
    r.cause = cause;
    r.error = std::move(why);
    return r;
}

std::chrono::milliseconds Fetch::retry_pause() const {
    const TransferLimits& l = *limits;
    std::chrono::milliseconds pause = l.retry_pause * (1L << std::min(attempt, 20));
    if (const auto asked = info<curl_off_t>(easy, CURLINFO_RETRY_AFTER); asked > 0)
        pause = std::max<std::chrono::milliseconds>(
            pause, std::chrono::seconds(std::min<curl_off_t>(asked, 3600)));
    return std::min(pause, l.max_retry_pause);
}

}  // namespace psf
