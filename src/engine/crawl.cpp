#include <algorithm>
#include <cctype>

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

void add_image(std::string_view address, List& images, Counters& counters) {
    if (!room_for(counters[0], images)) return;
    ++counters[0];
    images[static_cast<std::size_t>(counters[0])] = sans_retours(address);
}

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

    scan_attribute(text, lowered, "src=", [&](std::string_view v) {
        if (is_image_value(v)) {
            if (image_retenue(nom_fichier(v), include, exclude))
                add_image(url_absolue(base, v), images, counters);
        } else if (ends_with_ci(v, ".php") || ends_with_ci(v, ".htm") || ends_with_ci(v, ".html")) {
            add_page(base, url_absolue(base, v), pages, counters);
        }
    });

    scan_attribute(text, lowered, "href=", [&](std::string_view v) {
        const std::size_t h = v.find('#');
        if (h != std::string_view::npos) v = v.substr(0, h);
        if (v.find("mailto:") != std::string_view::npos || v.find(".cgi") != std::string_view::npos)
            return;
        if (v.empty()) return;
        if (is_image_value(v)) {
            if (!image_retenue(nom_fichier(v), include, exclude)) return;
            const std::string a = url_absolue(base, v);
            if (room_for(counters[0], images) && !deja_liste(a, images, counters[0]))
                add_image(a, images, counters);
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
        return analyse_reponse(page, inet.OpenURL(address, DataType::Text), include, exclude,
                               images, pages, counters);
    } catch (...) {
        return -1;
    }
}

int analyse_reponse(const std::string& page, const Response& r, const FilterTable& include,
                    const FilterTable& exclude, List& images, List& pages, Counters& counters) {
    try {
        if (!r.ok) return -1;
        // Links mean what they mean on the page actually served, after redirects.
        const std::string base = r.final_url.empty() ? std::string(trim_blanks(page)) : r.final_url;
        scan_page_text(r.body, base, include, exclude, images, pages, counters);
        return 1;
    } catch (...) {
        return -1;
    }
}

}  // namespace psf::m_psf
