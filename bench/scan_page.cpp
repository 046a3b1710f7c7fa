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

std::string repeated(std::string_view unit, std::size_t size, std::string head = {}) {
    std::string page = std::move(head);
    page.reserve(size + unit.size());
    while (page.size() < size) page += unit;
    return page;
}

// Pages built to cost a scan the most per byte (bench/hostile serves the same).
const std::vector<std::pair<std::string, std::function<std::string(std::size_t)>>> WorstCases = {
    {"unclosed url(", [](std::size_t n) { return repeated("url(", n, "<style>"); }},
    {"url( in attributes", [](std::size_t n) { return repeated("<p style='background:url(x", n); }},
    {"unclosed quotes", [](std::size_t n) { return repeated("<img src=\"x", n); }},
    {"src= without value", [](std::size_t n) { return repeated("<img src= ", n); }},
    {"unfinished links", [](std::size_t n) { return repeated("<a href=\"", n); }},
    {"nested tags", [](std::size_t n) { return repeated("<div style=\"a:b\">", n); }},
    {"nested SVG and HTML",
     [](std::size_t n) { return repeated("<svg><desc><img src=a.png><math><mi>", n); }},
    {"script states", [](std::size_t n) { return repeated("<script><!--<script>", n); }},
    {"attributes",
     [](std::size_t n) { return repeated(" data-a=1 src=a.gif style=x", n, "<img"); }},
    {"& without ;",
     [](std::size_t n) { return repeated("<img src='" + std::string(8000, '&') + ".gif'>", n); }},
    {"&amp without ;", [](std::size_t n) { return repeated("<a href='/x?&amp&lt&#38", n); }},
    {"repeated links",
     [](std::size_t n) {
         std::string head;
         for (int i = 0; i < 9000; ++i) head += "<a href='p" + std::to_string(i) + ".htm'>";
         return repeated("<a href='p8999.htm'>", n, head);
     }},
};

// Every scan starts with the page out of the processor's caches, as a page
// just fetched is: a small page would otherwise be read from them alone.
void evict_caches() {
    static std::vector<char> scratch(64 * MB);
    for (std::size_t i = 0; i < scratch.size(); i += 64) ++scratch[i];
}

double seconds_for(const std::string& page, const ImageChoice& choice) {
    double best = 1e9;
    for (int run = 0; run < 5; ++run) {
        CrawlState st;
        st.PageList[1] = "http://h/doc/index.html";
        Counters c{0, 1};
        evict_caches();
        const auto from = std::chrono::steady_clock::now();
        scan_page_text(page, st.PageList[1], {}, {}, st.ImageList, st.PageList, c, choice);
        best = std::min(
            best, std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count());
        if (best > 2) break;  // slow enough to tell once
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
    for (const auto& [kind, make] : WorstCases) {
        for (const bool is_modern : {false, true}) {
            double t[3];
            int k = 0;
            for (const std::size_t size : {1 * MB, 4 * MB, 16 * MB})
                t[k++] = seconds_for(make(size), is_modern ? modern : ImageChoice{});
            std::printf("%-20s %-9s %8.4fs %8.4fs %8.4fs  ratio %5.1f\n", kind.c_str(),
                        is_modern ? "modern" : "described", t[0], t[1], t[2],
                        t[2] / std::max(t[0], 1e-6));
        }
    }
    return 0;
}
