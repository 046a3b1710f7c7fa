// A linear pass follows the HTML tokenizer's states to find the real tags of
// a page, passing over text, comments, scripts and the other raw-text
// elements. The attributes that may name an address go to gumbo, which reads
// them as an HTML parser does: letter case, duplicates, character references.
// Gumbo's tree of a whole page would cost five times as long as the whole
// scan may, and grows with the square of the nesting depth; a document of
// the attributes alone is flat, and is parsed in pieces of bounded size.
#include "engine/markup.h"

#include <gumbo.h>

#include <array>
#include <cstdint>
#include <memory>

#include "platform/text.h"
#include "platform/transfer.h"

namespace psf::m_psf {

const std::string* Element::value(std::string_view name) const {
    for (const auto& [n, v] : attributes)
        if (n == name) return &v;
    return nullptr;
}

namespace {

constexpr auto npos = std::string_view::npos;

bool alpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The attributes that may name an address or say what one is.
constexpr std::array<std::string_view, 17> Names = {
    "srcset", "data-srcset", "data-src", "data-original", "data-lazy-src", "background",
    "style",  "src",         "poster",   "data",          "href",          "content",
    "rel",    "as",          "type",     "property",      "name"};
constexpr std::size_t Generic = 7;     // the first ones count on any element
constexpr std::size_t Addresses = 12;  // the first ones may hold an address

constexpr std::uint32_t bit(std::string_view name) {
    for (std::size_t k = 0; k < Names.size(); ++k)
        if (Names[k] == name) return std::uint32_t{1} << k;
    return 0;
}

// Which attributes count for a tag, as bits of Names.
std::uint32_t wanted(std::string_view tag, bool foreign) {
    constexpr std::uint32_t generic = (std::uint32_t{1} << Generic) - 1;
    if (tag == "a" || tag == "area" || tag == "base") return generic | bit("href");
    if (tag == "img" || (tag == "image" && !foreign) || tag == "embed" || tag == "frame" ||
        tag == "iframe")
        return generic | bit("src");
    if (tag == "link") return generic | bit("href") | bit("rel") | bit("as");
    if (tag == "meta") return generic | bit("content") | bit("property") | bit("name");
    if (tag == "input") return generic | bit("src") | bit("type");
    if (tag == "video") return generic | bit("poster");
    if (tag == "object") return generic | bit("data");
    return generic;
}

// The index in Names of an attribute's name, or Names.size().
std::size_t name_index(std::string_view name) {
    if (name.size() < 2 || name.size() > 13) return Names.size();
    for (std::size_t k = 0; k < Names.size(); ++k)
        if (equal_nocase(name, Names[k])) return k;
    return Names.size();
}

// Where raw text ends: "</" and the tag's name, then a blank, "/" or ">".
std::size_t end_tag_at(std::string_view t, std::size_t from, std::string_view name) {
    for (std::size_t i = from; (i = t.find("</", i)) != npos; i += 2) {
        const std::size_t after = i + 2 + name.size();
        if (after < t.size() && equal_nocase(t.substr(i + 2, name.size()), name) &&
            (blank(t[after]) || t[after] == '/' || t[after] == '>'))
            return i;
    }
    return npos;
}

// Where script data ends, with the states of "<!--" inside a script.
std::size_t script_end(std::string_view t, std::size_t from) {
    enum { Plain, Escaped, Double } state = Plain;
    auto tag_at = [&](std::size_t i, std::string_view prefix) {
        const std::size_t after = i + prefix.size() + 6;
        return after < t.size() && t.substr(i, prefix.size()) == prefix &&
               equal_nocase(t.substr(i + prefix.size(), 6), "script") &&
               (blank(t[after]) || t[after] == '/' || t[after] == '>');
    };
    for (std::size_t i = from; i < t.size(); ++i) {
        i = t.find_first_of("<-", i);
        if (i == npos) return npos;
        if (t[i] == '-') {
            if (state != Plain && t.substr(i, 3) == "-->") state = Plain;
        } else if (state == Plain) {
            if (tag_at(i, "</")) return i;
            if (t.substr(i, 4) == "<!--") {
                state = Escaped;
                i += 1;  // "<!-->" ends the escape at once
            }
        } else if (state == Escaped) {
            if (tag_at(i, "</")) return i;
            if (tag_at(i, "<")) state = Double;
        } else if (tag_at(i, "</")) {
            state = Escaped;
        }
    }
    return npos;
}

// Where a comment begun at `i` ("<!--") ends, just after it.
std::size_t comment_end(std::string_view t, std::size_t i) {
    if (t.substr(i + 4, 1) == ">") return i + 5;
    if (t.substr(i + 4, 2) == "->") return i + 6;
    for (std::size_t d = i + 4; (d = t.find("--", d)) != npos; ++d) {
        if (t.substr(d + 2, 1) == ">") return d + 3;
        if (t.substr(d + 2, 2) == "!>") return d + 4;
    }
    return npos;
}

constexpr std::array<std::string_view, 44> Breakouts = {
    "b",      "big",  "blockquote", "body",  "br",   "center", "code",    "dd",   "div",
    "dl",     "dt",   "em",         "embed", "h1",   "h2",     "h3",      "h4",   "h5",
    "h6",     "head", "hr",         "i",     "img",  "li",     "listing", "menu", "meta",
    "nobr",   "ol",   "p",          "pre",   "ruby", "s",      "small",   "span", "strong",
    "strike", "sub",  "sup",        "table", "tt",   "u",      "ul",      "var"};
constexpr std::array<std::string_view, 9> IntegrationPoints = {
    "foreignobject", "desc", "title", "mi", "mo", "mn", "ms", "mtext", "annotation-xml"};

// What a start tag does to the reading of what follows it.
enum class Kind { Plain, Foreign, Script, Style, RawText, PlainText };

Kind kind_of(std::string_view n) {
    switch (n.size()) {
        case 3:
            return n == "svg" ? Kind::Foreign : n == "xmp" ? Kind::RawText : Kind::Plain;
        case 4:
            return n == "math" ? Kind::Foreign : Kind::Plain;
        case 5:
            return n == "style" ? Kind::Style : n == "title" ? Kind::RawText : Kind::Plain;
        case 6:
            return n == "script" ? Kind::Script : n == "iframe" ? Kind::RawText : Kind::Plain;
        case 7:
            return n == "noembed" ? Kind::RawText : Kind::Plain;
        case 8:
            return n == "noframes" || n == "textarea" ? Kind::RawText : Kind::Plain;
        case 9:
            return n == "plaintext" ? Kind::PlainText : Kind::Plain;
        default:
            return Kind::Plain;
    }
}

template <std::size_t N>
bool one_of(std::string_view s, const std::array<std::string_view, N>& list) {
    for (std::string_view x : list)
        if (x == s) return true;
    return false;
}

// The length of the valid UTF-8 sequence at the start of `s`, 0 when there is none.
std::size_t utf8_length(std::string_view s) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(0);
    const std::size_t n = c < 0x80                 ? 1
                          : c >= 0xc2 && c <= 0xdf ? 2
                          : c >= 0xe0 && c <= 0xef ? 3
                          : c >= 0xf0 && c <= 0xf4 ? 4
                                                   : 0;
    if (n == 0 || s.size() < n) return 0;
    for (std::size_t k = 1; k < n; ++k)
        if ((b(k) & 0xc0) != 0x80) return 0;
    if ((c == 0xe0 && b(1) < 0xa0) || (c == 0xed && b(1) > 0x9f) || (c == 0xf0 && b(1) < 0x90) ||
        (c == 0xf4 && b(1) > 0x8f))
        return 0;  // overlong, a surrogate, or past U+10FFFF
    return n;
}

// Appends `raw`, each byte that is not UTF-8 written as the character of that
// number, as a browser reads a page in a one-byte encoding; the parser would
// make every such byte the same replacement character.
void append_text(std::string& out, std::string_view raw) {
    static constexpr char hex[] = "0123456789ABCDEF";
    while (!raw.empty()) {
        std::size_t n = 0;
        while (n < raw.size() && static_cast<unsigned char>(raw[n]) < 0x80) ++n;
        out.append(raw.substr(0, n));
        raw.remove_prefix(n);
        if (raw.empty()) return;
        if (const std::size_t k = utf8_length(raw); k > 0) {
            out.append(raw.substr(0, k));
            raw.remove_prefix(k);
            continue;
        }
        const auto c = static_cast<unsigned char>(raw[0]);
        out += "&#x";
        out += hex[c >> 4];
        out += hex[c & 0xf];
        out += ';';
        raw.remove_prefix(1);
    }
}

// One start or end tag as the tokenizer reads it.
struct Tag {
    std::string name;  // lower case
    bool end = false;
    bool self_closing = false;
    struct Attribute {
        std::size_t index;       // in Names
        std::string_view raw;    // as written: the name, then "=" and the value if any
        std::string_view value;  // as written, from past its opening quote
    };
    std::vector<Attribute> attributes;  // those of Names, each name once

