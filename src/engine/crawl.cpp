#include <algorithm>
#include <array>
#include <cctype>
#include <unordered_set>

#include "engine/m_psf.h"

namespace psf::m_psf {

namespace {

char lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool ends_with_ci(std::string_view v, std::string_view suffix) {
    if (v.size() < suffix.size()) return false;
    auto tail = v.substr(v.size() - suffix.size());
    return std::equal(tail.begin(), tail.end(), suffix.begin(),
                      [](char a, char b) { return lower(a) == b; });
}

bool is_image_value(std::string_view v) {
    return ends_with_ci(v, ".gif") || ends_with_ci(v, ".jpg") || ends_with_ci(v, ".jpeg");
}

// Counts are 16-bit; the lists hold ListLimit entries at most.
bool room_for(std::int16_t count, const List& list) {
    return count < ListLimit && static_cast<std::size_t>(count) + 1 < list.size();
}

// The image list holds each address once; `seen` indexes slots 1..count.
class ImageAdder {
  public:
    ImageAdder(List& images, Counters& counters) : images_(images), counters_(counters) {}

    void add(std::string_view address) {
        if (!room_for(counters_[0], images_)) return;
        std::string clean = sans_retours(address);
        if (!indexed_) {
            for (int k = 1; k <= counters_[0]; ++k)
                seen_.insert(images_[static_cast<std::size_t>(k)]);
            indexed_ = true;
        }
        if (seen_.count(clean) != 0) return;
        ++counters_[0];
        std::string& slot = images_[static_cast<std::size_t>(counters_[0])];
        slot = std::move(clean);
        seen_.insert(slot);
    }

  private:
    List& images_;
    Counters& counters_;
    bool indexed_ = false;  // built at the first image of a page, not for every page
    std::unordered_set<std::string_view> seen_;
};

void add_page(std::string_view base, const std::string& address, List& pages, Counters& counters) {
    if (autre_site(base, address)) return;
    // The room test first: once the list is full, a page of links costs no list scans.
    if (!room_for(counters[1], pages) || deja_liste(address, pages, counters[1])) return;
    ++counters[1];
    pages[static_cast<std::size_t>(counters[1])] = address;
}

// Cuts out the value after the attribute found at `p` (0-based); sets `next`
// to where the search goes on.
std::string_view cut_value(std::string_view text, std::size_t p, std::size_t n, std::size_t& next) {
    const std::size_t limit = p + 105;  // values reaching this far count as empty
    // Nothing past the limit can end a value; searching the whole rest of the
    // page instead would make a page of unfinished values cost quadratic time.
    const std::string_view near = text.substr(0, std::min(limit, text.size()));
    std::string_view value;
    std::size_t end = std::string_view::npos;
    const char q = text[p + n];
    if (q == '\'' || q == '"') {
        end = near.find(q, p + n + 1);
        if (end != std::string_view::npos && end < limit)
            value = text.substr(p + n + 1, end - p - n - 1);
    } else {
        const std::size_t b = near.find(' ', p + n);
        const std::size_t g = near.find('>', p + n);
        if (b == std::string_view::npos || (g != std::string_view::npos && g < limit && g < b))
            end = g;
        else
            end = b;
        if (end != std::string_view::npos && end < limit) value = text.substr(p + n, end - p - n);
    }
    next = value.empty() ? p + 5 : end;
    return value;
}

template <typename OnValue>
void scan_attribute(std::string_view text, std::string_view lowered, std::string_view name,
                    OnValue on_value) {
    std::size_t s = 0;
    for (;;) {
        const std::size_t p = lowered.find(name, s);
        if (p == std::string_view::npos) return;
        if (text.size() <= p + 11) return;  // ten or fewer characters after the name's start
        std::size_t next = 0;
        std::string_view value = cut_value(text, p, name.size(), next);
        if (!value.empty()) on_value(value);
        s = next;
    }
}

// HTML character references of an attribute value: numeric ones and the
// named ones that turn up in addresses. Anything else stays as written.
std::string decoded(std::string_view v) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 20> named = {{
        {"amp", "&"},   {"lt", "<"},     {"gt", ">"},     {"quot", "\""},  {"apos", "'"},
        {"nbsp", " "},  {"sol", "/"},    {"colon", ":"},  {"quest", "?"},  {"equals", "="},
        {"num", "#"},   {"percnt", "%"}, {"period", "."}, {"lowbar", "_"}, {"plus", "+"},
        {"comma", ","}, {"semi", ";"},   {"excl", "!"},   {"commat", "@"}, {"dollar", "$"},
    }};
    if (v.find('&') == std::string_view::npos) return std::string(v);
    std::string out;
    for (std::size_t i = 0; i < v.size(); ++i) {
        const std::size_t semi = v[i] == '&' ? v.find(';', i) : std::string_view::npos;
        if (semi == std::string_view::npos || semi - i > 10) {
            out.push_back(v[i]);
            continue;
        }
        const std::string_view name = v.substr(i + 1, semi - i - 1);
        std::string to;
        if (name.size() > 1 && name[0] == '#') {
            const bool hex = name[1] == 'x' || name[1] == 'X';
            unsigned long code = 0;
            bool ok = name.size() > (hex ? 2u : 1u);
            for (char c : name.substr(hex ? 2 : 1)) {
                const int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                              : hex && std::isxdigit(static_cast<unsigned char>(c))
                                  ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                                  : -1;
                if (d < 0) ok = false;
                code = code * (hex ? 16 : 10) + static_cast<unsigned long>(d < 0 ? 0 : d);
            }
            if (ok && code > 0 && code < 0x110000 && (code < 0xd800 || code > 0xdfff)) {
                // UTF-8, the encoding an address carries its characters in.
                if (code < 0x80) {
                    to.push_back(static_cast<char>(code));
                } else if (code < 0x800) {
                    to.push_back(static_cast<char>(0xc0 | (code >> 6)));
                    to.push_back(static_cast<char>(0x80 | (code & 0x3f)));
                } else if (code < 0x10000) {
                    to.push_back(static_cast<char>(0xe0 | (code >> 12)));
                    to.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3f)));
                    to.push_back(static_cast<char>(0x80 | (code & 0x3f)));
                } else {
                    to.push_back(static_cast<char>(0xf0 | (code >> 18)));
                    to.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3f)));
                    to.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3f)));
                    to.push_back(static_cast<char>(0x80 | (code & 0x3f)));
                }
            }
        } else {
            for (const auto& [n, t] : named)
                if (name == n) to = t;
        }
        if (to.empty()) {
            out.push_back(v[i]);
            continue;
        }
        out += to;
        i = semi;
    }
    return out;
}

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

