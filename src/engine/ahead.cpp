// Fetches run ahead of the scans and writes, which still happen one at a time
// in list order. A fetch is started only when the run one call after another
// is sure to make it, so both make the same requests and write the same files.
#include <algorithm>
#include <deque>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/m_psf.h"

namespace fs = std::filesystem;

namespace psf::m_psf {

namespace {

// The style sheets a page named and no page before it: each read once, in
// order, up to the run's limit; those they import after them.
void read_style_sheets(TransferControl& inet, CrawlState& state, const FilterTable& include,
                       const FilterTable& exclude, const ImageChoice& choice) {
    ScanNotes& notes = state.Notes;
    while (!notes.style_sheets.empty() && notes.style_sheets_read < MaxStyleSheets &&
           !notes.stop.stop_requested()) {
        const std::string sheet = std::move(notes.style_sheets.front());
        notes.style_sheets.pop_front();
        ++notes.style_sheets_read;
        const Response r = inet.OpenURL(sheet, DataType::StyleSheet);
        notes.style_sheet_bytes += r.received;
        if (!r.ok || r.status < 200 || r.status >= 300 || r.not_a_page) continue;
        scan_style_sheet(r.body, r.final_url.empty() ? sheet : r.final_url, include, exclude,
                         state.ImageList, state.CrawlCounters, choice, notes);
    }
    notes.style_sheets.clear();  // past the limit
}

}  // namespace

void scan_level(TransferControl& inet, CrawlState& state, int first, int last,
                const FilterTable& include, const FilterTable& exclude,
                const std::function<void(const Response&)>& scanned, std::stop_token stop,
                const ImageChoice& choice) {
    state.Notes.stop = stop;
    std::deque<Ticket> tickets;  // for slots i, i + 1, …
    int next = first;            // the next slot to start
    for (int i = first; i <= last && !stop.stop_requested(); ++i) {
        // Grows once an answer shows the site takes many fetches at once.
        const auto ahead = static_cast<int>(std::max<std::size_t>(1, inet.LookAhead()));
        // Slots first..last were all listed before the pass began, so each
        // one is fetched whatever the scans before it find.
        for (; next <= last && next - i < ahead; ++next)
            tickets.push_back(
                inet.Start(std::string(trim_blanks(state.PageList[static_cast<std::size_t>(next)])),
                           DataType::Text));
        const Response r = inet.Take(tickets.front());
        tickets.pop_front();
        state.PagesRead = static_cast<std::int16_t>(i);
        state.CrawlCounters = {state.ImagesFound, state.PagesFound};
        scan_response(state.PageList[static_cast<std::size_t>(i)], r, include, exclude,
                      state.ImageList, state.PageList, state.CrawlCounters, choice, &state.Notes);
        read_style_sheets(inet, state, include, exclude, choice);
        state.ImagesFound = state.CrawlCounters[0];
        state.PagesFound = state.CrawlCounters[1];
        if (scanned) scanned(r);
    }
    if (!tickets.empty()) inet.Discard();
}

namespace {

// The paths one copy may look at or write: its file, the version names of its
// file (policy 3 only) and the folders it creates.
struct Footprint {
    bool has_file = false;
    bool late = false;  // its name is known only from the response
    fs::path parent;
    std::string name;
    std::string file;
    std::vector<std::string> folders;
};

Footprint footprint_of(const std::string& address, const std::string& destination, int layout,
                       const ImageChoice& choice) {
    const ImagePaths p = image_paths(address, destination, layout, choice);
    Footprint f;
    for (const fs::path& d : p.folders) f.folders.push_back(d.string());
    if (p.valid) {
        f.has_file = true;
        f.late = p.late;
        f.parent = p.folder;
        f.name = p.target.filename().string();
        f.file = p.target.string();
    }
    return f;
}

bool all_digits(std::string_view s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// True when `path` may be one of the version names of the file of `f`.
bool version_of(const fs::path& path, const Footprint& f) {
    if (path.parent_path() != f.parent) return false;
    const std::string name = path.filename().string();
    const std::size_t keep = f.name.size() >= 4 ? f.name.size() - 4 : 0;
    const std::string head = f.name.substr(0, keep) + "-v", tail = f.name.substr(keep);
    if (name.size() <= head.size() + tail.size()) return false;
    if (!name.starts_with(head) || !name.ends_with(tail)) return false;
    return all_digits(
        std::string_view(name).substr(head.size(), name.size() - head.size() - tail.size()));
}

// True when what one copy does may change what the other one does.
bool overlap(const Footprint& a, const Footprint& b, bool versions) {
    auto hits_file = [versions](const std::string& path, const Footprint& f) {
        if (!f.has_file) return false;
        return path == f.file || (versions && version_of(path, f));
    };
    if (a.has_file && b.has_file) {
        if (a.file == b.file) return true;
        if ((a.late || b.late) && a.parent == b.parent) return true;
        if (versions) {
            // Names of fewer than four characters give version names that
            // are hard to tell apart; keep them in order with their folder.
            if ((a.name.size() < 4 || b.name.size() < 4) && a.parent == b.parent) return true;
            if (version_of(a.file, b) || version_of(b.file, a)) return true;
        }
    }
    for (const std::string& d : a.folders)
        if (hits_file(d, b)) return true;
    for (const std::string& d : b.folders)
        if (hits_file(d, a)) return true;
    return false;
}

enum class Kind {
    Open,      // decided when its turn comes, as the run one call after another does
    Skip,      // an earlier slot is sure to hold the same address
    Settled,   // no fetch: `result` is copie_image's result
    Fetching,  // fetch started; written when its turn comes
};

struct Slot {
    int index = 0;
    Kind kind = Kind::Open;
    int result = 0;
    ImagePlan plan;
    Ticket ticket = 0;
    Footprint footprint;
};

class Downloads {
  public:
    Downloads(TransferControl& inet, List& images, int count, const std::string& destination,
              int policy, int layout, const ImageChoice& choice, const StoredLookup& stored)
        : inet_(inet),
          images_(images),
          count_(count),
          destination_(destination),
          policy_(policy),
          layout_(layout),
          choice_(choice),
          // A file this run wrote is known by what it wrote, before any earlier run.
          stored_([this, &stored](const std::string& file) -> std::optional<WrittenImage> {
              if (auto it = written_.find(file); it != written_.end()) return it->second;
              return stored ? stored(file) : std::nullopt;
          }) {}

    DownloadTally run(const std::function<void(int)>& copied, std::stop_token stop) {
        DownloadTally tally;
        for (int head = 1; head <= count_ && !stop.stop_requested(); ++head) {
            const std::size_t ahead = std::max<std::size_t>(1, inet_.LookAhead());
            while (next_ <= count_ && fetching_ < ahead && window_.size() < 16 * ahead)
                decide(next_++);
            Slot& s = window_.front();
            const std::string address = this->address(s.index);
            std::string cause;
            Response response;
            bool unchanged = false;
            const int result = finish(s, cause, response, unchanged);
            tally.received += response.received;
            if (result == 1) {
                ++tally.copied;
                if (auto written = written_image(s.plan, response)) {
                    written_[written->file] = *written;
                    tally.written.push_back(std::move(*written));
                }
                if (copied) copied(tally.copied);
            } else if (unchanged) {
                ++tally.unchanged;
            } else if (!cause.empty()) {
                ++tally.failed;
                tally.failures.emplace_back(address, cause);
                if (const int refused = destination_error(s.plan); refused != 0)
                    if (tally.unwritten++ == 0) tally.unwritten_error = refused;
            } else if (result != Skipped) {
                ++tally.present;
            }
            window_.pop_front();
        }
        if (fetching_ > 0) inet_.Discard();
        return tally;
    }

  private:
    std::string& address(int k) { return images_[static_cast<std::size_t>(k)]; }

    // Whether the slot may still hold its address when a later slot's turn
    // comes.
    static bool undecided(const Slot& s) {
        return s.kind == Kind::Open || s.kind == Kind::Fetching;
    }

    void decide(int k) {
        Slot s;
        s.index = k;
        const std::string& a = address(k);
        s.footprint = footprint_of(a, destination_, layout_, choice_);
        if (held_.count(a) != 0) {
            s.kind = Kind::Skip;  // slots already done never change again
        } else if (a.empty() || unsure_.count(a) != 0 || overlaps_window(s.footprint)) {
            // An earlier slot of the same address may yet be blanked, or an
            // earlier copy may yet change the files this one depends on.
            s.kind = Kind::Open;
        } else {
            s.plan = prepare_image(a, destination_, policy_, layout_, choice_, stored_);
            note_created(s.plan);
            if (s.plan.fetch) {
                s.kind = Kind::Fetching;
                s.ticket = start_image(inet_, s.plan);
                if (s.ticket != 0) ++fetching_;
            } else {
                s.kind = Kind::Settled;
                s.result = s.plan.result;
            }
        }
        if (undecided(s)) ++unsure_[a];
        window_.push_back(std::move(s));
    }

    void note_created(const ImagePlan& plan) {
        for (const fs::path& f : plan.created) created_.insert(f.string());
    }

    bool overlaps_window(const Footprint& f) const {
        const bool versions = policy_ == NewVersion;
        return std::any_of(window_.begin(), window_.end(), [&](const Slot& s) {
            return undecided(s) && overlap(s.footprint, f, versions);
        });
    }

    // copie_image's result, or Skipped for a slot whose address an earlier
    // slot holds.
    static constexpr int Skipped = 2;
    int finish(Slot& s, std::string& cause, Response& r, bool& unchanged) {
        std::string& a = address(s.index);
        if (undecided(s)) {
            auto it = unsure_.find(a);
            if (--it->second == 0) unsure_.erase(it);
        }
        int result = 0;
        switch (s.kind) {
            case Kind::Skip:
                held_.insert(a);
                return Skipped;
            case Kind::Settled:
                result = finish_image(s.plan, {}, &cause, &unchanged);
                break;
            case Kind::Fetching:
                if (s.ticket != 0) {
                    --fetching_;
                    r = inet_.Take(s.ticket);
                }
                result = finish_image(s.plan, r, &cause, &unchanged);
                break;
            case Kind::Open:
                if (held_.count(a) != 0) {
                    held_.insert(a);
                    return Skipped;
                }
                s.plan = prepare_image(a, destination_, policy_, layout_, choice_, stored_);
                note_created(s.plan);
                if (s.plan.fetch)
                    if (const Ticket t = start_image(inet_, s.plan); t != 0) r = inet_.Take(t);
                result = finish_image(s.plan, r, &cause, &unchanged);
                break;
        }
        // A folder this run made and no copy used goes again, whichever
        // slot made it: another slot of the window may have found it made.
        if (result != 1) {
            std::vector<fs::path> made;
            for (const std::string& f : s.footprint.folders)
                if (created_.count(f) != 0) made.emplace_back(f);
            remove_empty_folders(made);
        }
        // A slot not copied is blanked. The crawl lists each address once, so
        // no later slot tries a failed image again within the run.
        if (result != 1) a.clear();
        held_.insert(a);
        return result;
    }

    TransferControl& inet_;
    List& images_;
    const int count_;
    const std::string& destination_;
    const int policy_;
    const int layout_;
    const ImageChoice& choice_;
    std::unordered_map<std::string, WrittenImage> written_;  // by file, this run
    const StoredLookup stored_;

    std::deque<Slot> window_;  // slots head..next_ - 1
    int next_ = 1;
    std::size_t fetching_ = 0;
    // Values of the slots already done: what deja_liste would find there.
    std::unordered_set<std::string> held_;
    // Addresses of the window's slots that may still be copied.
    std::unordered_map<std::string, int> unsure_;
    std::unordered_set<std::string> created_;  // folders this run made
};

}  // namespace

DownloadTally download_images(TransferControl& inet, List& images, int count,
                              const std::string& destination, int policy, int layout,
                              const std::function<void(int)>& copied, std::stop_token stop,
                              const ImageChoice& choice, const StoredLookup& stored) {
    Downloads d(inet, images, count, destination, policy, layout, choice, stored);
    return d.run(copied, stop);
}

}  // namespace psf::m_psf
