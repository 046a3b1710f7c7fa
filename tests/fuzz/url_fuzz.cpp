// Address operations and name filters. The input is cut into lines: a page
// address, a link, a file name, a name pattern, a type.

#include "engine/m_psf.h"
#include "fuzz/fuzz_support.h"
#include "platform/text.h"

using namespace psf::m_psf;
using namespace psf::fuzz;
using psf::trim_blanks;

namespace {

constexpr auto npos = std::string_view::npos;

// A plain glob, by dynamic programming over the name: what "*" and "?" mean,
// without the filter's commitment to the first occurrence.
bool glob(std::string_view s, std::string_view p) {
    std::vector<char> m(s.size() + 1, 0);  // m[i]: the pattern so far matches s's first i
    m[0] = 1;
    for (const char c : p) {
        if (c == '*') {
            for (std::size_t i = 1; i <= s.size(); ++i) m[i] = m[i] || m[i - 1];
            continue;
        }
        for (std::size_t i = s.size(); i > 0; --i) m[i] = m[i - 1] && (c == '?' || c == s[i - 1]);
        m[0] = 0;
    }
    return m[s.size()];
}

void check_splitting(std::string_view s) {
    for (const std::string& r : {racine_url(s), repertoire_url(s)})
        FUZZ_CHECK(
            r.empty() || (r.back() == '/' && (r == std::string(s) + "/" || s.starts_with(r))),
            "a site root or directory is the address or its start, ending with a slash");
    const std::string name = nom_fichier(s);
    FUZZ_CHECK(s.ends_with(name) && name.find('/') == npos, "a file name: a tail, no slash");
    const std::string path = chemin_site(s);
    FUZZ_CHECK(path.empty() || (path.back() == '/' && s.find(path) != npos), "a site path");
    FUZZ_CHECK(vers_antislash(s).size() == s.size(), "separators are swapped one for one");
    const std::string_view t = trim_blanks(s);
    FUZZ_CHECK(!t.starts_with(' ') && !t.ends_with(' ') && s.find(t) != npos, "trimming");
}

void check_resolution(std::string_view page, std::string_view link) {
    const std::string a = url_absolue(page, link);
    if (has_nocase(link, "http://") || has_nocase(link, "https://")) {
        const std::string_view t = trim_blanks(link);
        if (t.find('#') == npos && t.find("/.") == npos)
            FUZZ_CHECK(a == t, "an absolute link without fragment or dots is kept, trimmed");
        FUZZ_CHECK(url_absolue(page, a) == a, "a resolved absolute link resolves to itself");
        return;
    }
    page = without_fragment(page);  // what links resolve against
    if (!well_formed_address(page)) return;

    const std::string root = racine_url(page), dir = repertoire_url(page);
    FUZZ_CHECK(!root.empty() && !dir.empty() && dir.starts_with(root),
               "a page address has a root and a directory below it");
    FUZZ_CHECK(racine_url(root) == root, "the root of a root is itself");
    // The user information is the authority (up to "/", "?" or "#") before its last "@".
    const std::size_t scheme = page.find("//") + 2;
    const std::size_t at = page.substr(0, page.find_first_of("/?#", scheme)).rfind('@');
    const std::string path = chemin_site(page);
    FUZZ_CHECK(page.find('/', scheme) == npos
                   ? path.empty()
                   : path == dir.substr(at != npos && at >= scheme ? at + 1 : scheme),
               "the site path is the directory without scheme and user, empty without a path");

    if (link.starts_with("//")) {
        FUZZ_CHECK(a.starts_with(page.substr(0, scheme)), "a scheme-relative link's scheme");
        return;
    }
    // Every other relative link stays on the page's site, however many
    // "../" it climbs.
    FUZZ_CHECK(a.starts_with(root), "a relative link resolves below the page's root");
    FUZZ_CHECK(racine_url(a) == root && !autre_site(page, a),
               "a relative link resolves to the page's site");
    FUZZ_CHECK(url_absolue(page, a) == a, "a resolved address resolves to itself");
}

void check_filters(std::string_view name, std::string_view pattern, std::string_view type) {
    FUZZ_CHECK(!motif_correspond(name, "gif", pattern, type) || type == "*" ||
                   (type.size() == 3 && has_nocase(type, "gif")),
               "a match needs the type");
    const bool m = motif_correspond(name, "gif", pattern, "*"), g = glob(name, pattern);
    FUZZ_CHECK(!m || g, "a filter match is a real wildcard match");
    FUZZ_CHECK(m == g || pattern.find('*') != npos,
               "without \"*\" the filter is an exact wildcard match");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto parts = split({reinterpret_cast<const char*>(data), size}, 5);
    const std::string_view page = parts[0], link = parts[1], name = parts[2];
    const std::string_view pattern = parts[3], type = parts[4];

    check_splitting(page);
    check_splitting(link);
    check_resolution(page, link);
    check_filters(name, pattern, type);
    FUZZ_CHECK(autre_site(page, "") && autre_site("", page), "nothing shares a site with \"\"");
    return 0;
}