    void clear() {
        name.clear();
        end = self_closing = false;
        attributes.clear();
    }
};

class Reader {
  public:
    Reader(std::string_view text, const std::stop_token& stop,
           const std::function<void(const Element&)>& on_element)
        : t_(text), stop_(stop), on_element_(on_element) {}

    // Hands on the first base element that has an href, if any.
    void deliver_base() {
        find_base_ = true;
        run();
        flush();
    }

    bool run() {
        foreign_.clear();
        while (i_ < t_.size()) {
            if ((++steps_ & 0xfff) == 0 && stop_.stop_requested()) return false;
            const std::size_t lt = t_.find('<', i_);
            if (lt == npos) break;
            i_ = lt;
            if (!step()) break;
            if (find_base_ && base_found_) return true;
            if (!find_base_ && document_.size() >= ChunkSize) flush();
        }
        if (!find_base_) flush();
        return !stop_.stop_requested();
    }

  private:
    static constexpr std::size_t ChunkSize = 256 * 1024;

    bool in_foreign() const { return !foreign_.empty() && foreign_.back() == 'f'; }

    // Moves past the markup at `i_` ("<"); false at the end of the text.
    bool step() {
        const std::string_view rest = t_.substr(i_);
        if (rest.size() >= 2 && alpha(rest[1])) {
            ++i_;
            tag_.clear();
            if (!read_tag(tag_)) return false;
            return start_tag(tag_);
        }
        if (rest.starts_with("<!--")) return skip_to(comment_end(t_, i_));
        if (rest.starts_with("<![CDATA[") && in_foreign()) {
            const std::size_t e = t_.find("]]>", i_ + 9);
            return skip_to(e == npos ? npos : e + 3);
        }
        if (rest.starts_with("<!") || rest.starts_with("<?")) return skip_past('>');
        if (rest.starts_with("</")) {
            if (rest.size() < 3) return false;
            if (rest[2] == '>') return skip_to(i_ + 3);
            if (!alpha(rest[2])) return skip_past('>');
            i_ += 2;
            tag_.clear();
            tag_.end = true;
            if (!read_tag(tag_)) return false;
            end_tag(tag_);
            return true;
        }
        ++i_;  // a "<" of the text
        return true;
    }

