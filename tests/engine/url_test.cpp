#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/m_psf.h"

using namespace psf::m_psf;

namespace {

struct Case {
    const char* name;
    std::string in;
    std::string want;
};

template <typename F>
void run_table(const std::vector<Case>& rows, F f) {
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(f(r.in), r.want) << "input: \"" << r.in << "\"";
    }
}

const std::string P = "http://h/a/b/p.htm";

}  // namespace

TEST(UrlRacine, Table) {
    run_table(
        {
            {"path", "http://h/a/b.htm", "http://h/"},
            {"no path gets a slash", "http://h", "http://h/"},
            {"https", "https://h/x", "https://h/"},
            {"other scheme not checked", "ftp://h/x", "ftp://h/"},
            {"case kept", "HTTP://H/a", "HTTP://H/"},
            {"double slash after host", "http://h//x", "http://h/"},
            {"slash in query", "http://h?q=/x", "http://h?q=/"},
            {"no double slash", "h/a/b.htm/xyz", ""},
            {"empty", "", ""},
            {"six chars", "a//bcd", ""},
            {"seven chars, no path", "a//bcde", "a//bcde/"},
            {"only scheme", "http://", "http:///"},
            {"double slash at the end", "abcde//", "abcde///"},
            {"only slashes", "/////////", "///"},
            {"single slashes only", "/a/b/c/d", ""},
        },
        [](const std::string& s) { return racine_url(s); });
}

TEST(UrlRepertoire, Table) {
    run_table(
        {
            {"file in dir", "http://h/a/b.htm", "http://h/a/"},
            {"no path gets a slash", "http://h", "http://h/"},
            {"ends in slash", "http://h/a/", "http://h/a/"},
            {"slash in query counts", "http://h/p.php?x=/y", "http://h/p.php?x=/"},
            {"file at root", "http://h/a", "http://h/"},
            {"empty", "", ""},
            {"six chars", "http:/", ""},
            {"no double slash", "abcdefg", ""},
            {"ends in slash without double slash", "abc/def/", "abc/def/"},
            {"no double slash, inner slashes", "abc/def/g", ""},
            {"only scheme", "http://", "http://"},
            {"only slashes", "///////", "///////"},
            {"double slash late", "abc/de//fg", "abc/de//fg/"},
        },
        [](const std::string& s) { return repertoire_url(s); });
}

TEST(UrlNomFichier, Table) {
    run_table(
        {
            {"full address", "http://h/a/b/c.gif", "c.gif"},
            {"bare name", "c.gif", "c.gif"},
            {"prefix before colon", "x:c.gif", "c.gif"},
            {"ends in slash", "http://h/a/", ""},
            {"empty", "", ""},
            {"host only", "http://h", "h"},
            {"scheme only, no slash", "http:", ""},
            {"first colon only", "a:b:c", "b:c"},
            {"colon in an earlier part", "http://h/a:b/c:d.gif", "d.gif"},
            {"colon in query", "http://h/x.gif?a=b:c", "c"},
            {"slash", "/", ""},
            {"colon", ":", ""},
        },
        [](const std::string& s) { return nom_fichier(s); });
}

TEST(UrlCheminSite, Table) {
    run_table(
        {
            {"deep", "http://h/a/b/c.gif", "h/a/b/"},
            {"root file", "http://h/c.gif", "h/"},
            {"host only", "http://h", ""},
            {"dir", "http://h/a/", "h/a/"},
            {"slash in query", "https://h/p?x=/y", "h/p?x=/"},
            {"empty", "", ""},
            {"no double slash", "h/a/b", ""},
            {"no minimum length", "//h/", "h/"},
            {"only double slash", "//", ""},
            {"three slashes", "///", "/"},
            {"double slash at end", "http:x//", ""},
            {"user information left out", "http://u:p@h/a/b.gif", "h/a/"},
            {"at sign in the path kept", "http://h/a@b/c.gif", "h/a@b/"},
        },
        [](const std::string& s) { return chemin_site(s); });
}

TEST(UrlVersAntislash, Table) {
    run_table(
        {
            {"path", "h/a/b/", "h/a/b/"},
            {"empty", "", ""},
            {"only slashes", "///", "///"},
            {"backslash kept", "a\\b", "a\\b"},
            {"no slash", "abc", "abc"},
        },
        [](const std::string& s) { return vers_antislash(s); });
}

