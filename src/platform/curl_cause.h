// What a libcurl result says of a failed fetch.
#pragma once

#include <curl/curl.h>

#include "platform/cause.h"

namespace psf {

// The cause of a transfer that ended with `rc`: `os_error` is the errno of
// its connection (CURLINFO_OS_ERRNO), `heard` whether any byte of an answer
// came, which tells a silent host from an answer that stopped.
Cause cause_of(CURLcode rc, long os_error, bool heard);

}  // namespace psf
