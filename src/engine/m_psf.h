// The retrieval engine: free operations over strings and the lists passed to
// them. No state of its own; the network only through the transfer control.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/transfer.h"

namespace psf::m_psf {

// ---- Address operations (url.cpp) -------------------------------------------

std::string racine_url(std::string_view s);      // "scheme://host/" or empty
std::string repertoire_url(std::string_view s);  // up to and including the last "/", or empty
std::string nom_fichier(std::string_view s);     // file-name part, possibly empty
std::string chemin_site(std::string_view s);     // "host/dir/…/" without scheme, or empty
std::string vers_antislash(std::string_view s);  // folder separator of this platform ("/")
std::string url_absolue(std::string_view page, std::string_view link);  // empty when unresolvable
bool autre_site(std::string_view p, std::string_view a);

// ---- Name filters (filters.cpp) -----------------------------------------------

// 4 rows by 3 columns: column 0 the name pattern, column 2 the type.
using FilterTable = std::array<std::array<std::string, 3>, 4>;

bool image_retenue(std::string_view name, const FilterTable& include, const FilterTable& exclude);
bool motif_correspond(std::string_view base, std::string_view ext, std::string_view pattern,
                      std::string_view type);
int plus_petit(int a, int b);
std::optional<int> code_type(std::string_view type);  // "*" 0, "gif" 1, "jpg" 2, "jpeg" 3

// Removes leading and trailing blanks (spaces only).
std::string_view trim_blanks(std::string_view s);

// ---- Crawl (crawl.cpp) --------------------------------------------------------

inline constexpr int ListSlots = 10000;
inline constexpr int ListLimit = 9990;

using List = std::vector<std::string>;  // slot 0 unused; ListSlots slots

// Element 0: images found; element 1: pages found.
using Counters = std::array<std::int16_t, 2>;

struct CrawlState {
    List PageList = List(ListSlots);
    List ImageList = List(ListSlots);
    std::int16_t PagesFound = 0;
    std::int16_t ImagesFound = 0;
    std::int16_t PagesRead = 0;
    Counters CrawlCounters{};
};

std::string sans_retours(std::string_view text);
bool deja_liste(std::string_view text, const List& list, int n);

// Scans one page: 1 when the scan ran to its end, -1 when it ended early.
int analyse_page(TransferControl& inet, const std::string& page, const FilterTable& include,
                 const FilterTable& exclude, List& images, List& pages, Counters& counters);

// The scan itself on an already fetched text; `base` is the address links
// resolve against (the page's final address after redirects).
void scan_page_text(std::string_view text, std::string_view base, const FilterTable& include,
                    const FilterTable& exclude, List& images, List& pages, Counters& counters);

// ---- Download (download.cpp) --------------------------------------------------

// 1 written, 0 nothing written by decision, -1 error.
int copie_image(TransferControl& inet, const std::string& address, const std::string& destination,
                int policy, int layout);

}  // namespace psf::m_psf
