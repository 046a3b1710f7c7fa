#include "platform/curl_cause.h"

#include <cerrno>

namespace psf {

namespace {

struct CodeRow {
    CURLcode code;
    Cause cause;
};

// Every code not named here is Cause::Other.
constexpr CodeRow Codes[] = {
    {CURLE_COULDNT_RESOLVE_HOST, Cause::HostUnknown},
    {CURLE_COULDNT_RESOLVE_PROXY, Cause::HostUnknown},
    {CURLE_PEER_FAILED_VERIFICATION, Cause::Untrusted},
    {CURLE_SSL_CONNECT_ERROR, Cause::Tls},
    {CURLE_SSL_ENGINE_NOTFOUND, Cause::Tls},
    {CURLE_SSL_ENGINE_SETFAILED, Cause::Tls},
    {CURLE_SSL_CERTPROBLEM, Cause::Tls},
    {CURLE_SSL_CIPHER, Cause::Tls},
    {CURLE_SSL_CACERT_BADFILE, Cause::Tls},
    {CURLE_USE_SSL_FAILED, Cause::Tls},
    {CURLE_SEND_ERROR, Cause::Reset},
    {CURLE_RECV_ERROR, Cause::Reset},
    {CURLE_GOT_NOTHING, Cause::Reset},
    {CURLE_PARTIAL_FILE, Cause::Reset},
    {CURLE_HTTP2, Cause::Reset},
    {CURLE_HTTP2_STREAM, Cause::Reset},
    {CURLE_UNSUPPORTED_PROTOCOL, Cause::Refusal},
    {CURLE_URL_MALFORMAT, Cause::Refusal},
};

// A connection that could not be made, by the errno of the attempt; any
// other errno is Cause::Other.
struct ErrnoRow {
    long os_error;
    Cause cause;
};

constexpr ErrnoRow NotConnected[] = {
    {ECONNREFUSED, Cause::Refused},     {ETIMEDOUT, Cause::Silent},
    {EHOSTUNREACH, Cause::Unreachable}, {ENETUNREACH, Cause::Unreachable},
    {EHOSTDOWN, Cause::Unreachable},
};

}  // namespace

Cause cause_of(CURLcode rc, long os_error, bool heard) {
    if (rc == CURLE_OPERATION_TIMEDOUT) return heard ? Cause::TimedOut : Cause::Silent;
    if (rc == CURLE_COULDNT_CONNECT) {
        for (const ErrnoRow& row : NotConnected)
            if (row.os_error == os_error) return row.cause;
        return Cause::Other;
    }
    for (const CodeRow& row : Codes)
        if (row.code == rc) return row.cause;
    return Cause::Other;
}

}  // namespace psf
