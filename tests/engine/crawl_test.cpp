#include <gtest/gtest.h>

#include <iterator>
#include <sstream>

#include "engine/m_psf.h"
#include "support/fake_transfer.h"
#include "support/table.h"

using namespace psf::m_psf;
using psf::test::FakeTransfer;

namespace {

using Strings = std::vector<std::string>;
const std::string Page = "http://h/a/p.htm";
const std::string Tail = " ................................";

struct Scan {
    CrawlState st;
    Counters c{0, 1};
    Scan() { st.PageList[1] = Page; }
    void run(const std::string& text, const FilterTable& inc = {}, const FilterTable& exc = {},
             const ImageChoice& choice = {}) {
        scan_page_text(text, Page, inc, exc, st.ImageList, st.PageList, c, choice, &st.Notes);
    }
    Strings images() const { return {st.ImageList.begin() + 1, st.ImageList.begin() + 1 + c[0]}; }
    Strings pages() const { return {st.PageList.begin() + 2, st.PageList.begin() + 1 + c[1]}; }
};

Strings words(const std::string& s) {
    std::istringstream in(psf::test::repeats(s));
    return {std::istream_iterator<std::string>(in), {}};
}

TEST(CrawlScan, ValuesImagesAndPages) {
    for (const auto& r : psf::test::read_table("engine/scan.txt", 4)) {
        Scan s;
        s.run(psf::test::repeats(r[1]) + (r[0][0] == '+' ? Tail : ""));
        EXPECT_EQ(s.images(), words(r[2])) << r.where;
        EXPECT_EQ(s.pages(), words(r[3])) << r.where;
        EXPECT_EQ(s.st.Notes.too_long, r[0].size() > 1 ? std::stoi(r[0].substr(1)) : 0) << r.where;
    }
    Scan large;  // far beyond 16-bit positions
    large.run(std::string(100000, ' ') + "<img src=last.gif>" + Tail);
    EXPECT_EQ(large.images(), Strings{"http://h/a/last.gif"});
}

TEST(CrawlScan, ModernMarkupAndKinds) {
    for (const auto& r : psf::test::read_table("engine/modern.txt", 4)) {
        ImageChoice choice;
        if (r[0] == "all") choice.kinds.assign(ImageKinds.begin(), ImageKinds.end());
        choice.srcset_all = r[0] == "every";
        for (const bool modern : {false, true}) {
            choice.modern = modern;
            Scan s;
            s.run(psf::test::repeats(r[1]) + Tail, {}, {}, choice);
            EXPECT_EQ(s.images(), words(r[modern ? 3 : 2])) << r.where << (modern ? " modern" : "");
        }
    }
}

// A run's stop ends a long scan early, whatever holds it: values, tags, a
// style block or one long CSS value.
TEST(CrawlScan, LongScansHonourTheStop) {
    const auto times = [](const std::string& before, const std::string& after) {
        std::string out;
        for (int k = 0; k < 9000; ++k) out += before + std::to_string(k) + ".gif" + after;
        return out;
    };
    for (const auto& [page, modern] :
         {std::pair{times("<img src=i", ">"), false},
          {times("<img src=i", ">"), true},
          {"<style>" + times("b{background:url(i", ")}") + "</style>", true},
          {"<p style='background:image-set(" + times("\"i", "\" 1x,") + ")'>", true}}) {
        for (const bool stopped : {false, true}) {
            Scan s;
            std::stop_source source;
            if (stopped) source.request_stop();
            s.st.Notes.stop = source.get_token();
            s.run(page + Tail, {}, {}, ImageChoice{{}, modern, false});
            EXPECT_EQ(s.c[0] == 9000, !stopped) << page.substr(0, 30) << modern;
        }
    }
}

TEST(CrawlScan, FiltersAndFullLists) {
    FilterTable inc{}, exc{};
    inc[0] = {"keep*", "", "*"}, exc[0] = {"*2", "", "gif"};
    Scan s, kinds;
    s.run("<img src=keep1.gif><img src=keep2.gif><img src=other.gif><a href=keep3.jpg>" + Tail, inc,
          exc);
    EXPECT_EQ(s.images(), (Strings{"http://h/a/keep1.gif", "http://h/a/keep3.jpg"}));
    // "*" is any kind taken.
    kinds.run("<img src=keep.png><img src=keep.bmp><img src=other.png>" + Tail, inc, exc,
              ImageChoice{{"png"}, false, false});
    EXPECT_EQ(kinds.images(), Strings{"http://h/a/keep.png"});
    Scan full;
    full.c = {ListLimit, ListLimit};
    full.run("<img src=a.gif><a href=q.htm>" + Tail);
    EXPECT_EQ(full.c, (Counters{ListLimit, ListLimit}));
    EXPECT_TRUE(full.st.ImageList[ListLimit + 1].empty());
}

TEST(CrawlAnalyse, FetchStatusAndFinalAddress) {
    FakeTransfer inet;
    inet.add("http://h/p.htm", "<img src='x.gif'>" + Tail, 404);
    inet.add("http://h/gallery", "<img src='x.gif'><a href='next.htm'>" + Tail, 200,
             "https://h/gallery/");
    Scan s;
    // A failed fetch appends nothing.
    EXPECT_EQ(analyse_page(inet, "http://h/none.htm", {}, {}, s.st.ImageList, s.st.PageList, s.c),
              -1);
    EXPECT_EQ(s.c, (Counters{0, 1}));
    // An error page is scanned; the address is trimmed.
    EXPECT_EQ(analyse_page(inet, "  http://h/p.htm ", {}, {}, s.st.ImageList, s.st.PageList, s.c),
              1);
    EXPECT_EQ(inet.fetched.back(), "http://h/p.htm");
    // Links resolve against the address after redirects.
    analyse_page(inet, "http://h/gallery", {}, {}, s.st.ImageList, s.st.PageList, s.c);
    EXPECT_EQ(s.images(), (Strings{"http://h/x.gif", "https://h/gallery/x.gif"}));
    EXPECT_EQ(s.pages(), Strings{"https://h/gallery/next.htm"});
    // Links that resolve to nothing add nothing, not an empty address.
    inet.add("http://h/bare", "<img src='y.gif'><a href='n.htm'>" + Tail, 200, "h/bare");
    analyse_page(inet, "http://h/bare", {}, {}, s.st.ImageList, s.st.PageList, s.c);
    EXPECT_EQ(s.c, (Counters{2, 2}));
}

TEST(CrawlAnalyse, StyleSheetsOfTheSiteReadOnce) {
    FakeTransfer inet;
    inet.add(Page,
             "<link rel=stylesheet href=css/site.css><link rel=stylesheet href='http://o/x.css'>"
             "<style>@import 'css/site.css'; @import url(more.css);</style>" +
                 Tail);
    inet.add("http://h/a/css/site.css", "@import url('/deep.css'); b{background:url(../i/bg.gif)}");
    inet.add("http://h/a/more.css", ".m{background:url(\"m.jpg\")}");
    inet.add("http://h/deep.css", ".d{background:url(d.gif)}");
    inet.add("http://o/x.css", ".o{background:url(o.gif)}");
    Scan s;
    s.st.PagesFound = 1;
    scan_level(inet, s.st, 1, 1, {}, {}, nullptr, {}, ImageChoice{{}, true, false});
    s.c = {s.st.ImagesFound, s.st.PagesFound};
    EXPECT_EQ(s.images(), (Strings{"http://h/a/i/bg.gif", "http://h/a/m.jpg", "http://h/d.gif"}));
    EXPECT_EQ(inet.fetched, (Strings{Page, "http://h/a/css/site.css", "http://h/a/more.css",
                                     "http://h/deep.css"}));
    EXPECT_EQ(s.c[1], 1);
}

TEST(CrawlLists, DejaListeAndSansRetours) {
    const List l{"", "a", "b", "", ""};
    for (const auto& r : psf::test::read_table("engine/deja_liste.txt", 3))
        EXPECT_EQ(deja_liste(r[0], l, std::stoi(r[1])), r[2] == "1") << r.where;
    EXPECT_EQ(sans_retours("a\r\nb\nc\r"), "abc");
}

}  // namespace
