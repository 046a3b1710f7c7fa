#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "engine/m_psf.h"
#include "support/table.h"

using namespace psf::m_psf;
using psf::test::read_table;

namespace {

// "pattern:type[:column 1];…" from the first row; missing rows stay empty.
FilterTable filter_table(const std::string& text) {
    FilterTable t{};
    std::size_t row = 0;
    for (std::size_t start = 0; !text.empty() && start <= text.size() && row < t.size(); ++row) {
        std::size_t end = text.find(';', start);
        if (end == std::string::npos) end = text.size();
        const std::string cells = text.substr(start, end - start);
        const std::size_t c1 = cells.find(':');
        const std::size_t c2 = cells.find(':', c1 + 1);
        t[row][0] = cells.substr(0, c1);
        t[row][2] = cells.substr(c1 + 1, c2 == std::string::npos ? c2 : c2 - c1 - 1);
        if (c2 != std::string::npos) t[row][1] = cells.substr(c2 + 1);
        start = end + 1;
    }
    return t;
}

TEST(Filters, TrimBlanks) {
    for (const auto& r : read_table("filters/trim_blanks.txt", 3)) {
        SCOPED_TRACE(r.where);
        const std::string_view got = trim_blanks(r[1]);
        EXPECT_EQ(got, r[2]);
        // A view into the argument, not a copy.
        if (!got.empty()) {
            EXPECT_GE(got.data(), r[1].data());
            EXPECT_LE(got.data() + got.size(), r[1].data() + r[1].size());
        }
    }
}

TEST(Filters, CodeType) {
    for (const auto& r : read_table("filters/code_type.txt", 3)) {
        SCOPED_TRACE(r.where);
        const auto code = code_type(r[1]);
        EXPECT_EQ(code ? std::to_string(*code) : "-", r[2]);
    }
}

TEST(Filters, NameAndTypePatterns) {
    for (const auto& r : read_table("filters/name_pattern.txt", 4)) {
        SCOPED_TRACE(r.where);
        EXPECT_EQ(motif_correspond(r[1], "gif", r[2], "*"), r[3] == "1");
        // The name test and the type test must both hold.
        EXPECT_FALSE(motif_correspond(r[1], "jpg", r[2], "gif"));
    }
    for (const auto& r : read_table("filters/type_pattern.txt", 4)) {
        SCOPED_TRACE(r.where);
        EXPECT_EQ(motif_correspond("abc", r[1], "*", r[2]), r[3] == "1");
        EXPECT_FALSE(motif_correspond("abc", r[1], "b*", r[2]));
    }
}

TEST(Filters, ImageRetenue) {
    for (const auto& r : read_table("filters/image_retenue.txt", 5)) {
        SCOPED_TRACE(r.where);
        EXPECT_EQ(image_retenue(r[1], filter_table(r[2]), filter_table(r[3])), r[4] == "1");
    }
}

// Every combination of short bases and patterns over {a, *, ?} must end
// (the test finishes) and agree with simple facts about the scan.
TEST(Filters, ShortPatternsTerminate) {
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

}  // namespace
