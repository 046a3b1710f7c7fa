#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "engine/m_psf.h"
#include "support/table.h"

using namespace psf::m_psf;

namespace {

std::string apply(const std::string& op, const std::string& a, const std::string& b) {
    if (op == "racine") return racine_url(a);
    if (op == "repertoire") return repertoire_url(a);
    if (op == "nom") return nom_fichier(a);
    if (op == "chemin") return chemin_site(a);
    if (op == "antislash") return vers_antislash(a);
    if (op == "absolue") return url_absolue(a, b);
    if (op == "autre") return autre_site(a, b) ? "1" : "0";
    throw std::runtime_error("unknown operation " + op);
}

TEST(Url, Operations) {
    for (const auto& r : psf::test::read_table("engine/address.txt", 4))
        EXPECT_EQ(apply(r[0], r[1], r[2]), r[3]) << r.where;
    // A result is at most 8 KiB long.
    const std::string dir = "http://h/" + std::string(8181, 'a') + "/";
    EXPECT_EQ(url_absolue(dir, "x"), dir + "x");
    EXPECT_EQ(url_absolue(dir.substr(0, 9) + "a" + dir.substr(9), "x"), "");
}

// Degenerate inputs must neither crash nor read out of range (run under the
// sanitizer build).
TEST(Url, ShortAndSlashOnlyInputs) {
    const std::vector<std::string> inputs = {"",    "/",      "//",      "///",   ":",
                                             "../", "./",     ".",       "..",    "http://",
                                             "x//", "//////", "a//b//c", "     ", "https:/"};
    for (const auto& p : inputs) {
        for (const auto& v : inputs) {
            const std::string r = url_absolue(p, v);
            EXPECT_TRUE(r.empty() || ((v.starts_with("http://") || !racine_url(p).empty()) &&
                                      r.front() != ' ' && r.back() != ' '))
                << p << v;
        }
        for (const std::string& s : {racine_url(p), repertoire_url(p), chemin_site(p)})
            EXPECT_TRUE(s.empty() || s.back() == '/') << p;
        EXPECT_EQ(nom_fichier(p).find('/'), std::string::npos) << p;
    }
}

}  // namespace
