// Address operations and name filters. The input is cut into lines: a page
// address, a link, a file name, a name pattern, a type.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/m_psf.h"
#include "fuzz/fuzz_support.h"

using namespace psf::m_psf;
using psf::fuzz::well_formed_address;

namespace {

bool starts_with_nocase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (std::size_t k = 0; k < prefix.size(); ++k) {
        char c = s[k];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[k]) return false;
    }
    return true;
}

bool prefix_of(std::string_view p, std::string_view s) {
    return s.starts_with(p);
}

// A plain glob with backtracking: what "*" and "?" mean, without the
// filter's commitment to the first occurrence.
bool glob(std::string_view s, std::string_view p) {
    std::size_t i = 0, j = 0, star = std::string_view::npos, mark = 0;
    while (i < s.size()) {
        if (j < p.size() && (p[j] == '?' || (p[j] != '*' && p[j] == s[i]))) {
            ++i;
            ++j;
        } else if (j < p.size() && p[j] == '*') {
            star = j++;
            mark = i;
        } else if (star != std::string_view::npos) {
            j = star + 1;
            i = ++mark;
        } else {
            return false;
        }
    }
    while (j < p.size() && p[j] == '*') ++j;
    return j == p.size();
}

void check_splitting(std::string_view s) {
    const std::string root = racine_url(s);
    FUZZ_CHECK(root.empty() || root.back() == '/', "a site root ends with a slash");
    FUZZ_CHECK(root.empty() || root == std::string(s) + "/" || prefix_of(root, s),
               "a site root is the address or its start");
    const std::string dir = repertoire_url(s);
    FUZZ_CHECK(dir.empty() || dir.back() == '/', "a directory ends with a slash");
    FUZZ_CHECK(dir.empty() || dir == std::string(s) + "/" || prefix_of(dir, s),
               "a directory is the address or its start");
    const std::string name = nom_fichier(s);
    FUZZ_CHECK(s.ends_with(name) && name.find('/') == std::string::npos,
               "a file name is a tail without a slash");
    const std::string path = chemin_site(s);
    FUZZ_CHECK(path.empty() || (path.back() == '/' && s.find(path) != std::string_view::npos),
               "a site path is a part of the address ending with a slash");
    FUZZ_CHECK(vers_antislash(s).size() == s.size(), "separators are swapped one for one");
    const std::string_view t = trim_blanks(s);
    FUZZ_CHECK(!t.starts_with(' ') && !t.ends_with(' ') && s.find(t) != std::string_view::npos,
               "trimming removes blanks at the ends only");
}

void check_resolution(std::string_view page, std::string_view link) {
    const std::string a = url_absolue(page, link);
    if (starts_with_nocase(link, "http://") || starts_with_nocase(link, "https://")) {
        const std::string_view t = trim_blanks(link);
        if (t.find('#') == std::string_view::npos && t.find("/.") == std::string_view::npos)
            FUZZ_CHECK(a == t, "an absolute link without fragment or dots is kept, trimmed");
        FUZZ_CHECK(url_absolue(page, a) == a, "a resolved absolute link resolves to itself");
        return;
    }
    if (!well_formed_address(page)) return;

    const std::string root = racine_url(page);
    const std::string dir = repertoire_url(page);
    FUZZ_CHECK(!root.empty() && !dir.empty() && prefix_of(root, dir),
               "a page address has a root and a directory below it");
    FUZZ_CHECK(racine_url(root) == root, "the root of a root is itself");
    const std::size_t scheme = page.find("//") + 2;
    const std::size_t after_host = page.find('/', scheme);
    const std::string path = chemin_site(page);
    if (after_host == std::string_view::npos) {
        FUZZ_CHECK(path.empty(), "an address without a path has no site path");
    } else {
        FUZZ_CHECK(path == dir.substr(scheme), "the site path is the directory without scheme");
    }

    if (link.starts_with("//")) {
        FUZZ_CHECK(prefix_of(page.substr(0, scheme), a), "a scheme-relative link keeps the scheme");
        return;
    }
    // Every other relative link stays on the page's site, however many
    // "../" it climbs.
    FUZZ_CHECK(prefix_of(root, a), "a relative link resolves below the page's root");
    FUZZ_CHECK(racine_url(a) == root && !autre_site(page, a),
               "a relative link resolves to the page's site");
    FUZZ_CHECK(url_absolue(page, a) == a, "a resolved address resolves to itself");
}

void check_filters(std::string_view name, std::string_view pattern, std::string_view type) {
    const bool type_ok = type == "*" || (type.size() == 3 && starts_with_nocase(type, "gif"));
    const bool m = motif_correspond(name, "gif", pattern, type);
    FUZZ_CHECK(!m || type_ok, "a match needs the type");
    if (type_ok) {
        const bool g = glob(name, pattern);
        FUZZ_CHECK(!m || g, "a filter match is a real wildcard match");
        if (pattern.find('*') == std::string_view::npos)
            FUZZ_CHECK(m == g, "without \"*\" the filter is an exact wildcard match");
    }

    FilterTable none;
    FilterTable row;
    row[0][0] = std::string(pattern);
    row[0][2] = std::string(type);
    const std::string_view tp = trim_blanks(pattern);
    bool kept = false;    // by the include row
    bool refused = true;  // by the exclude row
    const std::size_t dot = name.rfind('.');
    if (!trim_blanks(name).empty() && dot != std::string_view::npos) {
        const std::string_view b = trim_blanks(name.substr(0, dot));
        const std::string_view e = trim_blanks(name.substr(dot + 1));
        const bool matched = !tp.empty() && motif_correspond(b, e, tp, trim_blanks(type));
        kept = tp.empty() || matched;
        refused = matched;
    }
    FUZZ_CHECK(image_retenue(name, row, none) == kept, "an include row keeps what it matches");
    FUZZ_CHECK(image_retenue(name, none, row) == !refused,
               "an exclude row refuses exactly what it matches");

    static constexpr std::array<std::string_view, 4> types = {"*", "gif", "jpg", "jpeg"};
    if (const auto code = code_type(type)) {
        FUZZ_CHECK(*code >= 0 && *code < 4 && trim_blanks(type) == types[*code],
                   "a type code names its type");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto parts = psf::fuzz::split_lines(psf::fuzz::as_text(data, size), 5);
    const std::string_view page = parts[0], link = parts[1], name = parts[2];
    const std::string_view pattern = parts[3], type = parts[4];

    check_splitting(page);
    check_splitting(link);
    check_resolution(page, link);
    check_filters(name, pattern, type);
    FUZZ_CHECK(autre_site(page, "") && autre_site("", page), "nothing shares a site with \"\"");
    return 0;
}