    bool skip_to(std::size_t at) {
        if (at == npos) return false;
        i_ = at;
        return true;
    }

    bool skip_past(char c) {
        const std::size_t at = t_.find(c, i_);
        return skip_to(at == npos ? npos : at + 1);
    }

    // Reads the tag whose name starts at `i_`; false when the text ends inside.
    bool read_tag(Tag& tag) {
        const std::size_t n = t_.size();
        std::size_t i = i_;
        while (i < n && !blank(t_[i]) && t_[i] != '/' && t_[i] != '>')
            tag.name.push_back(lower_ascii(t_[i++]));
        std::uint32_t seen = 0;
        for (;;) {
            while (i < n && (blank(t_[i]) || t_[i] == '/')) {
                if (t_[i] == '/' && i + 1 < n && t_[i + 1] == '>') tag.self_closing = true;
                ++i;
            }
            if (i >= n) return false;
            if (t_[i] == '>') {
                i_ = i + 1;
                return true;
            }
            const std::size_t from = i++;  // a first "=" belongs to the name
            while (i < n && !blank(t_[i]) && t_[i] != '/' && t_[i] != '>' && t_[i] != '=') ++i;
            const std::string_view name = t_.substr(from, i - from);
            std::size_t j = i, value = i;
            while (j < n && blank(t_[j])) ++j;
            if (j < n && t_[j] == '=') {
                ++j;
                while (j < n && blank(t_[j])) ++j;
                if (j >= n) return false;
                value = j;
                if (t_[j] == '"' || t_[j] == '\'') {
                    const std::size_t e = t_.find(t_[j], j + 1);
                    if (e == npos) return false;
                    i = e + 1;
                    ++value;
                } else {
                    while (j < n && !blank(t_[j]) && t_[j] != '>') ++j;
                    i = j;
                }
            }
            if (tag.end) continue;
            const std::size_t k = name_index(name);
            if (k == Names.size() || (seen >> k & 1) != 0) continue;
            seen |= std::uint32_t{1} << k;
            tag.attributes.push_back({k, t_.substr(from, i - from), t_.substr(value, i - value)});
        }
    }

