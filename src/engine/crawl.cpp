#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <unordered_set>
#include <vector>

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

// The extension of a value's last path segment, query left out; empty when
// the segment has none.
std::string_view extension_of(std::string_view v) {
    v = v.substr(0, v.find('?'));
    v = v.substr(v.rfind('/') == std::string_view::npos ? 0 : v.rfind('/') + 1);
    const std::size_t dot = v.rfind('.');
    return dot == std::string_view::npos ? std::string_view{} : v.substr(dot + 1);
}

// A value of src= or href= names an image of a kind the task takes.
bool image_value(std::string_view v, const ImageChoice& c) {
    if (described_scan(c)) return is_image_value(v);
    return takes_kind(c, extension_of(v));
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
std::string link_of(std::string_view raw, bool decode = true) {
    // Most values hold no reference: they are cut as views and copied once.
    std::string decoded_value;
    std::string_view v = raw;
    if (decode && raw.find('&') != std::string_view::npos) v = decoded_value = decoded(raw);
    while (!v.empty() && blank(v.front())) v.remove_prefix(1);
    while (!v.empty() && blank(v.back())) v.remove_suffix(1);
    v = v.substr(0, v.find('#'));
    if (has_other_scheme(v)) return {};
    return std::string(v);
}

// ---- Modern markup, for tasks that opt in --------------------------------------
// Unlike the described scan, which searches for "src=" and "href=" anywhere,
// this reads tags and their attributes: names in any letter case, blanks
// around "=", quoted or bare values of any length.

struct Attribute {
    std::string_view name;  // lower case
    std::string_view value;
};

bool name_char(char c) {
    return !blank(c) && c != '=' && c != '>' && c != '/' && c != '<';
}

// Reads the attributes of the tag whose name ends at `i`; returns where the
// tag ends.
std::size_t read_attributes(std::string_view text, std::string_view lowered, std::size_t i,
                            std::vector<Attribute>& out) {
    out.clear();
    const std::size_t n = text.size();
    while (i < n) {
        while (i < n && (blank(text[i]) || text[i] == '/')) ++i;
        if (i >= n || text[i] == '>') break;
        const std::size_t from = i;
        while (i < n && name_char(text[i])) ++i;
        if (i == from) {  // a stray "<" or "=": not an attribute
            ++i;
            continue;
        }
        Attribute a{lowered.substr(from, i - from), {}};
        std::size_t j = i;
        while (j < n && blank(text[j])) ++j;
        if (j < n && text[j] == '=') {
            ++j;
            while (j < n && blank(text[j])) ++j;
            if (j < n && (text[j] == '"' || text[j] == '\'')) {
                const std::size_t e = text.find(text[j], j + 1);
                const std::size_t end = e == std::string_view::npos ? n : e;
                a.value = text.substr(j + 1, end - j - 1);
                i = end == n ? n : end + 1;
            } else {
                const std::size_t from_v = j;
                while (j < n && !blank(text[j]) && text[j] != '>') ++j;
                a.value = text.substr(from_v, j - from_v);
                i = j;
            }
        }
        out.push_back(a);
    }
    return i;
}

// The addresses of a srcset: every candidate, or the largest by width, else
// by density (a candidate without either counts as 1x).
std::vector<std::string> srcset_candidates(std::string_view raw, bool all) {
    const std::string text = decoded(raw);
    std::vector<std::string> urls;
    std::string best;
    double best_w = -1, best_x = -1;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (blank(text[i]) || text[i] == ',')) ++i;
        std::size_t j = i;
        while (j < text.size() && !blank(text[j])) ++j;
        std::string url = text.substr(i, j - i);
        // A comma ends a candidate without descriptors.
        bool ended = false;
        while (!url.empty() && url.back() == ',') {
            url.pop_back();
            ended = true;
        }
        std::size_t k = j;
        if (!ended) k = std::min(text.find(',', j), text.size());
        const std::string descriptor(trim_blanks(std::string_view(text).substr(j, k - j)));
        i = k;
        if (url.empty()) continue;
        double w = -1, x = 1;
        if (descriptor.size() > 1) {
            const double value = std::atof(descriptor.c_str());
            if (lower(descriptor.back()) == 'w') w = value;
            if (lower(descriptor.back()) == 'x') x = value;
        }
        urls.push_back(url);
        if (w > best_w || (best_w < 0 && w < 0 && x > best_x)) {
            best = url;
            best_w = std::max(best_w, w);
            if (w < 0) best_x = x;
        }
    }
    if (all) return urls;
    if (best.empty()) return {};
    return {best};
}

