// Fetches run ahead of the scans and writes, which still happen one at a time
// in list order. A fetch is started only when the run one call after another
// is sure to make it, so both make the same requests and write the same files.
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/m_psf.h"
#include "platform/text.h"

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

bool all_digits(std::string_view s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// True when `name` may be one of the version names of the file name `of`.
bool version_of(std::string_view name, std::string_view of) {
    const std::size_t keep = of.size() >= 4 ? of.size() - 4 : 0;
    const std::string_view head = of.substr(0, keep), tail = of.substr(keep);
    if (name.size() <= head.size() + tail.size() + 2) return false;
    if (!name.starts_with(head) || !name.ends_with(tail)) return false;
    const std::string_view mark = name.substr(head.size(), 2);
    return mark == "-v" &&
           all_digits(name.substr(head.size() + 2, name.size() - head.size() - tail.size() - 2));
}

// True when the file of `b`, or with version names one of its version names,
// is one of the folders made for `a`. Costs at most the length of b's path.
bool on_tree(const ImagePaths& a, const ImagePaths& b, bool versions) {
    if (!b.valid) return false;
    const std::string_view tree = a.folder(), file = b.target;
    if (tree.starts_with(file) && (tree.size() == file.size() || tree[file.size()] == '/') &&
        file.size() > a.destination_size)
        return true;
    const std::string_view folder = file.substr(0, b.folder_size);
    if (!versions || !tree.starts_with(folder) || tree.size() <= folder.size() ||
        tree[folder.size()] != '/')
        return false;
    const std::size_t end = std::min(tree.find('/', folder.size() + 1), tree.size());
    return end > a.destination_size &&
           version_of(tree.substr(folder.size() + 1, end - folder.size() - 1), b.name());
}

// True when what one copy does may change what the other one does: the
// same file, a name known late or a version name in the same folder, or the
// file of one where the other makes a folder.
bool overlap(const ImagePaths& a, const ImagePaths& b, bool versions) {
    if (a.valid && b.valid) {
        if (a.target == b.target) return true;
        const bool same_folder = a.folder() == b.folder();
        if ((a.late || b.late) && same_folder) return true;
        if (versions && same_folder) {
            // Names of fewer than four characters give version names that
            // are hard to tell apart; keep them in order with their folder.
            if (a.name().size() < 4 || b.name().size() < 4) return true;
            if (version_of(a.name(), b.name()) || version_of(b.name(), a.name())) return true;
        }
    }
    return on_tree(a, b, versions) || on_tree(b, a, versions);
}

enum class Kind {
    Open,      // decided when its turn comes, as the run one call after another does
    Skip,      // an earlier slot is sure to hold the same address
    Settled,   // no fetch: `result` is copie_image's result
    Fetching,  // fetch started; written when its turn comes
};

// A slot of the window. Its plan holds its one path: until the slot is
// decided, only the paths image_paths gives.
struct Slot {
    int index = 0;
    Kind kind = Kind::Open;
    int result = 0;
    ImagePlan plan;
    Ticket ticket = 0;
    // Folders a copy that failed before it made, from the one that ends
    // here down to its own: removed with those it made when left empty if
    // it fails too.
    std::size_t inherited_from = std::string_view::npos;
    std::size_t bytes = 0;  // what it holds, for the window's budget
};

// The window holds at most this many bytes of addresses and paths; each new
// slot is compared with every one, so this also bounds that work.
constexpr std::size_t WindowBytes = 256 * 1024;

// How many image fetches may be under way at once within the process's
// descriptor limit: each may hold three (its temporary file, its folder, the
// file it is compared with), and the connections and the rest keep 128.
std::size_t fetches_within_descriptors() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
    constexpr rlim_t Kept = 128;
    return std::max<std::size_t>(1, limit.rlim_cur > Kept ? (limit.rlim_cur - Kept) / 3 : 0);
}

class Downloads {
  public:
    Downloads(TransferControl& inet, List& images, int count, const std::string& destination,
              int policy, int layout, const ImageChoice& choice, const StoredLookup& stored,
              std::stop_token stop)
        : inet_(inet),
          images_(images),
          count_(count),
          destination_(destination),
          folders_(destination),
          policy_(policy),
          layout_(layout),
          choice_(choice),
          // A file this run wrote is known by what it wrote, before any earlier run.
          stored_([this, &stored](const std::string& file) -> std::optional<WrittenImage> {
              if (auto it = written_.find(file); it != written_.end()) return it->second;
              return stored ? stored(file) : std::nullopt;
          }),
          stop_(std::move(stop)) {}

    DownloadTally run(const std::function<void(int)>& copied) {
        DownloadTally tally;
        try {
            run(copied, tally);
        } catch (const std::bad_alloc&) {
            tally.out_of_memory = true;
            abandon_window();
        }
        if (fetching_ > 0) inet_.Discard();
        return tally;
    }

