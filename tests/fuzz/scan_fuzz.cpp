// The page scan on a fetched text. The input's first line is the address the
// links resolve against, the second one filter row "include|type|exclude|type"
// and optionally "|images|pages", the counts the lists start with (so the
// limit of the lists is reached), the rest the page text.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "engine/m_psf.h"
#include "fuzz/fuzz_support.h"

using namespace psf::m_psf;

namespace {

bool ends_with_nocase(std::string_view s, std::string_view suffix) {
    if (s.size() < suffix.size()) return false;
    for (std::size_t k = 0; k < suffix.size(); ++k) {
        char c = s[s.size() - suffix.size() + k];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != suffix[k]) return false;
    }
    return true;
}

FilterTable one_row(std::string_view name, std::string_view type) {
    FilterTable t;
    t[0][0] = std::string(name);
    t[0][2] = std::string(type);
    return t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto parts = psf::fuzz::split_lines(psf::fuzz::as_text(data, size), 3);
    const std::string_view base = parts[0];
    std::string_view cells = parts[1];
    std::string_view f[6];
    for (auto& c : f) {
        const std::size_t bar = cells.find('|');
        c = cells.substr(0, bar);
        cells = bar == std::string_view::npos ? std::string_view{} : cells.substr(bar + 1);
    }
    const FilterTable include = one_row(f[0], f[1]);
    const FilterTable exclude = one_row(f[2], f[3]);
    const std::string_view text = parts[2];

    // The lists live as long as the process, like the window's: stale slots
    // above the counts must never be read.
    static CrawlState state;
    state.PageList[1] = std::string(base);
    const auto start = [](std::string_view cell, int least) {
        const int n = psf::fuzz::small_number(cell);
        return static_cast<std::int16_t>(n < least ? least : n > ListLimit ? ListLimit : n);
    };
    const std::int16_t first_image = start(f[4], 0);
    const std::int16_t first_page = start(f[5], 1);
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
    const bool well_formed = psf::fuzz::well_formed_address(base);
    for (int i = first_image + 1; i <= counters[0]; ++i) {
        const std::string& image = state.ImageList[static_cast<std::size_t>(i)];
        FUZZ_CHECK(image.find_first_of("\r\n") == std::string::npos,
                   "image addresses hold no line breaks");
        if (!well_formed) continue;
        FUZZ_CHECK(ends_with_nocase(image, ".gif") || ends_with_nocase(image, ".jpg") ||
                       ends_with_nocase(image, ".jpeg"),
                   "an image address ends with an image type");
        const std::string_view head(image.data(), std::min<std::size_t>(image.size(), 8));
        FUZZ_CHECK(
            ends_with_nocase(head.substr(0, 7), "http://") || ends_with_nocase(head, "https://"),
            "an image address found on a page is absolute");
    }
    std::set<std::string_view> seen{state.PageList[1]};
    for (int i = first_page + 1; i <= counters[1]; ++i) {
        const std::string& page = state.PageList[static_cast<std::size_t>(i)];
        FUZZ_CHECK(seen.insert(page).second, "a page is listed once");
        if (i > first_page)
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
