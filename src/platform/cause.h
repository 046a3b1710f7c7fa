// Why a fetch brought nothing usable, and what each cause says: one table.
#pragma once

#include <cstddef>
#include <iterator>

namespace psf {

// HttpStatus goes with a response that came: the body came, but the
// server's status says it is not what was asked for.
enum class Cause {
    None,
    Refused,      // nothing listens at the address
    HostUnknown,  // the name did not resolve
    Unreachable,  // no route to the host
    Silent,       // no byte of an answer in time: not connected, or taken and left unanswered
    TimedOut,     // the answer began, then stopped for the stall time or ran past the limit
    Untrusted,    // TLS certificate not trusted
    Tls,          // any other TLS failure
    Reset,        // the connection broke before the whole answer
    TooLarge,
    Refusal,  // an address or scheme this program does not fetch
    Cancelled,
    GivenUp,     // the host failed too many fetches in a row this run
    HttpStatus,  // status 400 or above
    NotKept,     // the body sink refused the bytes (a full disk): this side's fault
    Other,
};

// How a cause is said: its words alone, the fetch's own error text, the
// words then that text, or the words then the status.
enum class Says { Words, Error, WordsAndError, WordsAndStatus };

struct CauseRow {
    Cause cause;
    const char* words;
    Says says;
    // Whether the host does not answer at all: the only failures that count
    // toward giving a host up. Whatever a host did answer, however wrong (an
    // error status, a redirect loop, a body that does not decode, a reply
    // without an HTTP head, a certificate not trusted), is an answer; a body
    // too large, a refused address and a body that could not be kept (a full
    // destination) are this program's limits, not the host's doing.
    bool host_failure;
};

// One row a cause, in the order of Cause.
inline constexpr CauseRow CauseTable[] = {
    {Cause::None, "", Says::Words, false},
    {Cause::Refused, "connection refused", Says::Words, true},
    {Cause::HostUnknown, "host not found", Says::Words, true},
    {Cause::Unreachable, "host unreachable", Says::Words, true},
    {Cause::Silent, "timed out without an answer", Says::Words, true},
    {Cause::TimedOut, "timed out", Says::Words, true},
    {Cause::Untrusted, "TLS certificate not trusted", Says::Words, false},
    {Cause::Tls, "TLS failure: ", Says::WordsAndError, false},
    {Cause::Reset, "connection reset", Says::Words, true},
    {Cause::TooLarge, "", Says::Error, false},
    {Cause::Refusal, "", Says::Error, false},
    {Cause::Cancelled, "cancelled", Says::Words, false},
    {Cause::GivenUp, "", Says::Error, false},
    {Cause::HttpStatus, "HTTP status ", Says::WordsAndStatus, false},
    {Cause::NotKept, "", Says::Error, false},
    {Cause::Other, "", Says::Error, false},
};

constexpr bool rows_in_order() {
    for (std::size_t i = 0; i < std::size(CauseTable); ++i)
        if (CauseTable[i].cause != static_cast<Cause>(i)) return false;
    return std::size(CauseTable) == static_cast<std::size_t>(Cause::Other) + 1;
}
static_assert(rows_in_order(), "CauseTable holds one row per cause, in the order of Cause");

constexpr const CauseRow& row_of(Cause cause) {
    return CauseTable[static_cast<std::size_t>(cause)];
}

}  // namespace psf
