// Address operations. Plain byte arithmetic on strings: no parsing, no
// percent-decoding, no case normalisation, because duplicate detection and the
// same-site rule compare the results byte for byte. A resolved address loses
// its fragment and its dot segments, so one page is one address however a
// link spells it.

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

#include "engine/m_psf.h"
#include "platform/text.h"

namespace psf::m_psf {

namespace {

constexpr auto npos = std::string_view::npos;

// Addresses shorter than this cannot hold "x://y" and are not split.
constexpr std::size_t MinAddress = 7;

// Folder separator used when an address path becomes a local path.
constexpr char FolderSeparator = '/';

std::string trimmed(std::string_view s) {
    return std::string(trim_blanks(s));
}

std::string joined_trimmed(std::string_view a, std::string_view b) {
    std::string r;
    r.reserve(a.size() + b.size());
    r.append(a);
    r.append(b);
    return trimmed(r);
}

// RFC 3986, section 5.2.4, on a path that begins with "/".
std::string without_dot_segments(std::string_view in) {
    std::string out;
    while (!in.empty()) {
        if (in.starts_with("/./")) {
            in.remove_prefix(2);
        } else if (in == "/.") {
            in = "/";
        } else if (in.starts_with("/../") || in == "/..") {
            in = in.size() == 3 ? std::string_view("/") : in.substr(3);
            const std::size_t cut = out.rfind('/');
            out.erase(cut == std::string::npos ? 0 : cut);
        } else {
            const std::size_t next = in.find('/', 1);
            out.append(in.substr(0, next));
            in.remove_prefix(next == npos ? in.size() : next);
        }
    }
    return out;
}

// The fragment goes, and the dot segments of the path (between the host and
// the query).
std::string normalised(std::string a) {
    if (a.find('#') != npos) a = trimmed(without_fragment(a));
    const std::size_t authority = a.find("//");
    if (authority == npos) return a;
    const std::size_t path = a.find('/', authority + 2);
    if (path == npos) return a;
    const std::size_t query = std::min(a.find('?', path), a.size());
    if (a.find("/.", path) >= query) return a;  // nothing to remove
    return a.substr(0, path) +
           without_dot_segments(std::string_view(a).substr(path, query - path)) + a.substr(query);
}

std::string resolved(std::string_view page, std::string_view link);

}  // namespace

bool has_other_scheme(std::string_view link) {
    const std::size_t colon = link.find(':');
    if (colon == npos || colon == 0) return false;
    const auto alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (!alpha(link[0])) return false;
    for (char c : link.substr(0, colon))
        if (!alpha(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') return false;
    return !starts_with_nocase(link, "http:") && !starts_with_nocase(link, "https:");
}

std::string racine_url(std::string_view s) {
    if (s.size() < MinAddress) return {};
    const std::size_t a = s.find("//");
    if (a == npos) return {};
    const std::size_t b = s.find('/', a + 2);  // a + 2 <= size: find copes with it
    if (b == npos) return std::string(s) + '/';
    return std::string(s.substr(0, b + 1));
}

std::string repertoire_url(std::string_view s) {
    if (s.size() < MinAddress) return {};
    if (s.back() == '/') return std::string(s);
    const std::size_t a = s.find("//");
    if (a == npos) return {};
    const std::size_t last = s.rfind('/');  // at least a + 1, since "//" is present
    if (last == a + 1) return std::string(s) + '/';
    return std::string(s.substr(0, last + 1));
}

std::string nom_fichier(std::string_view s) {
    const std::size_t last = s.rfind('/');
    std::string_view t = (last == npos) ? s : s.substr(last + 1);
    const std::size_t colon = t.find(':');
    if (colon != npos) t = t.substr(colon + 1);
    return std::string(t);
}

std::string chemin_site(std::string_view s) {
    const std::size_t a = s.find("//");
    if (a == npos) return {};
    if (s.find('/', a + 2) == npos) return {};
    const std::size_t last = s.rfind('/');  // >= a + 2 by the test above
    // A user name and password before the host never become a folder name. An
    // "@" after the authority ("?" and "#" end it too) belongs to the path.
    const std::size_t host_end = s.find_first_of("/?#", a + 2);
    const std::size_t at = s.substr(0, host_end).rfind('@');
    const std::size_t from = at != npos && at > a ? at + 1 : a + 2;
    return std::string(s.substr(from, last - from + 1));
}

std::string vers_antislash(std::string_view s) {
    std::string r(s);
    for (char& c : r) {
        if (c == '/') c = FolderSeparator;
    }
    return r;
}

std::string_view without_fragment(std::string_view address) {
    return address.substr(0, address.find('#'));
}

std::string url_absolue(std::string_view page, std::string_view link) {
    if (link.size() > MaxAddressLength || page.size() > MaxAddressLength) return {};
    // Links resolve against the page without its fragment, as in a browser.
    std::string url = normalised(resolved(without_fragment(page), link));
    if (url.size() > MaxAddressLength) return {};
    return url;
}

namespace {

std::string resolved(std::string_view page, std::string_view link) {
    // Scheme letters in any case: servers and authors write "HTTP://" too.
    if (starts_with_nocase(link, "http://") || starts_with_nocase(link, "https://")) {
        return trimmed(link);
    }

    const std::string root = racine_url(page);
    const std::string dir = repertoire_url(page);
    if (root.empty() || dir.empty()) return {};

    if (link.starts_with("../")) {
        std::size_t groups = 0;
        while (link.substr(3 * groups).starts_with("../")) ++groups;
        const std::string_view rest = link.substr(3 * groups);

        // Climb one slash per group in the directory without its final slash,
        // but never below the root's own slash: extra groups stay at the root
        // instead of eating into "scheme://".
        const std::string_view climb(dir.data(), dir.size() - 1);
        const std::size_t floor = root.size() - 1;
        std::size_t end = climb.size();
        std::size_t found = 0;
        std::size_t cut = npos;
        while (found < groups && end > 0) {
            const std::size_t k = climb.rfind('/', end - 1);
            if (k == npos || k < floor) break;
            ++found;
            end = k;
            if (found == groups) cut = k;
        }
        if (cut == npos) return joined_trimmed(root, rest);
        return joined_trimmed(climb.substr(0, cut + 1), rest);
    }

    // "./x" names a file beside the page, like a plain relative link.
    if (link.starts_with("./")) return joined_trimmed(dir, link.substr(2));

    // "//host/..." keeps the page's scheme (the text before its first "//").
    if (link.starts_with("//")) {
        const std::size_t a = page.find("//");  // present, since root is not empty
        return joined_trimmed(page.substr(0, a), link);
    }

    if (link.starts_with("/")) return joined_trimmed(root, link.substr(1));

    return joined_trimmed(dir, link);
}

}  // namespace

bool autre_site(std::string_view p, std::string_view a) {
    const std::string r1 = racine_url(p);
    const std::string r2 = racine_url(a);
    if (r1.empty() || r2.empty()) return true;
    return r1 != r2;
}

}  // namespace psf::m_psf