    void end_tag(const Tag& tag) {
        if (foreign_.empty()) return;
        if (kind_of(tag.name) == Kind::Foreign) {
            while (!foreign_.empty()) {
                const char top = foreign_.back();
                foreign_.pop_back();
                if (top == 'f') break;
            }
        } else if (!foreign_.empty() && foreign_.back() == 'i' &&
                   one_of(tag.name, IntegrationPoints)) {
            foreign_.pop_back();
        }
    }

    bool start_tag(Tag& tag) {
        bool foreign = in_foreign();
        if (foreign && (one_of(tag.name, Breakouts) || tag.name == "font")) {
            while (!foreign_.empty() && foreign_.back() == 'f') foreign_.pop_back();
            foreign = in_foreign();
        }
        emit(tag, foreign);
        const Kind kind = kind_of(tag.name);
        if (foreign_.size() < MaxForeign && !tag.self_closing) {
            if (kind == Kind::Foreign)
                foreign_.push_back('f');
            else if (foreign && one_of(tag.name, IntegrationPoints))
                foreign_.push_back('i');
        }
        if (foreign || kind == Kind::Plain || kind == Kind::Foreign) return true;
        if (kind == Kind::PlainText) return false;
        if (kind == Kind::Script) return skip_to(script_end(t_, i_));
        const std::size_t e = end_tag_at(t_, i_, tag.name);
        if (kind == Kind::Style && !find_base_)
            items_.push_back({"style", false, t_.substr(i_, (e == npos ? t_.size() : e) - i_)});
        return skip_to(e);
    }

    // Adds the tag to the document gumbo reads when it may name an address.
    void emit(const Tag& tag, bool foreign) {
        if (tag.attributes.empty()) return;
        std::uint32_t w = wanted(tag.name, foreign);
        // A link to a place in the page names no address, whatever its references.
        for (const Tag::Attribute& a : tag.attributes)
            if (Names[a.index] == "href" && tag.name != "base" && a.value.starts_with('#'))
                w &= ~bit("href");
        bool address = false;
        for (const Tag::Attribute& a : tag.attributes)
            if ((w >> a.index & 1) != 0 && a.index < Addresses) address = true;
        if (!address) return;
        const bool base = tag.name == "base";
        if (find_base_ && !base) return;
        if (base) {
            bool href = false;
            for (const Tag::Attribute& a : tag.attributes) href = href || Names[a.index] == "href";
            if (find_base_ && !href) return;
            if (find_base_) base_found_ = true;
        }
        document_ += "<wbr";
        for (const Tag::Attribute& a : tag.attributes) {
            if ((w >> a.index & 1) == 0) continue;
            document_ += ' ';
            append_text(document_, a.raw);
        }
        document_ += '>';
        items_.push_back({tag.name, true, {}});
    }

