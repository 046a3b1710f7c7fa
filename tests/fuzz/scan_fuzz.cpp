// The page scan on a fetched text. The input's first line is the address the
// links resolve against, the second one filter row "include|type|exclude|type"
// and optionally "|images|pages", the counts the lists start with (so the
// limit of the lists is reached), the rest the page text. The text is also
// read as modern markup, and every image a full HTML parse of it shows must
// be among those that scan finds.

#include <gumbo.h>

#include <set>

#include "engine/m_psf.h"
#include "fuzz/fuzz_support.h"

using namespace psf::m_psf;
using namespace psf::fuzz;

namespace {

// The src of every img element of a full parse, in no order.
std::vector<std::string> parsed_images(std::string_view text) {
    std::vector<std::string> out;
    // Errors recorded: gumbo 0.10.1 reads "<img sr sr/c=x>" as src=x when not.
    const GumboOptions options = kGumboDefaultOptions;
    GumboOutput* parsed = gumbo_parse_with_options(&options, text.data(), text.size());
    std::vector<const GumboNode*> todo{parsed->document};
    while (!todo.empty()) {
        const GumboNode* node = todo.back();
        todo.pop_back();
        const GumboVector* children = nullptr;
        if (node->type == GUMBO_NODE_DOCUMENT) children = &node->v.document.children;
        if (node->type == GUMBO_NODE_TEMPLATE || node->type == GUMBO_NODE_ELEMENT) {
            const GumboElement& e = node->v.element;
            children = &e.children;
            if (e.tag == GUMBO_TAG_IMG && e.tag_namespace == GUMBO_NAMESPACE_HTML)
                if (const GumboAttribute* src = gumbo_get_attribute(&e.attributes, "src"))
                    out.emplace_back(src->value);
        }
        for (unsigned k = 0; children != nullptr && k < children->length; ++k)
            todo.push_back(static_cast<const GumboNode*>(children->data[k]));
    }
    gumbo_destroy_output(&options, parsed);
    return out;
}

// What the scan makes of a src value: blanks around it and the fragment go.
std::string link_value(std::string v) {
    const char* blanks = " \t\n\r\f";
    v.erase(0, v.find_first_not_of(blanks));
    v.erase(v.find_last_not_of(blanks) + 1);
    return v.substr(0, v.find('#'));
}

void check_modern(std::string_view base, std::string_view text) {
    static CrawlState state;
    state.PageList[1] = std::string(base);
    Counters counters{0, 1};
    ImageChoice modern;
    modern.modern = true;
    scan_page_text(text, base, {}, {}, state.ImageList, state.PageList, counters, modern);
    const std::set<std::string> found(state.ImageList.begin() + 1,
                                      state.ImageList.begin() + 1 + counters[0]);
    const bool well_formed = well_formed_address(base);
    for (const std::string& image : found) {
        FUZZ_CHECK(image.find_first_of("\r\n") == std::string::npos,
                   "modern: image addresses hold no line breaks");
        FUZZ_CHECK(!well_formed || has_nocase(image, "http://") || has_nocase(image, "https://"),
                   "modern: an image address found on a page is absolute");
    }
    std::set<std::string_view> seen{state.PageList[1]};
    for (int i = 2; i <= counters[1]; ++i) {
        const std::string& page = state.PageList[static_cast<std::size_t>(i)];
        FUZZ_CHECK(seen.insert(page).second, "modern: a page is listed once");
        FUZZ_CHECK(!autre_site(base, page), "modern: a listed page is on the page's site");
    }
    // A base element would change what the sources resolve against; the scan
    // reads a byte that is not UTF-8 as a character where a full parse puts a
    // replacement character; gumbo drops a NUL before an attribute's name.
    if (text.size() > 4096 || !well_formed) return;
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x80 || c == '\0') return;
    for (std::size_t at = 0; (at = text.find('<', at)) != text.npos; ++at)
        if (has_nocase(text.substr(at + 1), "base")) return;
    for (const std::string& src : parsed_images(text)) {
        const std::string v = link_value(src);
        if (v.empty() || has_other_scheme(v)) continue;
        const std::string_view path = std::string_view(v).substr(0, v.find('?'));
        if (!has_nocase(path, ".gif", true) && !has_nocase(path, ".jpg", true) &&
            !has_nocase(path, ".jpeg", true))
            continue;
        const std::string address = sans_retours(url_absolue(base, v));
        FUZZ_CHECK(address.empty() || found.count(address) != 0,
                   "modern: every image of a full parse is found");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto parts = split({reinterpret_cast<const char*>(data), size}, 3);
    const std::string_view base = parts[0], text = parts[2];
    const auto f = split(parts[1], 6, '|');
    const auto include = one_row<FilterTable>(f[0], f[1]);
    const auto exclude = one_row<FilterTable>(f[2], f[3]);

    // The lists live as long as the process, like the window's: stale slots
    // above the counts must never be read.
    static CrawlState state;
    state.PageList[1] = std::string(base);
    const auto first_image = static_cast<std::int16_t>(small_number(f[4], 0, ListLimit));
    const auto first_page = static_cast<std::int16_t>(small_number(f[5], 1, ListLimit));
    // Earlier pages of the run, all distinct; slots above a count go back to
    // these after each input.
    static int filled = 1;
    const auto earlier = [](int i) { return "\n#" + std::to_string(i); };
    for (; filled < first_page; ++filled)
        state.PageList[static_cast<std::size_t>(filled + 1)] = earlier(filled + 1);
    Counters counters{first_image, first_page};
    scan_page_text(text, base, include, exclude, state.ImageList, state.PageList, counters);

    FUZZ_CHECK(counters[0] >= first_image && counters[0] <= ListLimit,
               "image count grows within the limit");
    FUZZ_CHECK(counters[1] >= first_page && counters[1] <= ListLimit,
               "page count grows within the limit");
    const bool well_formed = well_formed_address(base);
    for (int i = first_image + 1; i <= counters[0]; ++i) {
        const std::string& image = state.ImageList[static_cast<std::size_t>(i)];
        FUZZ_CHECK(image.find_first_of("\r\n") == std::string::npos,
                   "image addresses hold no line breaks");
        if (!well_formed) continue;
        FUZZ_CHECK(has_nocase(image, ".gif", true) || has_nocase(image, ".jpg", true) ||
                       has_nocase(image, ".jpeg", true),
                   "an image address ends with an image type");
        FUZZ_CHECK(has_nocase(image, "http://") || has_nocase(image, "https://"),
                   "an image address found on a page is absolute");
    }
    std::set<std::string_view> seen{state.PageList[1]};
    for (int i = first_page + 1; i <= counters[1]; ++i) {
        const std::string& page = state.PageList[static_cast<std::size_t>(i)];
        FUZZ_CHECK(seen.insert(page).second, "a page is listed once");
        FUZZ_CHECK(!autre_site(base, page), "a listed page is on the page's site");
    }

    // A second scan of the same text finds no new page.
    const std::int16_t pages = counters[1];
    scan_page_text(text, base, include, exclude, state.ImageList, state.PageList, counters);
    FUZZ_CHECK(counters[1] == pages, "a page already listed is not listed again");
    for (int i = first_page + 1; i <= std::min<int>(pages, filled); ++i)
        state.PageList[static_cast<std::size_t>(i)] = earlier(i);

    check_modern(base, text);
    return 0;
}