// The addresses of CSS url(…) in a text.
template <typename OnUrl>
void css_urls(std::string_view css, OnUrl on_url) {
    std::string low(css);
    for (char& c : low) c = lower(c);
    for (std::size_t p = low.find("url("); p != std::string::npos; p = low.find("url(", p + 4)) {
        std::size_t i = p + 4;
        while (i < css.size() && blank(css[i])) ++i;
        if (i >= css.size()) return;
        std::size_t end = 0;
        if (css[i] == '"' || css[i] == '\'') {
            end = css.find(css[i], i + 1);
            ++i;
        } else {
            end = css.find(')', i);
        }
        if (end == std::string_view::npos) return;
        on_url(css.substr(i, end - i));
    }
}

bool has_token(std::string_view list, std::string_view token) {
    std::string low(list);
    for (char& c : low) c = lower(c);
    std::size_t i = 0;
    while (i < low.size()) {
        while (i < low.size() && blank(low[i])) ++i;
        std::size_t j = i;
        while (j < low.size() && !blank(low[j])) ++j;
        if (std::string_view(low).substr(i, j - i) == token) return true;
        i = j;
    }
    return false;
}

// Every image named in modern markup, in page order; `on_image(raw, decode)`.
template <typename OnImage>
void scan_modern(std::string_view text, std::string_view lowered, const ImageChoice& c,
                 OnImage on_image) {
    std::vector<Attribute> attrs;
    std::size_t p = 0;
    while ((p = lowered.find('<', p)) != std::string_view::npos) {
        if (lowered.substr(p, 4) == "<!--") {
            const std::size_t e = lowered.find("-->", p + 4);
            if (e == std::string_view::npos) return;
            p = e + 3;
            continue;
        }
        std::size_t i = p + 1;
        while (i < text.size() && name_char(text[i])) ++i;
        const std::string_view tag = lowered.substr(p + 1, i - p - 1);
        if (tag.empty() || !std::isalpha(static_cast<unsigned char>(tag[0]))) {
            p = i;
            continue;
        }
        p = read_attributes(text, lowered, i, attrs);
        auto value_of = [&](std::string_view name) -> const Attribute* {
            for (const Attribute& a : attrs)
                if (a.name == name) return &a;
            return nullptr;
        };
        for (const Attribute& a : attrs) {
            if (a.name == "srcset" || a.name == "data-srcset") {
                for (const std::string& url : srcset_candidates(a.value, c.srcset_all))
                    on_image(url, false);
            } else if (a.name == "data-src" || a.name == "data-original" ||
                       a.name == "data-lazy-src" || a.name == "background" ||
                       (a.name == "src" && tag == "img")) {
                on_image(a.value, true);
            } else if (a.name == "style") {
                css_urls(decoded(a.value), [&](std::string_view u) { on_image(u, false); });
            }
        }
        if (tag == "meta") {
            const Attribute* prop = value_of("property");
            if (prop == nullptr) prop = value_of("name");
            const Attribute* content = value_of("content");
            if (prop != nullptr && content != nullptr &&
                has_token(decoded(prop->value), "og:image"))
                on_image(content->value, true);
        } else if (tag == "link") {
            const Attribute* rel = value_of("rel");
            const Attribute* href = value_of("href");
            if (rel != nullptr && href != nullptr && has_token(decoded(rel->value), "image_src"))
                on_image(href->value, true);
        } else if (tag == "style" && p < text.size()) {
            const std::size_t e = lowered.find("</style", p);
            const std::size_t end = e == std::string_view::npos ? text.size() : e;
            css_urls(text.substr(p, end - p), [&](std::string_view u) { on_image(u, false); });
            p = end;
        }
    }
}

