#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <string_view>

#include "engine/m_psf.h"
#include "platform/text.h"
#include "support/table.h"

using namespace psf::m_psf;
using psf::trim_blanks;
using psf::test::read_table;

namespace {

// "pattern:type[:column 1];…" from the first row; missing rows stay empty.
FilterTable filter_table(const std::string& text) {
    FilterTable t{};
    std::istringstream rows(text);
    std::string cells;
    for (auto row = t.begin(); row != t.end() && std::getline(rows, cells, ';'); ++row) {
        std::istringstream in(cells);
        std::getline(in, (*row)[0], ':'), std::getline(in, (*row)[2], ':'),
            std::getline(in, (*row)[1]);
    }
    return t;
}

TEST(Filters, Tables) {
    for (const auto& r : read_table("filters/trim_blanks.txt", 3)) {
        const std::string_view got = trim_blanks(r[1]);
        EXPECT_EQ(got, r[2]) << r.where;
        EXPECT_TRUE(got.empty() || got.data() == &r[1][r[1].find_first_not_of(' ')]);  // a view
    }
    for (const auto& r : read_table("filters/media_type.txt", 3))
        EXPECT_EQ(psf::media_type(r[1]), r[2]) << r.where;
    for (const auto& r : read_table("filters/code_type.txt", 3)) {
        const auto code = code_type(r[1]);
        EXPECT_EQ(code ? std::to_string(*code) : "-", r[2]) << r.where;
    }
    for (const auto& r : read_table("filters/name_pattern.txt", 4)) {
        EXPECT_EQ(motif_correspond(r[1], "gif", r[2], "*"), r[3] == "1") << r.where;
        EXPECT_FALSE(motif_correspond(r[1], "jpg", r[2], "gif")) << r.where;  // both must hold
    }
    for (const auto& r : read_table("filters/type_pattern.txt", 4)) {
        EXPECT_EQ(motif_correspond("abc", r[1], "*", r[2]), r[3] == "1") << r.where;
        EXPECT_FALSE(motif_correspond("abc", r[1], "b*", r[2])) << r.where;
    }
    for (const auto& r : read_table("filters/image_retenue.txt", 5))
        EXPECT_EQ(image_retenue(r[1], filter_table(r[2]), filter_table(r[3])), r[4] == "1")
            << r.where;
}

}  // namespace
