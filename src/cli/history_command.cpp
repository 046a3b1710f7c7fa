// `history`: the runs the history keeps, newest first, and the files one of
// them wrote; as lines of tab-separated fields or as JSON.
#include <cstdint>
#include <iostream>

#include "cli/console.h"
#include "cli/task_commands.h"
#include "platform/text.h"
#include "scheduler/run_record.h"
#include "store/history.h"

namespace psf::cli {

namespace {

// A JSON string: bytes that are not UTF-8 become U+FFFD.
std::string json(std::string_view s) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            static const char* hex = "0123456789abcdef";
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            // A well-formed sequence of 2 to 4 bytes, no surrogate, no overlong form.
            const std::size_t n = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 ? 2 : 0;
            bool ok = n != 0 && c <= 0xf4 && i + n <= s.size();
            for (std::size_t k = 1; ok && k < n; ++k)
                ok = (static_cast<unsigned char>(s[i + k]) & 0xc0) == 0x80;
            if (ok && n >= 3) {
                const auto second = static_cast<unsigned char>(s[i + 1]);
                ok = !(c == 0xe0 && second < 0xa0) && !(c == 0xed && second >= 0xa0) &&
                     !(c == 0xf0 && second < 0x90) && !(c == 0xf4 && second >= 0x90);
            }
            out += ok ? std::string(s.substr(i, n)) : "\xef\xbf\xbd";
            i += ok ? n : 1;
            continue;
        }
        ++i;
    }
    return out + "\"";
}

const char* outcome_code(Outcome o) {
    switch (o) {
        case Outcome::Running:
            return "running";
        case Outcome::Done:
            return "done";
        case Outcome::StartFailed:
            return "start page failed";
        case Outcome::TimeLimit:
            return "time limit";
        case Outcome::DestinationFailed:
            return "destination failed";
        case Outcome::OutOfMemory:
            return "out of memory";
        case Outcome::Interrupted:
            break;
    }
    return "interrupted";
}

std::string run_json(const RunRecord& r) {
    const auto field = [](const char* name, const std::string& value) {
        return std::string("\"") + name + "\": " + value;
    };
    std::string out = "{" + field("id", std::to_string(r.id));
    for (const auto& [name, value] : {std::pair{"task", r.task},
                                      {"start_address", r.start_address},
                                      {"started_by", r.started_by},
                                      {"started", r.started},
                                      {"ended", r.ended},
                                      {"outcome", std::string(outcome_code(r.outcome))},
                                      {"cause", r.cause}})
        out += ", " + field(name, json(value));
    for (const auto& [name, value] : {std::pair{"duration_ms", r.duration_ms},
                                      {"pages_read", r.pages_read},
                                      {"images_found", r.images_found},
                                      {"copied", r.copied},
                                      {"already_present", r.present},
                                      {"unchanged", r.unchanged},
                                      {"failed", r.failed},
                                      {"bytes_received", r.bytes_received}})
        out += ", " + field(name, std::to_string(value));
    return out + "}";
}

std::string image_json(const ImageRecord& i) {
    return "{\"address\": " + json(i.address) + ", \"file\": " + json(i.file) +
           ", \"size\": " + std::to_string(i.size) +
           ", \"last_modified\": " + json(i.last_modified) + ", \"etag\": " + json(i.etag) + "}";
}

}  // namespace

int history_command(std::vector<std::string> words) {
    std::string title, error;
    bool as_json = false, have_title = false;
    long long limit = 20, run_id = 0;
    bool have_limit = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        const std::string value = i + 1 < words.size() ? words[i + 1] : "";
        if (w == "--help" || w == "-h") {
            std::cout << Usage;
            return ExitDone;
        } else if (w == "--json") {
            as_json = true;
        } else if (w == "--limit") {
            const auto n = whole_number(value, 1, HistoryRuns);
            if (!n)
                return usage_error("--limit takes a number from 1 to " +
                                   std::to_string(HistoryRuns));
            limit = *n;
            have_limit = true, ++i;
        } else if (w == "--run") {
            const auto n = whole_number(value, 1, INT64_MAX);
            if (!n) return usage_error("--run takes the number of a run, as history shows it");
            run_id = *n;
            ++i;
        } else if (w.size() > 1 && w[0] == '-') {
            return usage_error("unknown option " + w);
        } else if (!have_title) {
            title = w, have_title = true;
        } else {
            return usage_error("history takes one task title");
        }
    }
    if (run_id != 0 && (have_title || have_limit))
        return usage_error("history --run takes no title and no --limit");

    DataFolderStore folder;
    if (int rc = find_data_folder(folder)) return rc;
    History history(folder.path(), History::Mode::Read);
    if (!history.problem().empty()) {
        complain(history.problem());
        return ExitFolder;
    }
    if (run_id != 0) {
        const auto run = history.run(run_id);
        if (!run) {
            complain("no run numbered " + std::to_string(run_id) + " in the history");
            return ExitNoTask;
        }
        const auto images = history.images(run_id);
        if (as_json) {
            std::string text = run_json(*run);
            text.pop_back();
            text += ", \"images\": [";
            for (std::size_t k = 0; k < images.size(); ++k)
                text += (k ? ",\n  " : "\n  ") + image_json(images[k]);
            std::cout << text << (images.empty() ? "]}\n" : "\n]}\n");
        } else {
            for (const ImageRecord& i : images)
                std::cout << i.file << '\t' << i.size << '\t' << i.address << '\n';
        }
    } else {
        const std::string task(trim_blanks(title));
        const auto runs = history.runs(task, static_cast<int>(limit));
        if (as_json) std::cout << '[';
        for (std::size_t k = 0; k < runs.size(); ++k) {
            const RunRecord& r = runs[k];
            if (as_json)
                std::cout << (k ? ",\n " : "\n ") << run_json(r);
            else
                std::cout << r.id << '\t' << r.started << '\t' << r.task << '\t' << outcome_text(r)
                          << '\t' << counts_text(r) << '\n';
        }
        if (as_json) std::cout << (runs.empty() ? "]\n" : "\n]\n");
    }
    if (!history.problem().empty()) {
        complain(history.problem());
        return ExitFolder;
    }
    return ExitDone;
}

}  // namespace psf::cli