    // Has gumbo read the attributes gathered so far, and hands on the elements.
    void flush() {
        if (items_.empty()) return;
        // Errors stay recorded: without them gumbo 0.10.1 joins the name of a
        // repeated attribute to the next one ("<img sr sr/c=x>" gets src=x).
        // Their memory is bounded by the size of a piece.
        const GumboOptions options = kGumboDefaultOptions;
        const std::unique_ptr<GumboOutput, std::function<void(GumboOutput*)>> out(
            gumbo_parse_with_options(&options, document_.data(), document_.size()),
            [&options](GumboOutput* o) { gumbo_destroy_output(&options, o); });
        const GumboVector* parsed = nullptr;
        const GumboVector& top = out->root->v.element.children;
        for (unsigned k = 0; k < top.length; ++k) {
            const auto* node = static_cast<const GumboNode*>(top.data[k]);
            if (node->type == GUMBO_NODE_ELEMENT && node->v.element.tag == GUMBO_TAG_BODY)
                parsed = &node->v.element.children;
        }
        unsigned next = 0;
        for (Item& item : items_) {
            Element e;
            e.tag = std::move(item.tag);
            e.css = item.css;
            if (item.parsed) {
                if (parsed == nullptr || next >= parsed->length) break;  // cannot happen
                const auto* node = static_cast<const GumboNode*>(parsed->data[next++]);
                const GumboVector& attributes = node->v.element.attributes;
                for (unsigned k = 0; k < attributes.length; ++k) {
                    const auto* a = static_cast<const GumboAttribute*>(attributes.data[k]);
                    e.attributes.emplace_back(a->name, a->value);
                }
            }
            on_element_(e);
        }
        items_.clear();
        document_.clear();
    }

    struct Item {
        std::string tag;
        bool parsed = false;  // its attributes are in document_
        std::string_view css;
    };

    static constexpr std::size_t MaxForeign = 1024;  // deeper SVG is read as its outer level

    std::string_view t_;
    std::size_t i_ = 0;
    Tag tag_;  // the tag being read, kept for its storage
    const std::stop_token& stop_;
    const std::function<void(const Element&)>& on_element_;
    std::string document_;
    std::vector<Item> items_;
    std::string foreign_;  // 'f': inside SVG or MathML; 'i': an HTML island in it
    bool find_base_ = false;
    bool base_found_ = false;
    unsigned steps_ = 0;
};

// CSS: a string from its opening quote at `i`, escapes undone; `i` ends past
// it. A line break ends a string too.
std::string css_string(std::string_view css, std::size_t& i) {
    const char q = css[i++];
    std::string out;
    while (i < css.size() && css[i] != q && css[i] != '\n') {
        if (css[i] == '\\' && i + 1 < css.size()) ++i;
        out.push_back(css[i++]);
    }
    if (i < css.size() && css[i] == q) ++i;
    return out;
}

void skip_css_blanks(std::string_view css, std::size_t& i) {
    for (;;) {
        while (i < css.size() && blank(css[i])) ++i;
        if (css.substr(i, 2) != "/*") return;
        const std::size_t e = css.find("*/", i + 2);
        i = e == npos ? css.size() : e + 2;
    }
}

// The value of url( at `i` (just past the parenthesis); `i` ends past it.
std::string css_url(std::string_view css, std::size_t& i) {
    skip_css_blanks(css, i);
    std::string out;
    if (i < css.size() && (css[i] == '"' || css[i] == '\'')) {
        out = css_string(css, i);
    } else {
        while (i < css.size() && css[i] != ')' && !blank(css[i])) {
            if (css[i] == '\\' && i + 1 < css.size()) ++i;
            // Past the longest address it is dropped anyway: no need to copy it all.
            if (out.size() <= MaxAddressLength) out.push_back(css[i]);
            ++i;
        }
    }
    const std::size_t close = css.find(')', i);
    i = close == npos ? css.size() : close + 1;
    return out;
}

bool ident_char(char c) {
    return alpha(c) || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           static_cast<unsigned char>(c) >= 0x80;
}

bool has_base_tag(std::string_view t) {
    for (std::size_t i = 0; (i = t.find('<', i)) != npos; ++i)
        if (equal_nocase(t.substr(i + 1, 4), "base")) return true;
    return false;
}

}  // namespace

