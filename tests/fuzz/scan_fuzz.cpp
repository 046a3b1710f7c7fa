// The page scan on a fetched text. The input's first line is the address the
// links resolve against, the second one filter row "include|type|exclude|type"
// and optionally "|images|pages", the counts the lists start with (so the
// limit of the lists is reached), the rest the page text.

#include <set>

#include "engine/m_psf.h"
#include "fuzz/fuzz_support.h"

using namespace psf::m_psf;
using namespace psf::fuzz;

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
    return 0;
}
