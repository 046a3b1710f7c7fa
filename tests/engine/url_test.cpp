#include <gtest/gtest.h>

#include <string>

#include "engine/m_psf.h"
#include "support/table.h"

using namespace psf::m_psf;

namespace {

std::string apply(const std::string& op, const std::string& a, const std::string& b) {
    if (op == "racine") return racine_url(a);
    if (op == "repertoire") return repertoire_url(a);
    if (op == "nom") return nom_fichier(a);
    if (op == "chemin") return chemin_site(a);
    if (op == "absolue") return url_absolue(a, b);
    if (op == "autre") return std::to_string(autre_site(a, b));
    return op == "antislash" ? vers_antislash(a) : "unknown operation " + op;
}

TEST(Url, Operations) {
    for (const auto& r : psf::test::read_table("engine/address.txt", 4))
        EXPECT_EQ(apply(r[0], r[1], r[2]), r[3]) << r.where;
    // A result is at most 8 KiB long.
    const std::string dir = "http://h/" + std::string(8181, 'a') + "/";
    EXPECT_EQ(url_absolue(dir, "x"), dir + "x");
    EXPECT_EQ(url_absolue(dir.substr(0, 9) + "a" + dir.substr(9), "x"), "");
}

}  // namespace