bool read_markup(std::string_view page, const std::stop_token& stop,
                 const std::function<void(const Element&)>& on_element) {
    if (has_base_tag(page)) {
        Reader first(page, stop, on_element);
        first.deliver_base();
    }
    Reader reader(page, stop, on_element);
    return reader.run();
}

void read_css(std::string_view css, const std::stop_token& stop,
              const std::function<void(std::string_view address, bool import)>& on_reference) {
    std::size_t i = 0;
    unsigned steps = 0;
    while (i < css.size()) {
        if ((++steps & 0xfff) == 0 && stop.stop_requested()) return;
        const char c = css[i];
        if (c == '/' && css.substr(i, 2) == "/*") {
            const std::size_t e = css.find("*/", i + 2);
            i = e == npos ? css.size() : e + 2;
        } else if (c == '"' || c == '\'') {
            css_string(css, i);
        } else if (c == '\\') {
            i += 2;
        } else if (c == '@' || ident_char(c)) {
            const std::size_t from = i++;
            while (i < css.size() && ident_char(css[i])) ++i;
            const std::string_view word = css.substr(from, i - from);
            if (equal_nocase(word, "@font-face")) {
                // Its url() name fonts, some of them in SVG.
                const std::size_t close = css.find('}', i);
                i = close == npos ? css.size() : close + 1;
            } else if (equal_nocase(word, "@import")) {
                skip_css_blanks(css, i);
                if (i < css.size() && (css[i] == '"' || css[i] == '\'')) {
                    on_reference(css_string(css, i), true);
                } else if (equal_nocase(css.substr(i, 4), "url(")) {
                    i += 4;
                    on_reference(css_url(css, i), true);
                }
            } else if (i < css.size() && css[i] == '(') {
                ++i;
                if (equal_nocase(word, "url")) {
                    on_reference(css_url(css, i), false);
                } else if (equal_nocase(word, "image-set") ||
                           equal_nocase(word, "-webkit-image-set")) {
                    // Every candidate: strings and url() up to the closing
                    // parenthesis; type("image/avif") names no address.
                    while (i < css.size() && css[i] != ')') {
                        if ((++steps & 0xfff) == 0 && stop.stop_requested()) return;
                        if (css[i] == '"' || css[i] == '\'') {
                            on_reference(css_string(css, i), false);
                        } else if (ident_char(css[i])) {
                            const std::size_t at = i;
                            while (i < css.size() && ident_char(css[i])) ++i;
                            if (i >= css.size() || css[i] != '(') continue;
                            ++i;
                            if (equal_nocase(css.substr(at, i - at), "url(")) {
                                on_reference(css_url(css, i), false);
                            } else {
                                const std::size_t close = css.find(')', i);
                                i = close == npos ? css.size() : close + 1;
                            }
                        } else if (css.substr(i, 2) == "/*") {
                            skip_css_blanks(css, i);
                        } else {
                            ++i;
                        }
                    }
                }
            }
        } else {
            ++i;
        }
    }
}

}  // namespace psf::m_psf
