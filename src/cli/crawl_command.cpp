#include "cli/crawl_command.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "cli/console.h"
#include "platform/text.h"

namespace psf::cli {

bool parse_filter(const std::string& text, std::string& name, std::string& type) {
    const auto dot = text.rfind('.');
    if (dot == std::string::npos) return false;
    name = std::string(trim_blanks(std::string_view(text).substr(0, dot)));
    type = std::string(trim_blanks(std::string_view(text).substr(dot + 1)));
    if (name.empty() || name.find_first_of("./\\\"") != std::string::npos) return false;
    return m_psf::code_type(type).has_value();
}

bool parse_kinds(const std::string& text, std::vector<std::string>& kinds) {
    kinds.clear();
    std::size_t from = 0;
    for (;;) {
        const std::size_t comma = std::min(text.find(',', from), text.size());
        const std::string kind =
            lower_ascii(trim_blanks(std::string_view(text).substr(from, comma - from)));
        if (!m_psf::known_kind(kind)) return false;
        if (std::find(kinds.begin(), kinds.end(), kind) == kinds.end()) kinds.push_back(kind);
        if (comma == text.size()) return true;
        from = comma + 1;
    }
}

Result<CrawlArgs> parse_crawl_args(const std::vector<std::string>& words) {
    CrawlArgs args;
    args.destination = ".";
    bool have_url = false, have_user = false, have_password = false, have_srcset = false;
    int includes = 0, excludes = 0;
    // The word after option i, which it takes; none at the end.
    auto need_value = [&](std::size_t& i) -> const std::string* {
        return i + 1 < words.size() ? &words[++i] : nullptr;
    };
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (w == "--depth") {
            const std::string* v = need_value(i);
            if (!v) return Error{w + " needs a value"};
            const auto depth = whole_number(*v, 0, 4);
            if (!depth) return Error{"--depth takes a level from 0 to 4"};
            args.spec.link_depth = static_cast<int>(*depth);
        } else if (w == "--connections") {
            const std::string* v = need_value(i);
            if (!v) return Error{w + " needs a value"};
            const auto n = whole_number(*v, 1, 64);
            if (!n) return Error{"--connections takes a number from 1 to 64"};
            args.connections = static_cast<long>(*n);
        } else if (w == "--host-connections" || w == "--streams") {
            const std::string* v = need_value(i);
            if (!v) return Error{w + " needs a value"};
            const bool streams = w == "--streams";
            const long most = streams ? 256 : 16;
            const auto n = whole_number(*v, 1, most);
            if (!n) return Error{w + " takes a number from 1 to " + std::to_string(most)};
            (streams ? args.streams : args.host_connections) = static_cast<long>(*n);
        } else if (w == "--cacert") {
            const std::string* v = need_value(i);
            if (!v) return Error{w + " needs a value"};
            if (!std::filesystem::is_regular_file(*v) || !std::ifstream(*v)) {
                return Error{"--cacert needs a readable CA bundle file: " + *v};
            }
            args.ca_bundle = *v;
        } else if (w == "--dest") {
            const std::string* v = need_value(i);
            if (!v) return Error{w + " needs a value"};
            if (v->empty()) {
                return Error{"--dest needs a folder"};
            }
            args.destination = *v;
        } else if (w == "--tree") {
            args.spec.layout = m_psf::TreeLayout;
        } else if (w == "--policy") {
            const std::string* v = need_value(i);
            if (!v) return Error{w + " needs a value"};
            if (*v == "keep")
                args.spec.policy = m_psf::KeepExisting;
            else if (*v == "replace")
                args.spec.policy = m_psf::ReplaceExisting;
            else if (*v == "version")
                args.spec.policy = m_psf::NewVersion;
            else {
                return Error{"--policy is keep, replace or version"};
            }
        } else if (w == "--include" || w == "--exclude") {
            const std::string* v = need_value(i);
            if (!v) return Error{w + " needs a value"};
            int& used = w == "--include" ? includes : excludes;
            if (used == 4) {
                return Error{w + " may be given at most 4 times"};
            }
            auto& row = (w == "--include" ? args.spec.include : args.spec.exclude)[used++];
            if (!parse_filter(*v, row[0], row[2])) {
                return Error{w + " takes NAME.TYPE, TYPE one of *, gif, jpg, jpeg: " + *v};
            }
        } else if (w == "--types") {
            const std::string* v = need_value(i);
            if (!v) return Error{w + " needs a value"};
            if (!parse_kinds(*v, args.spec.images.kinds)) {
                return Error{
                    "--types takes kinds separated by commas, among gif, jpg, jpeg, png, "
                    "webp, avif, svg, bmp, ico: " +
                    *v};
            }
        } else if (w == "--modern") {
            args.spec.images.modern = true;
        } else if (w == "--srcset") {
            const std::string* v = need_value(i);
            if (!v) return Error{w + " needs a value"};
            if (*v != "all" && *v != "largest") {
                return Error{"--srcset is all or largest"};
            }
            args.spec.images.srcset_all = *v == "all";
            have_srcset = true;
        } else if (w == "--user") {
            const std::string* v = need_value(i);
            if (!v) return Error{w + " needs a value"};
            args.spec.user = std::string(trim_blanks(*v));
            have_user = true;
        } else if (w == "--password") {
            const std::string* v = need_value(i);
            if (!v) return Error{w + " needs a value"};
            args.spec.password = std::string(trim_blanks(*v));
            args.password.on_command_line = have_password = true;
        } else if (w == "--password-file") {
            const std::string* v = need_value(i);
            if (!v) return Error{w + " needs a value"};
            args.password.file = *v;
            have_password = !v->empty();
        } else if (w.size() > 1 && w[0] == '-') {
            return Error{"unknown option " + w};
        } else if (!have_url) {
            args.spec.start_address = w;
            have_url = true;
        } else {
            return Error{"one address only"};
        }
    }
    if (!have_url) {
        return Error{"an address is needed"};
    }
    const std::string_view url = trim_blanks(args.spec.start_address);
    if (!url.starts_with("http://") && !url.starts_with("https://")) {
        return Error{"the address must begin with http:// or https://"};
    }
    if (have_srcset && !args.spec.images.modern) {
        return Error{"--srcset goes with --modern"};
    }
    if (have_password && !have_user) {
        return Error{"--password and --password-file go with --user"};
    }
    if (args.password.on_command_line && !args.password.file.empty()) {
        return Error{"give either --password or --password-file"};
    }
    return args;
}

TransferLimits transfer_limits(const CrawlArgs& args) {
    TransferLimits limits;
    limits.max_connections = args.connections;
    limits.max_host_connections = std::min(args.host_connections, args.connections);
    limits.max_streams = args.streams;
    limits.ca_bundle = args.ca_bundle;
    return limits;
}

}  // namespace psf::cli
