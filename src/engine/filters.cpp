// Image name filters: a name pattern with "*" and "?" on the base name and a
// type on the extension. The pattern scan runs once from left to right and
// never backtracks; which images a task retrieves depends on that exact
// behaviour, so it is not replaced by a general glob matcher.

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "engine/m_psf.h"
#include "platform/text.h"

namespace psf::m_psf {

namespace {

constexpr auto npos = std::string_view::npos;

bool type_matches(std::string_view ext, std::string_view type) {
    return type == "*" || equal_nocase(type, ext);
}

// Positions are 0-based here. Every step either ends the scan or moves j
// forward by one, so the scan takes at most pattern.size() steps.
bool name_matches(std::string_view base, std::string_view pattern) {
    if (pattern.empty()) return base.empty();
    const std::size_t n1 = base.size();
    const std::size_t n2 = pattern.size();
    std::size_t i = 0;
    std::size_t j = 0;
    for (;;) {
        const char c = pattern[j];
        if (c == '*') {
            if (j + 1 >= n2) return true;
            // Literal segment up to the next wildcard; commit to its first
            // occurrence from i on.
            const std::size_t next = pattern.find_first_of("*?", j + 1);
            const std::string_view seg =
                pattern.substr(j + 1, next == npos ? npos : next - (j + 1));
            const std::size_t f = base.find(seg, i);
            if (f == npos) return false;
            i = f;
            ++j;
            continue;
        }
        // No character left in the base (only an empty base gets here):
        // neither "?" nor a literal can match.
        if (i >= n1) return false;
        if (c != '?' && c != base[i]) return false;
        const bool base_end = (i + 1 == n1);
        const bool pattern_end = (j + 1 == n2);
        if (base_end && pattern_end) return true;
        if (!base_end && !pattern_end) {
            ++i;
            ++j;
            continue;
        }
        if (!base_end) return false;  // base characters left over
        // Base used up: only a single final "*" may still match nothing.
        return pattern[j + 1] == '*' && j + 2 == n2;
    }
}

bool row_matches(std::string_view base, std::string_view ext, const std::array<std::string, 3>& row,
                 bool& active) {
    const std::string_view pattern = trim_blanks(row[0]);
    active = !pattern.empty();
    return active && motif_correspond(base, ext, pattern, trim_blanks(row[2]));
}

}  // namespace

bool motif_correspond(std::string_view base, std::string_view ext, std::string_view pattern,
                      std::string_view type) {
    return type_matches(ext, type) && name_matches(base, pattern);
}

bool image_retenue(std::string_view name, const FilterTable& include, const FilterTable& exclude) {
    if (trim_blanks(name).empty()) return false;
    const std::size_t dot = name.rfind('.');
    if (dot == npos) return false;
    const std::string_view base = trim_blanks(name.substr(0, dot));
    const std::string_view ext = trim_blanks(name.substr(dot + 1));

    bool active = false;
    for (const auto& row : exclude) {
        if (row_matches(base, ext, row, active)) return false;
    }

    bool accepted = true;
    for (const auto& row : include) {
        if (row_matches(base, ext, row, active)) return true;
        if (active) accepted = false;
    }
    return accepted;
}

bool takes_kind(const ImageChoice& c, std::string_view ext) {
    if (c.kinds.empty()) {
        for (std::size_t k = 0; k < 3; ++k)
            if (equal_nocase(ext, ImageKinds[k])) return true;
        return false;
    }
    for (const std::string& kind : c.kinds)
        if (equal_nocase(ext, kind)) return true;
    return false;
}

bool known_kind(std::string_view ext) {
    for (std::string_view kind : ImageKinds)
        if (equal_nocase(ext, kind)) return true;
    return false;
}

bool described_scan(const ImageChoice& c) {
    if (c.modern) return false;
    for (const std::string& kind : c.kinds)
        if (!takes_kind({}, kind)) return false;
    // Fewer kinds than the three is a choice too.
    return c.kinds.empty() ||
           (takes_kind(c, "gif") && takes_kind(c, "jpg") && takes_kind(c, "jpeg"));
}

std::string image_name(std::string_view address, const ImageChoice& c) {
    if (described_scan(c)) return nom_fichier(address);
    return nom_fichier(address.substr(0, address.find('?')));
}

std::string kind_extension(std::string_view content_type, const ImageChoice& c) {
    const std::string type = media_type(content_type);
    if (!type.starts_with("image/")) return {};
    std::string sub = type.substr(6);
    if (sub == "svg+xml")
        sub = "svg";
    else if (sub == "x-ms-bmp" || sub == "x-bmp")
        sub = "bmp";
    else if (sub == "x-icon" || sub == "vnd.microsoft.icon")
        sub = "ico";
    else if (sub == "pjpeg")
        sub = "jpeg";
    // "image/jpeg" is stored as .jpg, or as .jpeg by a task that takes only that.
    if (sub == "jpeg" && takes_kind(c, "jpg")) return "jpg";
    return takes_kind(c, sub) ? sub : std::string();
}

std::optional<int> code_type(std::string_view type) {
    const std::string_view t = trim_blanks(type);
    if (t == "*") return 0;
    if (t == "gif") return 1;
    if (t == "jpg") return 2;
    if (t == "jpeg") return 3;
    return std::nullopt;
}

}  // namespace psf::m_psf