  private:
    void run(const std::function<void(int)>& copied, DownloadTally& tally) {
        for (int head = 1; head <= count_ && !stop_.stop_requested(); ++head) {
            const std::size_t ahead = std::max<std::size_t>(1, inet_.LookAhead());
            while (next_ <= count_ && fetching_ < std::min(ahead, most_fetching_) &&
                   window_.size() < 16 * ahead && (window_.empty() || bytes_ < WindowBytes) &&
                   !stop_.stop_requested())
                decide(next_++);
            // A stopped run leaves the window as it is: its temporary files go
            // with it, and nothing more is written.
            if (window_.empty() || stop_.stop_requested()) break;
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
                const int refused = destination_error(s.plan);
                if (refused != 0 && tally.unwritten++ == 0) tally.unwritten_error = refused;
                if (no_room(refused)) {
                    tally.full_error = refused;
                    tally.left = count_ - head;
                    abandon_window();
                    break;
                }
            } else if (result != Skipped) {
                ++tally.present;
            }
            bytes_ -= s.bytes;
            window_.pop_front();
        }
    }

    std::string& address(int k) { return images_[static_cast<std::size_t>(k)]; }

    // Whether the destination refused a write for want of room, which no
    // later image would find either.
    static bool no_room(int error) { return error == ENOSPC || error == EDQUOT; }

    // The downloads end early: the fetches under way are dropped, with their
    // temporary files, and the folders made for them go when left empty.
    void abandon_window() {
        inet_.Discard();
        fetching_ = 0;
        for (Slot& s : window_) s.plan.file.reset();
        for (const Slot& s : window_) remove_empty_folders(folders_, s.plan.paths, removable(s));
        window_.clear();
    }

    // Whether the slot may still hold its address when a later slot's turn
    // comes.
    static bool undecided(const Slot& s) {
        return s.kind == Kind::Open || s.kind == Kind::Fetching;
    }

    void decide(int k) {
        Slot s;
        s.index = k;
        const std::string& a = address(k);
        ImagePaths paths = image_paths(a, destination_, layout_, choice_);
        if (held_.count(a) != 0) {
            s.kind = Kind::Skip;  // slots already done never change again
        } else if (a.empty() || unsure_.count(a) != 0 || overlaps_window(paths)) {
            // An earlier slot of the same address may yet be blanked, or an
            // earlier copy may yet change the files this one depends on.
            s.kind = Kind::Open;
            s.plan.paths = std::move(paths);
        } else {
            s.plan = prepare_image(folders_, std::move(paths), a, policy_, choice_, stop_, stored_);
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
        s.bytes = a.size() + s.plan.paths.target.size();
        bytes_ += s.bytes;
        window_.push_back(std::move(s));
    }

    bool overlaps_window(const ImagePaths& p) const {
        const bool versions = policy_ == NewVersion;
        return std::any_of(window_.begin(), window_.end(), [&](const Slot& s) {
            return undecided(s) && overlap(s.plan.paths, p, versions);
        });
    }

    // Folders a failed copy made, or inherited, that stay (a later copy's
    // file is under way below them) go with that copy if it fails too.
    void hand_on_folders(const Slot& failed, std::size_t count) {
        if (count == 0) return;
        const ImagePaths& p = failed.plan.paths;
        std::size_t from = p.folder_size;  // where the outermost of them ends
        for (std::size_t i = 1; i < count; ++i) from = p.target.rfind('/', from - 1);
        const std::string_view outermost = p.folder().substr(0, from);
        for (Slot& s : window_) {
            const std::string_view tree = s.plan.paths.folder();
            if (&s != &failed && tree.starts_with(outermost) &&
                (tree.size() == from || tree[from] == '/'))
                s.inherited_from = std::min(s.inherited_from, from);
        }
    }

    // How many of the slot's folders it removes when it fails.
    static std::size_t removable(const Slot& s) {
        const ImagePaths& p = s.plan.paths;
        std::size_t inherited = 0;
        if (s.inherited_from <= p.folder_size) {
            const std::string_view below = p.folder().substr(s.inherited_from);
            inherited = 1 + static_cast<std::size_t>(std::count(below.begin(), below.end(), '/'));
        }
        return std::max(inherited, s.plan.made);
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
                s.plan = prepare_image(folders_, std::move(s.plan.paths), a, policy_, choice_,
                                       stop_, stored_);
                if (s.plan.fetch)
                    if (const Ticket t = start_image(inet_, s.plan); t != 0) r = inet_.Take(t);
                result = finish_image(s.plan, r, &cause, &unchanged);
                break;
        }
        if (result != 1) {
            const std::size_t count = removable(s);
            remove_empty_folders(folders_, s.plan.paths, count);
            hand_on_folders(s, count);
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
    Destination folders_;  // opened once for the run
    const int policy_;
    const int layout_;
    const ImageChoice& choice_;
    std::unordered_map<std::string, WrittenImage> written_;  // by file, this run
    const StoredLookup stored_;
    const std::stop_token stop_;

    std::deque<Slot> window_;  // slots head..next_ - 1
    std::size_t bytes_ = 0;    // held by the window's slots
    int next_ = 1;
    std::size_t fetching_ = 0;
    const std::size_t most_fetching_ = fetches_within_descriptors();
    // Values of the slots already done: what deja_liste would find there.
    // They are views of the list's slots, which no longer change.
    std::unordered_set<std::string_view> held_;
    // Addresses of the window's slots that may still be copied.
    std::unordered_map<std::string, int> unsure_;
};

}  // namespace

DownloadTally download_images(TransferControl& inet, List& images, int count,
                              const std::string& destination, int policy, int layout,
                              const std::function<void(int)>& copied, std::stop_token stop,
                              const ImageChoice& choice, const StoredLookup& stored) {
    Downloads d(inet, images, count, destination, policy, layout, choice, stored, std::move(stop));
    return d.run(copied);
}

}  // namespace psf::m_psf
