// Pages and style sheets read as a browser reads them, for tasks with modern
// markup. Inside the engine only.
#pragma once

#include <functional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace psf::m_psf {

// The blanks of HTML and CSS.
inline constexpr std::string_view Blanks = " \t\n\r\f";
inline bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

// An element of a page that may name an address.
struct Element {
    std::string tag;  // lower case
    // The attributes that may matter for the tag, names in lower case and
    // values as the parser reads them (character references decoded), each
    // name once.
    std::vector<std::pair<std::string, std::string>> attributes;
    std::string_view css;  // a style element's text

    const std::string* value(std::string_view name) const;
};

// Calls `on_element` for each element of `page` that may name an address:
// first the first base element that has an href, then all in document order.
// Text, comments, scripts and the content of the other raw-text elements
// yield nothing. Returns false when `stop` ended it early.
bool read_markup(std::string_view page, const std::stop_token& stop,
                 const std::function<void(const Element&)>& on_element);

// Calls `on_reference` for each address a CSS text names, in order: url()
// and image-set() values (`import` false) and imported style sheets (true).
// Comments and other strings name none; `stop` ends it early.
void read_css(std::string_view css, const std::stop_token& stop,
              const std::function<void(std::string_view address, bool import)>& on_reference);

}  // namespace psf::m_psf
