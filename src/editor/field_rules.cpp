#include <string>

#include "editor/editor.h"
#include "platform/text.h"

namespace psf::editor {

Message error_message(std::string text) {
    return Message{"Error", std::move(text), Icon::Warning, Buttons::Ok};
}

Message program_message(std::string text) {
    return Message{WindowCaption, std::move(text), Icon::Warning, Buttons::Ok};
}

const std::array<std::string, 4>& Combo1_entries() {
    static const std::array<std::string, 4> entries = {"1", "2", "3", "4"};
    return entries;
}

const std::array<std::string, 5>& Combo2_entries() {
    static const std::array<std::string, 5> entries = {
        "Every quarter", "Every half-hour", "Every hour", "Every 4 hours", "Every 8 hours"};
    return entries;
}

const std::array<std::string, 24>& Combo5_entries() {
    static const std::array<std::string, 24> entries = [] {
        std::array<std::string, 24> hours;
        for (std::size_t h = 0; h < hours.size(); ++h)
            hours[h] = (h < 10 ? "0" : "") + std::to_string(h);
        return hours;
    }();
    return entries;
}

const std::array<std::string, 4>& Combo6_entries() {
    static const std::array<std::string, 4> entries = {"00", "15", "30", "45"};
    return entries;
}

const std::array<std::string, 7>& Combo7_entries() {
    return day_period_texts();
}

const std::array<std::string, 4>& type_entries() {
    static const std::array<std::string, 4> entries = {"*", "gif", "jpg", "jpeg"};
    return entries;
}

const std::array<std::string, GridCols>& grid_headers() {
    static const std::array<std::string, GridCols> headers = {
        "Title", "Internet Adress", "Navigate", "Destination", "Schedule"};
    return headers;
}

const std::array<int, GridCols>& grid_widths() {
    static const std::array<int, GridCols> widths = {1200, 2300, 800, 3350, 1700};
    return widths;
}

std::optional<Message> check_address(std::string_view text) {
    if (text.starts_with("http://") || text.starts_with("https://")) return std::nullopt;
    return error_message("Please give a valid internet adress");
}

std::vector<Message> check_file_name(std::string_view text) {
    const std::string_view name = trim_blanks(text);
    std::vector<Message> messages;
    if (name.find('.') != std::string_view::npos)
        messages.push_back(error_message("Please don't type a . in a file name"));
    if (name.find('/') != std::string_view::npos)
        messages.push_back(error_message("Please don't type a / in a file name"));
    if (name.find('\\') != std::string_view::npos)
        messages.push_back(error_message("Please don't type a \\ in a file name"));
    char previous = '\0';
    for (const char c : name) {
        if ((c == '*' && (previous == '?' || previous == '*')) || (c == '?' && previous == '*')) {
            messages.push_back(error_message("a ? can't follow a .   a . can't follow a ?"));
            break;
        }
        previous = c;
    }
    return messages;
}

}  // namespace psf::editor