TEST(UrlAbsolue, AgainstDeepPage) {
    run_table(
        {
            {"plain", "x.gif", "http://h/a/b/x.gif"},
            {"one up", "../x.gif", "http://h/a/x.gif"},
            {"two up", "../../x.gif", "http://h/x.gif"},
            {"three up stops at root", "../../../x.gif", "http://h/x.gif"},
            {"four up stops at root", "../../../../x.gif", "http://h/x.gif"},
            {"five up stops at root", "../../../../../x.gif", "http://h/x.gif"},
            {"many up stops at root", "../../../../../../../../../x.gif", "http://h/x.gif"},
            {"up with nothing after", "../", "http://h/a/"},
            {"up then dot removed", ".././x.gif", "http://h/a/x.gif"},
            {"dot slash is the page's dir", "./x.gif", "http://h/a/b/x.gif"},
            {"dot slash then up", "./../x.gif", "http://h/a/x.gif"},
            {"root relative", "/img/x.gif", "http://h/img/x.gif"},
            {"slash alone", "/", "http://h/"},
            {"scheme relative", "//cdn/x.gif", "http://cdn/x.gif"},
            {"scheme relative, nothing after", "//", "http://"},
            {"absolute other host", "http://o/x.gif", "http://o/x.gif"},
            {"absolute https", "https://o/x.gif", "https://o/x.gif"},
            {"absolute trailing blanks", "http://o/x.gif  ", "http://o/x.gif"},
            {"absolute capitals", "HTTP://H/x.gif", "HTTP://H/x.gif"},
            {"absolute mixed case https", "Https://O/X.gif", "Https://O/X.gif"},
            {"absolute mixed case http", "hTtP://o/x", "hTtP://o/x"},
            {"leading blank makes absolute relative", " http://o/x.gif",
             "http://h/a/b/ http://o/x.gif"},
            {"leading blank stays inside", " x.gif", "http://h/a/b/ x.gif"},
            {"trailing blank trimmed", "x.gif   ", "http://h/a/b/x.gif"},
            {"leading blank before up", " ../x.gif", "http://h/a/b/ ../x.gif"},
            {"blank after up groups", "../ x.gif ", "http://h/a/ x.gif"},
            {"ftp appended", "ftp://o/x.gif", "http://h/a/b/ftp://o/x.gif"},
            {"mailto appended", "MAILTO:me@h", "http://h/a/b/MAILTO:me@h"},
            {"scheme without slashes", "http:/x", "http://h/a/b/http:/x"},
            {"inner up removed", "c/../x.gif", "http://h/a/b/x.gif"},
            {"inner dot removed", "c/./x.gif", "http://h/a/b/c/x.gif"},
            {"dots in an absolute link", "http://o/a/../b/./x.gif", "http://o/b/x.gif"},
            {"dots in the query kept", "x.php?p=/../y", "http://h/a/b/x.php?p=/../y"},
            {"fragment dropped", "x.htm#top", "http://h/a/b/x.htm"},
            {"fragment of an absolute link dropped", "http://o/x.gif#f", "http://o/x.gif"},
            {"three dots", ".../x.gif", "http://h/a/b/.../x.gif"},
            {"two dots no slash", "..", "http://h/a/"},
            {"one dot", ".", "http://h/a/b/"},
            {"empty link", "", "http://h/a/b/"},
            {"query", "?q=1", "http://h/a/b/?q=1"},
        },
        [](const std::string& v) { return url_absolue(P, v); });
}

