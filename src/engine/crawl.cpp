#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <new>
#include <optional>
#include <vector>

#include "engine/m_psf.h"
#include "engine/markup.h"
#include "platform/text.h"

namespace psf::m_psf {

namespace {

bool is_image_value(std::string_view v) {
    return ends_with_nocase(v, ".gif") || ends_with_nocase(v, ".jpg") ||
           ends_with_nocase(v, ".jpeg");
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

// Where each character that can end a value next occurs. The positions asked
// for only grow during a pass, so each character's search crosses the text
// once: a page of unfinished values costs linear time, however far a value
// may reach.
class NextOf {
  public:
    explicit NextOf(std::string_view text) : text_(text) {}
    std::size_t operator()(char c, std::size_t from) {
        Found& f = found_[static_cast<unsigned char>(c)];
        if (!f.known || (f.at != std::string_view::npos && f.at < from)) {
            f.at = text_.find(c, from);
            f.known = true;
        }
        return f.at;
    }

  private:
    struct Found {
        bool known = false;
        std::size_t at = 0;
    };
    std::string_view text_;
    std::array<Found, 256> found_{};
};

struct Cut {
    std::string_view value;  // empty when there is none or it is too long
    std::size_t next = 0;    // where the search goes on
    bool too_long = false;
    std::size_t from = 0;  // where the value begins
};

// Cuts out the value after the attribute found at `p` (0-based): up to the
// closing quote, or for a bare value the first blank or ">". A value longer
// than an address may be is dropped.
Cut cut_value(std::string_view text, std::size_t p, std::size_t n, NextOf& next_of) {
    Cut cut;
    std::size_t from = p + n, end = std::string_view::npos;
    const char q = text[p + n];
    if (q == '\'' || q == '"') {
        from = p + n + 1;
        end = next_of(q, from);
    } else {
        const std::size_t b = next_of(' ', from);
        const std::size_t g = next_of('>', from);
        end = b == std::string_view::npos || (g != std::string_view::npos && g < b) ? g : b;
    }
    cut.from = from;
    if (end != std::string_view::npos) {
        if (end - from > MaxAddressLength)
            cut.too_long = true;
        else
            cut.value = text.substr(from, end - from);
    }
    // A value read whole and refused is passed over like a kept one.
    cut.next = cut.value.empty() && !cut.too_long ? p + 5 : end;
    return cut;
}

// Long loops look at the run's stop this often.
constexpr int StopCheckEvery = 4096;

bool stopped(const ScanNotes* notes, int& countdown) {
    if (--countdown > 0) return false;
    countdown = StopCheckEvery;
    return notes != nullptr && notes->stop.stop_requested();
}

void note_too_long(ScanNotes* notes, std::string_view page, std::string_view value) {
    if (notes == nullptr) return;
    ++notes->too_long;
    if (notes->too_long_named.size() < NamedTooLong)
        notes->too_long_named.emplace_back(std::string(page), std::string(value.substr(0, 60)));
}

template <typename OnValue>
void scan_attribute(std::string_view text, std::string_view lowered, std::string_view name,
                    std::string_view page, ScanNotes* notes, OnValue on_value) {
    NextOf next_of(text);
    int countdown = StopCheckEvery;
    std::size_t s = 0;
    for (;;) {
        const std::size_t p = lowered.find(name, s);
        if (p == std::string_view::npos) return;
        if (text.size() <= p + 11) return;  // ten or fewer characters after the name's start
        if (stopped(notes, countdown)) return;
        const Cut cut = cut_value(text, p, name.size(), next_of);
        if (cut.too_long) note_too_long(notes, page, text.substr(cut.from));
        if (!cut.value.empty()) on_value(cut.value);
        s = cut.next;
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
        // A reference is short: the search for its end stops ten characters on.
        const std::size_t end =
            v[i] == '&' ? v.substr(i + 1, 10).find(';') : std::string_view::npos;
        const std::size_t semi = end == std::string_view::npos ? end : i + 1 + end;
        if (semi == std::string_view::npos) {
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
                                  ? lower_ascii(c) - 'a' + 10
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

// A value as a browser reads it: references decoded, blanks around it gone,
// no fragment. Empty when it names another scheme than http or https.
std::string link_of(std::string_view raw, bool decode = true) {
    // Most values hold no reference: they are cut as views and copied once.
    std::string decoded_value;
    std::string_view v = raw;
    if (decode && raw.find('&') != std::string_view::npos) v = decoded_value = decoded(raw);
    v = trim_blanks(v, Blanks);
    v = without_fragment(v);
    if (has_other_scheme(v)) return {};
    return std::string(v);
}

// ---- Modern markup, for tasks that opt in --------------------------------------

// The addresses of a srcset: every candidate, or the largest by width, else
// by density (a candidate without either counts as 1x).
std::vector<std::string> srcset_candidates(std::string_view text, bool all) {
    std::vector<std::string> urls;
    std::string best;
    double best_w = -1, best_x = -1;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (blank(text[i]) || text[i] == ',')) ++i;
        std::size_t j = i;
        while (j < text.size() && !blank(text[j])) ++j;
        std::string url(text.substr(i, j - i));
        // A comma ends a candidate without descriptors.
        bool ended = false;
        while (!url.empty() && url.back() == ',') {
            url.pop_back();
            ended = true;
        }
        std::size_t k = j;
        if (!ended) k = std::min(text.find(',', j), text.size());
        const std::string descriptor(trim_blanks(text.substr(j, k - j)));
        i = k;
        if (url.empty()) continue;
        double w = -1, x = 1;
        if (descriptor.size() > 1) {
            const double value = std::atof(descriptor.c_str());
            if (lower_ascii(descriptor.back()) == 'w') w = value;
            if (lower_ascii(descriptor.back()) == 'x') x = value;
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

bool has_token(std::string_view list, std::string_view token) {
    const std::string low = lower_ascii(list);
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

// Extensions of addresses that run a script: what they return is told by
// the response, so they may name an image.
bool script_extension(std::string_view ext) {
    static constexpr std::array<std::string_view, 7> scripts = {"php", "asp", "aspx", "jsp",
                                                                "cgi", "pl",  "py"};
    return std::find(scripts.begin(), scripts.end(), lower_ascii(ext)) != scripts.end();
}

// One scan's finds, put in the lists by the rules of the described scan and,
// for modern markup, those of what a browser shows.
class PageScan {
  public:
    PageScan(std::string_view page, const FilterTable& include, const FilterTable& exclude,
             List& images, List& pages, Counters& counters, const ImageChoice& choice,
             ScanNotes* notes)
        : page_(page),
          base_(page),
          include_(include),
          exclude_(exclude),
          images_(images),
          pages_(pages),
          counters_(counters),
          choice_(choice),
          notes_(notes),
          images_listed_(notes != nullptr ? notes->images_listed : own_images_listed_),
          pages_listed_(notes != nullptr ? notes->pages_listed : own_pages_listed_) {}

    // Links resolve against it from now on (a base element).
    void set_base(std::string base) { base_ = std::move(base); }

    // A src= value of the described scan: an image or a page by its ending.
    void src(std::string_view raw, bool decode = true) {
        const std::string v = link_of(raw, decode);
        if (v.empty()) return;
        if (image_value(v, choice_)) {
            if (image_retenue(image_name(v, choice_), include_, exclude_)) add_image(v);
        } else if (ends_with_nocase(v, ".php") || ends_with_nocase(v, ".htm") ||
                   ends_with_nocase(v, ".html")) {
            add_page(v);
        }
    }

    // An href= value of the described scan: an image by its ending, else a page.
    void href(std::string_view raw, bool decode = true) {
        const std::string v = link_of(raw, decode);
        if (v.find("mailto:") != std::string::npos || v.find(".cgi") != std::string::npos) return;
        if (v.empty()) return;
        if (image_value(v, choice_)) {
            if (image_retenue(image_name(v, choice_), include_, exclude_)) add_image(v);
        } else if (!ends_with_nocase(v, ".exe") && !ends_with_nocase(v, ".pdf") &&
                   !ends_with_nocase(v, ".wma")) {
            add_page(v);
        }
    }

    // An address that modern markup shows as an image. One without an image
    // extension, or with a script's, is named by the response's type once
    // fetched: taken when the filters take its name under one of the task's
    // kinds. `named_kind`: only an address whose extension is a kind taken.
    void image(std::string_view value, bool named_kind = false) {
        const std::string v = link_of(value, false);
        if (v.empty()) return;
        const std::string_view ext = extension_of(v);
        const std::string name = image_name(v, choice_);
        bool taken = false;
        if (known_kind(ext)) {
            taken = takes_kind(choice_, ext) && image_retenue(name, include_, exclude_);
        } else if (!named_kind && (ext.empty() || script_extension(ext))) {
            for (std::string_view k : ImageKinds)
                if (takes_kind(choice_, k))
                    taken = taken || image_retenue(name + "." + std::string(k), include_, exclude_);
        }
        if (taken) add_image(v);
    }

    // The images of a CSS text, and with `imports` its imported style sheets.
    void css(std::string_view text, bool imports) {
        read_css(text, stop(), [&](std::string_view address, bool import) {
            if (!import)
                image(address);
            else if (imports)
                style_sheet(address);
        });
    }

    // A style sheet of the page's site, read once in the run.
    void style_sheet(std::string_view value) {
        if (notes_ == nullptr) return;
        const std::string v = link_of(value, false);
        if (v.empty()) return;
        const std::optional<std::string> a = resolved(v);
        if (!a || autre_site(page_, *a)) return;
        if (notes_->style_sheets_named.size() >= MaxStyleSheets) return;
        if (notes_->style_sheets_named.insert(*a).second) notes_->style_sheets.push_back(*a);
    }

    ScanNotes* notes() const { return notes_; }
    std::stop_token stop() const { return notes_ != nullptr ? notes_->stop : std::stop_token{}; }
    std::string_view base() const { return base_; }

  private:
    // The absolute address of a value; none when it resolves to nothing, so
    // no list ever holds an empty address, or would be longer than an address
    // may be (then noted).
    std::optional<std::string> resolved(std::string_view v) {
        std::string a = url_absolue(base_, v);
        if (!a.empty()) return a;
        if (v.size() + base_.size() > MaxAddressLength) note_too_long(notes_, page_, v);
        return std::nullopt;
    }

    // The image list holds each address once.
    void add_image(std::string_view v) {
        const std::optional<std::string> a = resolved(v);
        if (!a || !room_for(counters_[0], images_)) return;
        std::string clean = sans_retours(*a);
        if (images_listed_.listed(clean, images_, counters_[0])) return;
        ++counters_[0];
        images_[static_cast<std::size_t>(counters_[0])] = std::move(clean);
    }

    void add_page(std::string_view v) {
        const std::optional<std::string> a = resolved(v);
        if (!a || autre_site(page_, *a)) return;
        if (!room_for(counters_[1], pages_) || pages_listed_.listed(*a, pages_, counters_[1]))
            return;
        ++counters_[1];
        pages_[static_cast<std::size_t>(counters_[1])] = *a;
    }

    std::string_view page_;
    std::string base_;
    const FilterTable& include_;
    const FilterTable& exclude_;
    List& images_;
    List& pages_;
    Counters& counters_;
    const ImageChoice& choice_;
    ScanNotes* notes_;
    // Without a run's notes, this scan's own.
    ListIndex own_images_listed_, own_pages_listed_;
    ListIndex& images_listed_;
    ListIndex& pages_listed_;
};

// The rels of a link element that name an image to take.
bool image_rel(std::string_view rel, const std::string* as) {
    for (std::string_view r :
         {"icon", "apple-touch-icon", "apple-touch-icon-precomposed", "image_src"})
        if (has_token(rel, r)) return true;
    return has_token(rel, "preload") && as != nullptr && has_token(*as, "image");
}

bool social_image(std::string_view property) {
    for (std::string_view p : {"og:image", "og:image:url", "og:image:secure_url", "twitter:image"})
        if (has_token(property, p)) return true;
    return false;
}

// A page read as a browser reads it: only real elements and attributes.
void scan_modern(std::string_view text, PageScan& scan, const ImageChoice& c) {
    bool based = false;
    read_markup(text, scan.stop(), [&](const Element& e) {
        const std::string& tag = e.tag;
        if (tag == "base") {
            // The first base element with an href, whatever its place.
            const std::string* href = e.value("href");
            if (based || href == nullptr) return;
            based = true;
            const std::string v = link_of(*href, false);
            if (std::string a = url_absolue(scan.base(), v); !v.empty() && !a.empty())
                scan.set_base(std::move(a));
            return;
        }
        for (const auto& [name, value] : e.attributes) {
            if (name == "srcset" || name == "data-srcset") {
                for (const std::string& url : srcset_candidates(value, c.srcset_all))
                    scan.image(url);
            } else if (name == "data-src" || name == "data-original" || name == "data-lazy-src" ||
                       name == "background" || name == "poster") {
                scan.image(value);
            } else if (name == "style") {
                scan.css(value, false);
            } else if (name == "src") {
                if (tag == "frame" || tag == "iframe") {
                    scan.src(value, false);
                } else if (tag == "embed") {
                    scan.image(value, true);
                } else if (tag != "input") {
                    scan.image(value);
                } else if (const std::string* type = e.value("type");
                           type != nullptr && has_token(*type, "image")) {
                    scan.image(value);
                }
            } else if (name == "data") {
                scan.image(value, true);
            } else if (name == "href" && tag != "link") {
                scan.href(value, false);
            } else if (name == "href") {
                const std::string* rel = e.value("rel");
                if (rel != nullptr && has_token(*rel, "stylesheet") &&
                    !has_token(*rel, "alternate"))
                    scan.style_sheet(value);
                else if (rel != nullptr && image_rel(*rel, e.value("as")))
                    scan.image(value);
            } else if (name == "content") {
                const std::string* property = e.value("property");
                if (property == nullptr) property = e.value("name");
                if (property != nullptr && social_image(*property)) scan.image(value);
            }
        }
        if (tag == "style") scan.css(e.css, true);
    });
}

}  // namespace

std::string sans_retours(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (c != '\r' && c != '\n') out.push_back(c);
    return out;
}

bool ListIndex::listed(std::string_view text, const List& list, int n) {
    const std::size_t last = std::min<std::size_t>(n > 0 ? static_cast<std::size_t>(n) : 0,
                                                   list.empty() ? 0 : list.size() - 1);
    if (&list != list_ || last < indexed_) {
        list_ = &list;
        indexed_ = 0;
        slots_.clear();
    }
    const std::hash<std::string_view> hash;
    for (; indexed_ < last; ++indexed_) slots_.emplace(hash(list[indexed_ + 1]), indexed_ + 1);
    for (auto [at, end] = slots_.equal_range(hash(text)); at != end; ++at)
        if (list[at->second] == text) return true;
    return false;
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
                    const ImageChoice& choice, ScanNotes* notes) {
    PageScan scan(base, include, exclude, images, pages, counters, choice, notes);
    if (choice.modern) {
        scan_modern(text, scan, choice);
        return;
    }
    const std::string lowered = lower_ascii(text);
    scan_attribute(text, lowered, "src=", base, notes, [&](std::string_view v) { scan.src(v); });
    scan_attribute(text, lowered, "href=", base, notes, [&](std::string_view v) { scan.href(v); });
}

void scan_style_sheet(std::string_view css, std::string_view address, const FilterTable& include,
                      const FilterTable& exclude, List& images, Counters& counters,
                      const ImageChoice& choice, ScanNotes& notes) {
    List no_pages;  // a style sheet names no page
    PageScan scan(address, include, exclude, images, no_pages, counters, choice, &notes);
    scan.css(css, true);
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
                  const ImageChoice& choice, ScanNotes* notes) {
    try {
        if (!r.ok) return -1;
        if (r.not_a_page) return 1;  // an image or a file: nothing to scan
        // Links mean what they mean on the page actually served, after redirects.
        const std::string base = r.final_url.empty() ? std::string(trim_blanks(page)) : r.final_url;
        scan_page_text(r.body, base, include, exclude, images, pages, counters, choice, notes);
        return 1;
    } catch (const std::bad_alloc&) {
        throw;  // ends the run
    } catch (...) {
        return -1;
    }
}

}  // namespace psf::m_psf
