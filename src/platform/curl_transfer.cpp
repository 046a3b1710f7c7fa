#include "platform/curl_transfer.h"