TEST(UrlAbsolue, OtherPages) {
    struct Row {
        const char* name;
        std::string page;
        std::string link;
        std::string want;
    };
    const std::vector<Row> rows = {
        {"https page keeps scheme for //", "https://h/a/p.htm", "//cdn/x.gif", "https://cdn/x.gif"},
        {"https page up", "https://h/a/b/p.htm", "../../../x", "https://h/x"},
        {"page without path", "http://h", "x.htm", "http://h/x.htm"},
        {"page without path, up", "http://h", "../x.htm", "http://h/x.htm"},
        {"page without path, dot", "http://h", "./x.htm", "http://h/x.htm"},
        {"page without path, root", "http://h", "/x.htm", "http://h/x.htm"},
        {"page dir", "http://h/a/", "../x", "http://h/x"},
        {"page dir two levels", "http://h/a/b/", "../../x", "http://h/x"},
        {"page dir one level", "http://h/a/b/", "../x", "http://h/a/x"},
        {"slash in query", "http://h/p.php?x=/y", "../z", "http://h/z"},
        {"slash in query, relative", "http://h/p.php?x=/y", "z", "http://h/p.php?x=/z"},
        {"double slash in path, one up", "http://h//a/b.htm", "../x", "http://h//x"},
        {"double slash in path, two up", "http://h//a/b.htm", "../../x", "http://h/x"},
        {"double slash in path, three up", "http://h//a/b.htm", "../../../x", "http://h/x"},
        {"no double slash, relative", "h/a/b.htm", "x.gif", ""},
        {"no double slash, up", "h/a/b.htm", "../x.gif", ""},
        {"no double slash, dot", "h/a/b.htm", "./x.gif", ""},
        {"no double slash, root", "h/a/b.htm", "/x.gif", ""},
        {"no double slash, scheme relative", "h/a/b.htm", "//cdn/x.gif", ""},
        {"no double slash, absolute still fine", "h/a/b.htm", "http://o/x", "http://o/x"},
        {"empty page, relative", "", "x.gif", ""},
        {"empty page, absolute", "", "https://o/x", "https://o/x"},
        {"short page", "a//b", "x", ""},
        {"both empty", "", "", ""},
        {"page only scheme, relative", "http://", "x", "http://x"},
        {"page only scheme, up", "http://", "../x", "http:///x"},
        {"page only slashes, up", "/////////", "../../../../../x", "////x"},
        {"page only slashes, many up", "/////////", "../../../../../../../x", "///x"},
        {"page only slashes, scheme relative", "/////////", "//x", "//x"},
        {"page ends in double slash, up", "abcde//", "../../x", "abcde///x"},
        {"page trailing blank", "http://h/a/p.htm ", "x", "http://h/a/x"},
        {"page with a fragment", "http://h/a/p.htm#s/t", "x.gif", "http://h/a/x.gif"},
        {"result at 8 KiB", "http://h/" + std::string(8181, 'a') + "/", "x",
         "http://h/" + std::string(8181, 'a') + "/x"},
        {"result over 8 KiB", "http://h/" + std::string(8182, 'a') + "/", "x", ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(url_absolue(r.page, r.link), r.want)
            << "page \"" << r.page << "\" link \"" << r.link << "\"";
    }
}

TEST(UrlAutreSite, Table) {
    struct Row {
        const char* name;
        std::string p;
        std::string a;
        bool want;
    };
    const std::vector<Row> rows = {
        {"same host", "http://h/a.htm", "http://h/b/c.htm", false},
        {"host in capitals", "http://h/a.htm", "http://H/a.htm", true},
        {"http vs https", "http://h/a.htm", "https://h/a.htm", true},
        {"other host", "http://h/a.htm", "http://o/a.htm", true},
        {"port differs", "http://h/a", "http://h:80/a", true},
        {"root slash added", "http://h", "http://h/x", false},
        {"second empty", "http://h/a.htm", "", true},
        {"first empty", "", "http://h/a.htm", true},
        {"both empty", "", "", true},
        {"both without double slash", "abcdefgh", "abcdefgh", true},
        {"identical", "https://h/x", "https://h/x", false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(autre_site(r.p, r.a), r.want) << "\"" << r.p << "\" vs \"" << r.a << "\"";
    }
}

TEST(UrlAutreSite, SchemeRelativeLinkNamesItsHost) {
    EXPECT_TRUE(autre_site(P, url_absolue(P, "//cdn/x.gif")));
    EXPECT_FALSE(autre_site(P, url_absolue(P, "//h/x.gif")));
}

// Degenerate inputs must neither crash nor read out of range (run under the
// sanitizer build); each result is also pinned so changes are noticed.
TEST(UrlDegenerate, ShortAndSlashOnlyInputs) {
    const std::vector<std::string> inputs = {"",    "/",      "//",      "///",   ":",
                                             "../", "./",     ".",       "..",    "http://",
                                             "x//", "//////", "a//b//c", "     ", "https:/"};
    for (const auto& p : inputs) {
        for (const auto& v : inputs) {
            SCOPED_TRACE("page \"" + p + "\" link \"" + v + "\"");
            const std::string r = url_absolue(p, v);
            const bool absolute = v.starts_with("http://");
            if (!absolute && racine_url(p).empty()) {
                EXPECT_EQ(r, "");
            }
            // A result never carries blanks at its ends.
            if (!r.empty()) {
                EXPECT_NE(r.front(), ' ');
                EXPECT_NE(r.back(), ' ');
            }
        }
        SCOPED_TRACE("address \"" + p + "\"");
        const std::string root = racine_url(p);
        const std::string dir = repertoire_url(p);
        if (!root.empty()) {
            EXPECT_EQ(root.back(), '/');
        }
        if (!dir.empty()) {
            EXPECT_EQ(dir.back(), '/');
        }
        const std::string path = chemin_site(p);
        if (!path.empty()) {
            EXPECT_EQ(path.back(), '/');
        }
        EXPECT_EQ(vers_antislash(p), p);
        EXPECT_EQ(nom_fichier(p).find('/'), std::string::npos);
    }
}
