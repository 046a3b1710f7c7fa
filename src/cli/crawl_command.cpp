#include "cli/crawl_command.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>

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

std::optional<CrawlArgs> parse_crawl_args(const std::vector<std::string>& words,
                                          std::string& error) {
    CrawlArgs args;
    args.destination = ".";
    bool have_url = false, have_user = false, have_password = false, have_srcset = false;
    int includes = 0, excludes = 0;
    auto need_value = [&](std::size_t& i, const std::string& option) -> const std::string* {
        if (i + 1 >= words.size()) {
            error = option + " needs a value";
            return nullptr;
        }
        return &words[++i];
    };
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (w == "--depth") {
            const std::string* v = need_value(i, w);
            if (!v) return std::nullopt;
            int depth = -1;
            auto [end, ec] = std::from_chars(v->data(), v->data() + v->size(), depth);
            if (ec != std::errc() || end != v->data() + v->size() || depth < 0 || depth > 4) {
                error = "--depth takes a level from 0 to 4";
                return std::nullopt;
            }
            args.spec.link_depth = depth;
        } else if (w == "--connections") {
            const std::string* v = need_value(i, w);
            if (!v) return std::nullopt;
            long n = 0;
            auto [end, ec] = std::from_chars(v->data(), v->data() + v->size(), n);
            if (ec != std::errc() || end != v->data() + v->size() || n < 1 || n > 64) {
                error = "--connections takes a number from 1 to 64";
                return std::nullopt;
            }
            args.connections = n;
        } else if (w == "--host-connections" || w == "--streams") {
            const std::string* v = need_value(i, w);
            if (!v) return std::nullopt;
            const bool streams = w == "--streams";
            const long most = streams ? 256 : 16;
            long n = 0;
            auto [end, ec] = std::from_chars(v->data(), v->data() + v->size(), n);
            if (ec != std::errc() || end != v->data() + v->size() || n < 1 || n > most) {
                error = w + " takes a number from 1 to " + std::to_string(most);
                return std::nullopt;
            }
            (streams ? args.streams : args.host_connections) = n;
        } else if (w == "--cacert") {
            const std::string* v = need_value(i, w);
            if (!v) return std::nullopt;
            if (!std::filesystem::is_regular_file(*v) || !std::ifstream(*v)) {
                error = "--cacert needs a readable CA bundle file: " + *v;
                return std::nullopt;
            }
            args.ca_bundle = *v;
        } else if (w == "--dest") {
            const std::string* v = need_value(i, w);
            if (!v) return std::nullopt;
            if (v->empty()) {
                error = "--dest needs a folder";
                return std::nullopt;
            }
            args.destination = *v;
        } else if (w == "--tree") {
            args.spec.layout = m_psf::TreeLayout;
        } else if (w == "--policy") {
            const std::string* v = need_value(i, w);
            if (!v) return std::nullopt;
            if (*v == "keep")
                args.spec.policy = m_psf::KeepExisting;
            else if (*v == "replace")
                args.spec.policy = m_psf::ReplaceExisting;
            else if (*v == "version")
                args.spec.policy = m_psf::NewVersion;
            else {
                error = "--policy is keep, replace or version";
                return std::nullopt;
            }
        } else if (w == "--include" || w == "--exclude") {
            const std::string* v = need_value(i, w);
            if (!v) return std::nullopt;
            int& used = w == "--include" ? includes : excludes;
            if (used == 4) {
                error = w + " may be given at most 4 times";
                return std::nullopt;
            }
            auto& row = (w == "--include" ? args.spec.include : args.spec.exclude)[used++];
            if (!parse_filter(*v, row[0], row[2])) {
                error = w + " takes NAME.TYPE, TYPE one of *, gif, jpg, jpeg: " + *v;
                return std::nullopt;
            }
        } else if (w == "--types") {
            const std::string* v = need_value(i, w);
            if (!v) return std::nullopt;
            if (!parse_kinds(*v, args.spec.images.kinds)) {
                error =
                    "--types takes kinds separated by commas, among gif, jpg, jpeg, png, "
                    "webp, avif, svg, bmp, ico: " +
                    *v;
                return std::nullopt;
            }
        } else if (w == "--modern") {
            args.spec.images.modern = true;
        } else if (w == "--srcset") {
            const std::string* v = need_value(i, w);
            if (!v) return std::nullopt;
            if (*v != "all" && *v != "largest") {
                error = "--srcset is all or largest";
                return std::nullopt;
            }
            args.spec.images.srcset_all = *v == "all";
            have_srcset = true;
        } else if (w == "--user") {
            const std::string* v = need_value(i, w);
            if (!v) return std::nullopt;
            args.spec.user = std::string(trim_blanks(*v));
            have_user = true;
        } else if (w == "--password") {
            const std::string* v = need_value(i, w);
            if (!v) return std::nullopt;
            args.spec.password = std::string(trim_blanks(*v));
            args.password.on_command_line = have_password = true;
        } else if (w == "--password-file") {
            const std::string* v = need_value(i, w);
            if (!v) return std::nullopt;
            args.password.file = *v;
            have_password = !v->empty();
        } else if (w.size() > 1 && w[0] == '-') {
            error = "unknown option " + w;
            return std::nullopt;
        } else if (!have_url) {
            args.spec.start_address = w;
            have_url = true;
        } else {
            error = "one address only";
            return std::nullopt;
        }
    }
    if (!have_url) {
        error = "an address is needed";
        return std::nullopt;
    }
    const std::string_view url = trim_blanks(args.spec.start_address);
    if (!url.starts_with("http://") && !url.starts_with("https://")) {
        error = "the address must begin with http:// or https://";
        return std::nullopt;
    }
    if (have_srcset && !args.spec.images.modern) {
        error = "--srcset goes with --modern";
        return std::nullopt;
    }
    if (have_password && !have_user) {
        error = "--password and --password-file go with --user";
        return std::nullopt;
    }
    if (args.password.on_command_line && !args.password.file.empty()) {
        error = "give either --password or --password-file";
        return std::nullopt;
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
