#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/m_psf.h"

using namespace psf::m_psf;

namespace {

struct Row {
    std::string pattern;
    std::string type;
    std::string unused = {};  // column 1, never read by the filters
};

// Rows fill the table from row 0; missing rows stay empty (inactive).
FilterTable table(const std::vector<Row>& rows) {
    FilterTable t{};
    for (std::size_t k = 0; k < rows.size() && k < t.size(); ++k) {
        t[k][0] = rows[k].pattern;
        t[k][1] = rows[k].unused;
        t[k][2] = rows[k].type;
    }
    return t;
}

}  // namespace

TEST(FilterTrimBlanks, Table) {
    struct Case {
        const char* name;
        std::string in;
        std::string want;
    };
    const std::vector<Case> rows = {
        {"empty", "", ""},
        {"only blanks", "   ", ""},
        {"both ends", "  a  ", "a"},
        {"nothing to trim", "a", "a"},
        {"inner blank kept", " a b ", "a b"},
        {"tabs are not blanks", "\ta\t", "\ta\t"},
        {"newline kept", " a\n ", "a\n"},
        {"leading only", "  ab", "ab"},
        {"trailing only", "ab  ", "ab"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        const std::string_view got = trim_blanks(r.in);
        EXPECT_EQ(got, r.want);
        // A view into the argument, not a copy.
        if (!got.empty()) {
            EXPECT_GE(got.data(), r.in.data());
            EXPECT_LE(got.data() + got.size(), r.in.data() + r.in.size());
        }
    }
}

TEST(FilterPlusPetit, Table) {
    struct Case {
        const char* name;
        int a;
        int b;
        int want;
    };
    const std::vector<Case> rows = {
        {"first smaller", 1, 2, 1},
        {"second smaller", 2, 1, 1},
        {"equal", 3, 3, 3},
        {"negative", -1, 0, -1},
        {"extremes", INT_MIN, INT_MAX, INT_MIN},
        {"extremes swapped", INT_MAX, INT_MIN, INT_MIN},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(plus_petit(r.a, r.b), r.want);
    }
}

TEST(FilterCodeType, Table) {
    struct Case {
        const char* name;
        std::string in;
        std::optional<int> want;
    };
    const std::vector<Case> rows = {
        {"any", "*", 0},
        {"gif", "gif", 1},
        {"jpg", "jpg", 2},
        {"jpeg", "jpeg", 3},
        {"blanks trimmed", "  gif  ", 1},
        {"blanks around star", " * ", 0},
        {"case kept", "GIF", std::nullopt},
        {"mixed case", "Jpeg", std::nullopt},
        {"empty", "", std::nullopt},
        {"blank only", "   ", std::nullopt},
        {"unknown", "png", std::nullopt},
        {"prefix of jpeg", "jpe", std::nullopt},
        {"double star", "**", std::nullopt},
        {"tab not trimmed", "\tgif", std::nullopt},
        {"dot kept", ".gif", std::nullopt},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(code_type(r.in), r.want);
    }
}

TEST(FilterPattern, NameTest) {
    struct Case {
        const char* name;
        std::string base;
        std::string pattern;
        bool want;
    };
    const std::vector<Case> rows = {
        {"literal", "abc", "abc", true},
        {"question mark", "abc", "a?c", true},
        {"star alone", "abc", "*", true},
        {"final star matches nothing", "a", "a*", true},
        {"two final stars", "a", "a**", false},
        {"star then suffix", "abc", "*c", true},
        {"leftmost occurrence committed", "abcbc", "*bc", false},
        {"star inside and at end", "abc", "a*c*", true},
        {"star question pinned", "abc", "*?", false},
        {"star question one char", "a", "*?", true},
        {"base shorter", "ab", "abc", false},
        {"base longer", "abc", "ab", false},
        // Further cases.
        {"empty pattern, empty base", "", "", true},
        {"empty pattern, base", "a", "", false},
        {"empty base, star", "", "*", true},
        {"empty base, two stars", "", "**", true},
        {"empty base, question", "", "?", false},
        {"empty base, question star", "", "?*", false},
        {"empty base, star question", "", "*?", false},
        {"empty base, star question star", "", "*?*", false},
        {"empty base, literal", "", "a", false},
        {"empty base, star literal", "", "*a", false},
        {"two stars", "abc", "**", true},
        {"star question star", "abc", "*?*", true},
        {"star question star, one char", "a", "*?*", true},
        {"question star, one char", "a", "?*", true},
        {"question star, two chars", "ab", "?*", true},
        {"single question, longer base", "abc", "?", false},
        {"three questions", "abc", "???", true},
        {"three questions, two chars", "ab", "???", false},
        {"literal then star", "abc", "abc*", true},
        {"literal then two stars", "abc", "abc**", false},
        {"star then whole base", "abc", "*abc", true},
        {"star middle star", "abc", "*b*", true},
        {"star middle, chars left over", "abc", "*b", false},
        {"repeat taken at first occurrence", "abab", "*ab", false},
        {"suffix found once", "xab", "*ab", true},
        {"last char repeated", "abcc", "*c", false},
        {"star then last char star", "abc", "*c*", true},
        {"no backtracking before question", "axbxyc", "a*x?c", false},
        {"empty segment before question", "abc", "a*?c", true},
        {"question needs a char", "ac", "a*?c", false},
        {"segment missing", "abc", "*d", false},
        {"segment missing after literal", "abc", "a*d*", false},
        {"several segments", "xaybzc", "*a*b*c*", true},
        {"several segments, wrong order", "xcybza", "*a*b*c*", false},
        {"name keeps case", "ABC", "abc", false},
        {"name keeps case after star", "xABC", "*abc", false},
        {"wildcard chars in base are plain", "a*b", "a?b", true},
        {"star in base matched literally", "a*b", "a*b", true},
        {"first char differs", "xbc", "abc", false},
        {"last char differs", "abx", "abc", false},
        {"star after exhausted base, then literal", "ab", "ab*c", false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(motif_correspond(r.base, "gif", r.pattern, "*"), r.want)
            << "base \"" << r.base << "\" pattern \"" << r.pattern << "\"";
    }
}

TEST(FilterPattern, TypeTest) {
    struct Case {
        const char* name;
        std::string ext;
        std::string type;
        bool want;
    };
    const std::vector<Case> rows = {
        {"same", "gif", "gif", true},
        {"ext in capitals", "JPG", "jpg", true},
        {"type in capitals", "jpg", "JPG", true},
        {"mixed case", "JpEg", "jPeG", true},
        {"jpg is not jpeg", "jpeg", "jpg", false},
        {"jpeg is not jpg", "jpg", "jpeg", false},
        {"star is any", "png", "*", true},
        {"star with empty ext", "", "*", true},
        {"both empty", "", "", true},
        {"empty type, ext", "gif", "", false},
        {"star as ext is not any", "*", "gif", false},
        {"star with blank is not any", "gif", " *", false},
        {"double star", "gif", "**", false},
        {"different", "png", "gif", false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(motif_correspond("abc", r.ext, "*", r.type), r.want)
            << "ext \"" << r.ext << "\" type \"" << r.type << "\"";
    }
}

TEST(FilterPattern, BothTestsMustHold) {
    EXPECT_TRUE(motif_correspond("abc", "gif", "a*", "gif"));
    EXPECT_FALSE(motif_correspond("abc", "jpg", "a*", "gif"));
    EXPECT_FALSE(motif_correspond("abc", "gif", "b*", "gif"));
    EXPECT_FALSE(motif_correspond("abc", "jpg", "b*", "gif"));
}

TEST(FilterImageRetenue, Table) {
    struct Case {
        const char* name;
        std::string file;
        std::vector<Row> include;
        std::vector<Row> exclude;
        bool want;
    };
    const Row none{"", ""};
    const std::vector<Case> rows = {
        {"no rows", "photo.jpg", {}, {}, true},
        {"no dot", "photo", {}, {}, false},
        {"type ignores case", "photo.JPG", {{"*", "jpg"}}, {}, true},
        {"name keeps case", "Photo1.jpg", {{"photo*", "*"}}, {}, false},
        {"exclusion wins", "photo1.jpg", {{"photo*", "*"}}, {{"*1", "jpg"}}, false},
        {"split at last dot", "a.b.gif", {{"a.b", "gif"}}, {}, true},
        {"jpeg is not jpg", "pic.jpeg", {{"*", "jpg"}}, {}, false},
        {"row without pattern inactive", "pic.gif", {{"", "gif"}}, {}, true},
        {"second row matches", "x.gif", {{"a*", "*"}, {"x*", "*"}}, {}, true},
        // Further cases.
        {"empty name", "", {}, {}, false},
        {"blank name", "   ", {}, {}, false},
        {"only a dot", ".", {}, {}, true},
        {"empty base, question", ".gif", {{"?", "*"}}, {}, false},
        {"empty base, question star", ".gif", {{"?*", "*"}}, {}, false},
        {"empty base, star", ".gif", {{"*", "gif"}}, {}, true},
        {"base before last dot only", "a.b.gif", {{"a", "gif"}}, {}, false},
        {"blanks around name parts", " photo .jpg ", {{"photo", "jpg"}}, {}, true},
        {"blank only pattern inactive", "pic.gif", {{"   ", "jpg"}}, {}, true},
        {"pattern and type trimmed", "photo1.jpg", {{" photo* ", " jpg "}}, {}, true},
        {"exclude row without pattern inactive", "pic.gif", {}, {{"", "gif"}}, true},
        {"exclude by type", "x.GIF", {}, {{"*", "gif"}}, false},
        {"exclude last row", "x.gif", {}, {none, none, none, {"x", "*"}}, false},
        {"exclude not matching", "y.gif", {}, {{"x", "*"}, {"*", "jpg"}}, true},
        {"include last row matches", "x.gif", {none, none, none, {"x", "gif"}}, {}, true},
        {"include last row misses", "x.gif", {none, none, none, {"y", "gif"}}, {}, false},
        {"no include row matches",
         "x.gif",
         {{"a*", "*"}, {"b*", "*"}, {"*", "jpg"}, {"??", "*"}},
         {},
         false},
        {"include matches after exclude misses", "x.gif", {{"x", "*"}}, {{"y", "*"}}, true},
        {"exclusion wins over any include", "x.gif", {{"*", "*"}}, {none, none, {"*", "*"}}, false},
        {"column 1 not read", "x.gif", {{"", "gif", "x*"}}, {{"", "*", "*"}}, true},
        {"trailing dot, any type", "photo.", {{"*", "*"}}, {}, true},
        {"trailing dot, typed", "photo.", {{"*", "jpg"}}, {}, false},
        {"include jpeg", "pic.jpeg", {{"*", "jpeg"}}, {}, true},
        {"pattern on base only", "abc.gif", {{"abc.gif", "*"}}, {}, false},
        {"leftmost commit in a row", "abcbc.gif", {{"*bc", "*"}}, {}, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(image_retenue(r.file, table(r.include), table(r.exclude)), r.want)
            << "file \"" << r.file << "\"";
    }
}

// Every combination of short bases and patterns over {a, *, ?} must end
// (the test finishes) and agree with simple facts about the scan.
TEST(FilterPattern, ShortInputsTerminate) {
    const std::vector<std::string> bases = {"", "a", "aa", "ab", "aaa"};
    const std::string alphabet = "a*?";
    std::vector<std::string> patterns = {""};
    for (std::size_t len = 1; len <= 4; ++len) {
        std::vector<std::string> next;
        for (const auto& p : patterns) {
            if (p.size() + 1 != len) continue;
            for (char c : alphabet) next.push_back(p + c);
        }
        patterns.insert(patterns.end(), next.begin(), next.end());
    }
    for (const auto& b : bases) {
        for (const auto& p : patterns) {
            SCOPED_TRACE("base \"" + b + "\" pattern \"" + p + "\"");
            const bool m = motif_correspond(b, "gif", p, "*");
            // Without wildcards the scan is plain equality.
            if (p.find_first_of("*?") == std::string::npos) {
                EXPECT_EQ(m, p == b);
            }
            // A pattern made only of "?" matches exactly bases of its length.
            if (!p.empty() && p.find_first_not_of('?') == std::string::npos) {
                EXPECT_EQ(m, p.size() == b.size());
            }
            // The empty base has nothing for "?" or a letter.
            if (b.empty() && p.find_first_of("a?") != std::string::npos) {
                EXPECT_FALSE(m);
            }
        }
    }
}
