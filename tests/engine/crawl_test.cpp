#include <gtest/gtest.h>

#include "engine/m_psf.h"
#include "support/fake_transfer.h"

using namespace psf::m_psf;
using psf::test::FakeTransfer;

namespace {

const std::string Page = "http://h/a/p.htm";

struct Scan {
    CrawlState st;
    Counters c{0, 1};
    Scan() { st.PageList[1] = Page; }
    void run(const std::string& text, const FilterTable& inc = {}, const FilterTable& exc = {},
             const std::string& base = Page) {
        scan_page_text(text, base, inc, exc, st.ImageList, st.PageList, c);
    }
    std::vector<std::string> images() const {
        return {st.ImageList.begin() + 1, st.ImageList.begin() + 1 + c[0]};
    }
    std::vector<std::string> pages() const {  // pages found beyond the start page
        return {st.PageList.begin() + 2, st.PageList.begin() + 1 + c[1]};
    }
};

// Long enough tail so that no value ends the pass for lack of text.
const std::string Tail = " ................................";

struct ScanCase {
    const char* name;
    std::string text;
    std::vector<std::string> images;
    std::vector<std::string> pages;
};

TEST(CrawlScan, ValuesImagesAndPages) {
    const std::string q100(95, 'q');  // with ".gif" a 99-character value
    const std::string q101(96, 'q');
    const std::vector<ScanCase> cases = {
        {"single quotes", "<img src='a.gif'>" + Tail, {"http://h/a/a.gif"}, {}},
        {"double quotes", "<img src=\"a.gif\">" + Tail, {"http://h/a/a.gif"}, {}},
        {"unquoted then >", "<img src=a.gif>" + Tail, {"http://h/a/a.gif"}, {}},
        {"unquoted then blank", "<img src=a.gif alt=x>" + Tail, {"http://h/a/a.gif"}, {}},
        {"capitals found and lower-cased for the test",
         "<IMG SRC='Photo.GIF'>" + Tail,
         {"http://h/a/Photo.GIF"},
         {}},
        {"tail of a longer name", "<img data-src='d.jpg'>" + Tail, {"http://h/a/d.jpg"}, {}},
        {"blank before equals not found", "<img src ='a.gif'>" + Tail, {}, {}},
        {"empty quoted value", "<img src=''> <img src='b.gif'>" + Tail, {"http://h/a/b.gif"}, {}},
        {"query after the extension ignored", "<img src='a.gif?v=2'>" + Tail, {}, {}},
        {"99-character quoted value kept",
         "<img src='" + q100 + ".gif'>" + Tail,
         {"http://h/a/" + q100 + ".gif"},
         {}},
        {"100-character quoted value dropped", "<img src='" + q101 + ".gif'>" + Tail, {}, {}},
        {"src images listed once",
         "<img src=x.jpeg> <img src=x.jpeg>" + Tail,
         {"http://h/a/x.jpeg"},
         {}},
        {"src page of the same site", "<frame src='f.html'>" + Tail, {}, {"http://h/a/f.html"}},
        {"src script ignored", "<script src='s.js'></script>" + Tail, {}, {}},
        {"href image deduplicated",
         "<a href=i.gif>x</a><a href='i.gif'>" + Tail,
         {"http://h/a/i.gif"},
         {}},
        {"href fragment cut", "<a href='page.htm#top'>" + Tail, {}, {"http://h/a/page.htm"}},
        {"href starting with # dropped", "<a href='#top'>" + Tail, {}, {}},
        {"mailto dropped", "<a href='mailto:x@h'>" + Tail, {}, {}},
        {"other schemes neither followed nor fetched",
         "<a href='MAILTO:x@h'><a href='ftp://o/x.htm'><a href='news:c.x'><a href=javascript:go()>"
         "<a href='chrome://settings'><img src='data:image/gif;base64,R0lG.gif'>" +
             Tail,
         {},
         {}},
        {"character references decoded",
         "<a href='t.php?f=4&amp;t=25405'><img src='x&#38;y&#x26;z&sol;w.gif'><a "
         "href='u&bogus;.htm'>" +
             Tail,
         {"http://h/a/x&y&z/w.gif"},
         {"http://h/a/t.php?f=4&t=25405", "http://h/a/u&bogus;.htm"}},
        {"dot segments removed",
         "<a href='./b/../c/./d.htm'><img src='../i/./x.gif'>" + Tail,
         {"http://h/i/x.gif"},
         {"http://h/a/c/d.htm"}},
        {"one page however spelled",
         "<a href=x.htm><a href='./x.htm#top'><a href='b/../x.htm'>" + Tail,
         {},
         {"http://h/a/x.htm"}},
        {"fragment of an image dropped", "<img src='x.gif#f'>" + Tail, {"http://h/a/x.gif"}, {}},
        {"blanks around a value trimmed",
         "<img src=' a.gif '><a href=\"\n x.htm\t\">" + Tail,
         {"http://h/a/a.gif"},
         {"http://h/a/x.htm"}},
        {"cgi dropped", "<a href='/cgi-bin/show.cgi?img=a.gif'>" + Tail, {}, {}},
        {"style sheet followed as a page", "<link href='a.css'>" + Tail, {}, {"http://h/a/a.css"}},
        {"pdf ignored", "<a href='doc.pdf'>" + Tail, {}, {}},
        {"page listed once", "<a href=x.htm>1</a><a href=x.htm>" + Tail, {}, {"http://h/a/x.htm"}},
        {"case difference lists twice",
         "<a href=x.htm>1</a><a href=X.htm>" + Tail,
         {},
         {"http://h/a/x.htm", "http://h/a/X.htm"}},
        {"other host: image taken, page not",
         "<img src='http://o/i.gif'><a href='http://o/p.htm'>" + Tail,
         {"http://o/i.gif"},
         {}},
        {"same host in capitals is another site", "<a href='http://H/p.htm'>" + Tail, {}, {}},
        {"line breaks removed from images only",
         "<img src='a\r\nb.gif'>" + Tail,
         {"http://h/a/ab.gif"},
         {}},
        {"ten characters after the name's start end the pass", "xx href=a.htm>", {}, {}},
        {"eleven characters are enough", "xx href=ab.htm>", {}, {"http://h/a/ab.htm"}},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        Scan s;
        s.run(tc.text);
        EXPECT_EQ(s.images(), tc.images);
        EXPECT_EQ(s.pages(), tc.pages);
    }
}

TEST(CrawlScan, ShortPageEndsSourcePassButLinkPassStillRuns) {
    Scan s;
    s.run("<a href='x.htm'>....... src=a.gif");
    EXPECT_TRUE(s.images().empty());
    EXPECT_EQ(s.pages(), std::vector<std::string>{"http://h/a/x.htm"});
}

TEST(CrawlScan, DroppedValueResumesFiveCharactersOn) {
    // The long value is dropped; the search resumes inside it and finds the inner src.
    Scan s;
    s.run("<img src='" + std::string(60, 'x') + " src=in.gif " + std::string(40, 'x') + ".gif'>" +
          Tail);
    EXPECT_EQ(s.images(), std::vector<std::string>{"http://h/a/in.gif"});
}

TEST(CrawlScan, FiltersApplyToImageNames) {
    FilterTable inc{}, exc{};
    inc[0][0] = "keep*";
    inc[0][2] = "*";
    exc[0][0] = "*2";
    exc[0][2] = "gif";
    Scan s;
    s.run("<img src=keep1.gif><img src=keep2.gif><img src=other.gif><a href=keep3.jpg>" + Tail, inc,
          exc);
    EXPECT_EQ(s.images(),
              (std::vector<std::string>{"http://h/a/keep1.gif", "http://h/a/keep3.jpg"}));
}

TEST(CrawlScan, FullListsDropFurtherEntries) {
    Scan s;
    s.c = {ListLimit, ListLimit};
    s.run("<img src=a.gif><a href=q.htm>" + Tail);
    EXPECT_EQ(s.c[0], ListLimit);
    EXPECT_EQ(s.c[1], ListLimit);
    EXPECT_TRUE(s.st.ImageList[ListLimit + 1].empty());
}

TEST(CrawlScan, LargePageScannedToItsEnd) {
    // Far beyond 16-bit positions: the last image is still found.
    Scan s;
    s.run(std::string(100000, ' ') + "<img src=last.gif>" + Tail);
    EXPECT_EQ(s.images(), std::vector<std::string>{"http://h/a/last.gif"});
}

TEST(CrawlAnalyse, FailedFetchAppendsNothing) {
    FakeTransfer inet;
    CrawlState st;
    Counters c{0, 1};
    EXPECT_EQ(analyse_page(inet, "http://h/none.htm", {}, {}, st.ImageList, st.PageList, c), -1);
    EXPECT_EQ(c, (Counters{0, 1}));
}

TEST(CrawlAnalyse, ErrorStatusPageIsScannedAndAddressTrimmed) {
    FakeTransfer inet;
    inet.add("http://h/p.htm", "<img src='x.gif'>" + Tail, 404);
    CrawlState st;
    Counters c{0, 1};
    EXPECT_EQ(analyse_page(inet, "  http://h/p.htm ", {}, {}, st.ImageList, st.PageList, c), 1);
    EXPECT_EQ(inet.fetched, std::vector<std::string>{"http://h/p.htm"});
    EXPECT_EQ(c[0], 1);
    EXPECT_EQ(st.ImageList[1], "http://h/x.gif");
}

TEST(CrawlAnalyse, LinksResolveAgainstTheAddressAfterRedirects) {
    FakeTransfer inet;
    inet.add("http://h/gallery", "<img src='x.gif'><a href='next.htm'>" + Tail, 200,
             "https://h/gallery/");
    CrawlState st;
    Counters c{0, 1};
    st.PageList[1] = "http://h/gallery";
    analyse_page(inet, "http://h/gallery", {}, {}, st.ImageList, st.PageList, c);
    EXPECT_EQ(st.ImageList[1], "https://h/gallery/x.gif");
    ASSERT_EQ(c[1], 2);
    EXPECT_EQ(st.PageList[2], "https://h/gallery/next.htm");
}

TEST(CrawlLists, DejaListeAndSansRetours) {
    List l(5);
    l[1] = "a";
    l[2] = "b";
    EXPECT_TRUE(deja_liste("b", l, 2));
    EXPECT_FALSE(deja_liste("b", l, 1));
    EXPECT_FALSE(deja_liste("B", l, 2));
    EXPECT_FALSE(deja_liste("", l, 0));
    EXPECT_FALSE(deja_liste("a", l, -3));
    EXPECT_FALSE(deja_liste("x", l, 100));  // a count beyond the list is bounded
    EXPECT_EQ(sans_retours("a\r\nb\nc\r"), "abc");
}

}  // namespace