// A value as a browser reads it: references decoded, blanks around it gone,
// no fragment. Empty when it names another scheme than http or https.
std::string link_of(std::string_view raw) {
    // Most values hold no reference: they are cut as views and copied once.
    std::string decoded_value;
    std::string_view v = raw;
    if (raw.find('&') != std::string_view::npos) v = decoded_value = decoded(raw);
    while (!v.empty() && blank(v.front())) v.remove_prefix(1);
    while (!v.empty() && blank(v.back())) v.remove_suffix(1);
    v = v.substr(0, v.find('#'));
    if (has_other_scheme(v)) return {};
    return std::string(v);
}

}  // namespace

std::string sans_retours(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (c != '\r' && c != '\n') out.push_back(c);
    return out;
}

bool deja_liste(std::string_view text, const List& list, int n) {
    const auto last = std::min<std::size_t>(n > 0 ? static_cast<std::size_t>(n) : 0,
                                            list.empty() ? 0 : list.size() - 1);
    for (std::size_t i = 1; i <= last; ++i)
        if (list[i] == text) return true;
    return false;
}

void scan_page_text(std::string_view text, std::string_view base, const FilterTable& include,
                    const FilterTable& exclude, List& images, List& pages, Counters& counters) {
    std::string lowered(text);
    for (char& c : lowered) c = lower(c);
    ImageAdder image_list(images, counters);

    scan_attribute(text, lowered, "src=", [&](std::string_view raw) {
        const std::string v = link_of(raw);
        if (v.empty()) return;
        if (is_image_value(v)) {
            if (image_retenue(nom_fichier(v), include, exclude))
                image_list.add(url_absolue(base, v));
        } else if (ends_with_ci(v, ".php") || ends_with_ci(v, ".htm") || ends_with_ci(v, ".html")) {
            add_page(base, url_absolue(base, v), pages, counters);
        }
    });

    scan_attribute(text, lowered, "href=", [&](std::string_view raw) {
        const std::string v = link_of(raw);
        if (v.find("mailto:") != std::string::npos || v.find(".cgi") != std::string::npos) return;
        if (v.empty()) return;
        if (is_image_value(v)) {
            if (image_retenue(nom_fichier(v), include, exclude))
                image_list.add(url_absolue(base, v));
        } else if (!ends_with_ci(v, ".exe") && !ends_with_ci(v, ".pdf") &&
                   !ends_with_ci(v, ".wma")) {
            add_page(base, url_absolue(base, v), pages, counters);
        }
    });
}

int analyse_page(TransferControl& inet, const std::string& page, const FilterTable& include,
                 const FilterTable& exclude, List& images, List& pages, Counters& counters) {
    try {
        const std::string address(trim_blanks(page));
        return scan_response(page, inet.OpenURL(address, DataType::Text), include, exclude, images,
                             pages, counters);
    } catch (...) {
        return -1;
    }
}

int scan_response(const std::string& page, const Response& r, const FilterTable& include,
                  const FilterTable& exclude, List& images, List& pages, Counters& counters) {
    try {
        if (!r.ok) return -1;
        if (r.not_a_page) return 1;  // an image or a file: nothing to scan
        // Links mean what they mean on the page actually served, after redirects.
        const std::string base = r.final_url.empty() ? std::string(trim_blanks(page)) : r.final_url;
        scan_page_text(r.body, base, include, exclude, images, pages, counters);
        return 1;
    } catch (...) {
        return -1;
    }
}

}  // namespace psf::m_psf
