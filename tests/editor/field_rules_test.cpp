#include <gtest/gtest.h>

#include "editor/editor.h"

using namespace psf::editor;

namespace {

const std::string Dot = "Please don't type a . in a file name";
const std::string Slash = "Please don't type a / in a file name";
const std::string Backslash = "Please don't type a \\ in a file name";
const std::string Wildcard = "a ? can't follow a .   a . can't follow a ?";

TEST(FieldRules, AddressMustStartWithHttpOrHttpsExactly) {
    const struct {
        const char* name;
        std::string text;
        bool accepted;
    } cases[] = {
        {"http", "http://example.org/", true},
        {"https and nothing more", "https://", true},
        {"upper-case scheme", "HTTPS://example.org/", false},
        {"leading space", " http://example.org/", false},
        {"other scheme", "ftp://example.org/", false},
        {"empty box", "", false},
        {"scheme cut short", "http:/", false},
    };
    for (const auto& c : cases) {
        const auto message = check_address(c.text);
        EXPECT_EQ(!message.has_value(), c.accepted) << c.name;
        if (message) {
            EXPECT_EQ(*message, (Message{"Error", "Please give a valid internet adress",
                                         Icon::Warning, Buttons::Ok}))
                << c.name;
        }
    }
}

TEST(FieldRules, FileNameRulesReportEveryFailureInOrder) {
    const struct {
        const char* name;
        std::string text;
        std::vector<std::string> messages;
    } cases[] = {
        {"letters and one star", "cat*", {}},
        {"stars apart", "*a*", {}},
        {"two question marks", "a??b", {}},
        {"empty", "", {}},
        {"surrounding spaces are trimmed first", "  a*  ", {}},
        {"two stars", "a**", {Wildcard}},
        {"star after question mark", "a?*", {Wildcard}},
        {"question mark after star", "*?b", {Wildcard}},
        {"dot then slash", "a.b/c", {Dot, Slash}},
        {"backslash", "a\\b", {Backslash}},
        {"all four, once each", "*?.*?/\\", {Dot, Slash, Backslash, Wildcard}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> texts;
        for (const Message& m : check_file_name(c.text)) {
            EXPECT_EQ(m.title, "Error") << c.name;
            EXPECT_EQ(m.icon, Icon::Warning) << c.name;
            texts.push_back(m.text);
        }
        EXPECT_EQ(texts, c.messages) << c.name;
    }
}

}  // namespace
