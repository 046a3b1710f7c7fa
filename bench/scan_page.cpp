// The page scan on large pages, described and modern: seconds per scan (the
// best of several) and how the time grows with the page. Prints figures only.
//
//   picsifter-bench-scan [PAGE.html...]
//
// Without pages, an 8 MB page of documentation is made up; the worst cases
// (pages built to make a scan slow) are made up at 1, 4 and 16 MB either way.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "engine/m_psf.h"

using namespace psf::m_psf;

namespace {

constexpr std::size_t MB = 1024 * 1024;

// Text, links, images, a code listing that shows markup, a style block.
std::string documentation_page(std::size_t size) {
    std::string page =
        "<!DOCTYPE html><html><head><title>Manual</title>"
        "<link rel=stylesheet href=style.css><style>.n{background:url(n.png)}</style>"
        "</head><body>\n";
    for (int i = 0; page.size() < size; ++i) {
        const std::string n = std::to_string(i);
        page += "<h2 id=s" + n + "><a href=\"#s" + n + "\">Section " + n +
                "</a></h2>\n<p>Some words about the section, with <code>code</code> and "
                "<em>emphasis</em>; see <a href=\"part" +
                n + ".html\">part " + n + "</a> &amp; <a href=\"../other/x" + n +
                ".htm#top\">more</a>.</p>\n<img src=\"images/figure-" + n +
                ".png\" alt=\"figure\"><img src=\"images/icon" + std::to_string(i % 40) +
                ".gif\">\n<pre><span class=k>const</span> <span class=n>page</span> = "
                "&lt;img src=\"shown" +
                n + ".gif\"&gt;;</pre>\n<script>var s = '<img src=\"js" + n +
                ".gif\">';</script>\n<!-- <img src=\"old.gif\"> -->\n";
    }
    return page + "</body></html>\n";
}

// Pages built to cost a scan the most per byte.
std::string worst_case(const std::string& kind, std::size_t size) {
    const std::string unit = kind == "unfinished values" ? "<img src=\"x"
                             : kind == "nested tags"     ? "<div style=\"a:b\">"
                             : kind == "attributes"      ? " data-a=1 src=a.gif style=x"
                                                         : "<a href=\"";
    std::string page = kind == "attributes" ? "<img" : "";
    while (page.size() < size) page += unit;
    return page;
}

double seconds_for(const std::string& page, const ImageChoice& choice) {
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
        CrawlState st;
        st.PageList[1] = "http://h/doc/index.html";
        Counters c{0, 1};
        const auto from = std::chrono::steady_clock::now();
        scan_page_text(page, st.PageList[1], {}, {}, st.ImageList, st.PageList, c, choice);
        best = std::min(
            best, std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    ImageChoice modern;
    modern.modern = true;
    modern.kinds.assign(ImageKinds.begin(), ImageKinds.end());
    std::vector<std::pair<std::string, std::string>> pages;
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        std::ostringstream body;
        body << in.rdbuf();
        pages.emplace_back(argv[i], body.str());
    }
    if (pages.empty()) pages.emplace_back("made-up documentation", documentation_page(8 * MB));
    std::printf("%-32s %8s %10s %10s\n", "page", "MB", "described", "modern");
    for (const auto& [name, page] : pages)
        std::printf("%-32s %8.1f %9.3fs %9.3fs\n", name.c_str(),
                    static_cast<double>(page.size()) / MB, seconds_for(page, {}),
                    seconds_for(page, modern));

    std::printf("\nworst cases: seconds at 1, 4 and 16 MB, and 16 MB / 1 MB\n");
    for (const char* kind :
         {"unfinished values", "nested tags", "attributes", "unfinished links"}) {
        for (const bool is_modern : {false, true}) {
            double t[3];
            int k = 0;
            for (const std::size_t size : {1 * MB, 4 * MB, 16 * MB})
                t[k++] = seconds_for(worst_case(kind, size), is_modern ? modern : ImageChoice{});
            std::printf("%-18s %-9s %8.3fs %8.3fs %8.3fs  ratio %5.1f\n", kind,
                        is_modern ? "modern" : "described", t[0], t[1], t[2],
                        t[2] / std::max(t[0], 1e-6));
        }
    }
    return 0;
}
