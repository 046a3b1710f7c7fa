// The command-line runner's one-off crawl: arguments to a run spec.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/secret.h"
#include "platform/curl_transfer.h"
#include "scheduler/task_run.h"

namespace psf::cli {

struct CrawlArgs {
    RunSpec spec;
    std::string destination;                              // as given, before it is made absolute
    PasswordSource password;                              // where spec.password comes from
    long connections = TransferLimits{}.max_connections;  // --connections
    long host_connections = TransferLimits{}.max_host_connections;  // --host-connections
    long streams = TransferLimits{}.max_streams;                    // --streams
    std::string ca_bundle;                                          // --cacert
};

// The transfer limits of a crawl: at most `connections` in total, at most
// `host_connections` of them to one HTTP/1.1 origin, `streams` fetches on the
// connection of an origin that multiplexes.
TransferLimits transfer_limits(const CrawlArgs& args);

// Parses the words after "crawl"; a failure says what is wrong with them.
Result<CrawlArgs> parse_crawl_args(const std::vector<std::string>& words);

// Splits "gif,png,…" into lower-case image kinds; false on an unknown one.
bool parse_kinds(const std::string& text, std::vector<std::string>& kinds);

// Splits "NAME.TYPE" into a filter row; false when it is not a valid filter.
bool parse_filter(const std::string& text, std::string& name, std::string& type);

}  // namespace psf::cli