// Extensions of addresses that run a script: what they return is told by
// the response, so they may name an image.
bool script_extension(std::string_view ext) {
    static constexpr std::array<std::string_view, 7> scripts = {"php", "asp", "aspx", "jsp",
                                                                "cgi", "pl",  "py"};
    std::string low(ext);
    for (char& ch : low) ch = lower(ch);
    return std::find(scripts.begin(), scripts.end(), low) != scripts.end();
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
                    const FilterTable& exclude, List& images, List& pages, Counters& counters,
                    const ImageChoice& choice) {
    std::string lowered(text);
    for (char& c : lowered) c = lower(c);
    ImageAdder image_list(images, counters);

    scan_attribute(text, lowered, "src=", [&](std::string_view raw) {
        const std::string v = link_of(raw);
        if (v.empty()) return;
        if (image_value(v, choice)) {
            if (image_retenue(image_name(v, choice), include, exclude))
                image_list.add(url_absolue(base, v));
        } else if (ends_with_ci(v, ".php") || ends_with_ci(v, ".htm") || ends_with_ci(v, ".html")) {
            add_page(base, url_absolue(base, v), pages, counters);
        }
    });

    scan_attribute(text, lowered, "href=", [&](std::string_view raw) {
        const std::string v = link_of(raw);
        if (v.find("mailto:") != std::string::npos || v.find(".cgi") != std::string::npos) return;
        if (v.empty()) return;
        if (image_value(v, choice)) {
            if (image_retenue(image_name(v, choice), include, exclude))
                image_list.add(url_absolue(base, v));
        } else if (!ends_with_ci(v, ".exe") && !ends_with_ci(v, ".pdf") &&
                   !ends_with_ci(v, ".wma")) {
            add_page(base, url_absolue(base, v), pages, counters);
        }
    });

    if (!choice.modern) return;
    scan_modern(text, lowered, choice, [&](std::string_view raw, bool decode) {
        const std::string v = link_of(raw, decode);
        if (v.empty()) return;
        const std::string_view ext = extension_of(v);
        const std::string name = image_name(v, choice);
        bool taken = false;
        if (known_kind(ext)) {
            taken = takes_kind(choice, ext) && image_retenue(name, include, exclude);
        } else if (ext.empty() || script_extension(ext)) {
            // Named by the response's type once fetched: taken when the
            // filters take the name under one of the task's kinds.
            for (std::string_view k : ImageKinds)
                if (takes_kind(choice, k))
                    taken = taken || image_retenue(name + "." + std::string(k), include, exclude);
        }
        if (taken) image_list.add(url_absolue(base, v));
    });
}

int analyse_page(TransferControl& inet, const std::string& page, const FilterTable& include,
                 const FilterTable& exclude, List& images, List& pages, Counters& counters,
                 const ImageChoice& choice) {
    try {
        const std::string address(trim_blanks(page));
        return scan_response(page, inet.OpenURL(address, DataType::Text), include, exclude, images,
                             pages, counters, choice);
    } catch (...) {
        return -1;
    }
}

int scan_response(const std::string& page, const Response& r, const FilterTable& include,
                  const FilterTable& exclude, List& images, List& pages, Counters& counters,
                  const ImageChoice& choice) {
    try {
        if (!r.ok) return -1;
        if (r.not_a_page) return 1;  // an image or a file: nothing to scan
        // Links mean what they mean on the page actually served, after redirects.
        const std::string base = r.final_url.empty() ? std::string(trim_blanks(page)) : r.final_url;
        scan_page_text(r.body, base, include, exclude, images, pages, counters, choice);
        return 1;
    } catch (...) {
        return -1;
    }
}

}  // namespace psf::m_psf
