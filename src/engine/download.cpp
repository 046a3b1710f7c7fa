#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <initializer_list>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <system_error>

#include "engine/m_psf.h"
#include "platform/atomic_file.h"
#include "platform/http_date.h"
#include "platform/text.h"

namespace psf::m_psf {

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string percent_decoded(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        int hi = 0, lo = 0;
        if (s[i] == '%' && i + 2 < s.size() && (hi = hex_value(s[i + 1])) >= 0 &&
            (lo = hex_value(s[i + 2])) >= 0) {
            out.push_back(static_cast<char>(hi * 16 + lo));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

// A file or folder name taken from a server's address may only name an entry
// inside its folder: no "." or "..", no separator, no NUL, also once
// percent-decoded (a server may decode what we keep encoded).
bool safe_component(std::string_view name) {
    if (name.empty()) return false;
    for (const std::string& form : {std::string(name), percent_decoded(name)}) {
        if (form == "." || form == "..") return false;
        if (form.find_first_of(std::string_view("/\\\0", 3)) != std::string::npos) return false;
    }
    return true;
}

// The entries of a folder held open, never a link followed.
bool is_link(const Folder& folder, const std::string& name) {
    struct stat st {};
    return ::fstatat(folder.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISLNK(st.st_mode);
}

bool entry_exists(const Folder& folder, const std::string& name) {
    struct stat st {};
    return ::fstatat(folder.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// Other programs could not open a file by a path this long.
bool too_long(std::string_view path) {
    return path.size() >= PATH_MAX;
}

std::string too_long_text(std::string_view path) {
    return "its path would be longer than the system allows (" + std::to_string(path.size()) +
           " bytes)";
}

std::string error_text(int error) {
    return std::error_code(error, std::generic_category()).message();
}

// The folder between two separators of `path` (or from its start).
std::string component(std::string_view path, std::size_t last, std::size_t end) {
    const std::size_t from = last + (path[last] == '/' ? 1 : 0);
    return std::string(path.substr(from, end - from));
}

// The folder `name` in `at`, made when missing (counted in `made`). Invalid
// when there is none to enter; `error` is then why the destination refused
// it, 0 for a link or a file in its place.
Folder enter_or_make(const Folder& at, const std::string& name, std::size_t& made, int& error) {
    Folder next = at.enter(name);
    if (!next.valid() && errno == ENOENT) {
        const bool made_now = ::mkdirat(at.fd(), name.c_str(), 0777) == 0;
        if (!made_now && errno != EEXIST) return error = errno, Folder();
        next = at.enter(name);  // made now, or meanwhile by someone else
        // Counted only when on the path: one swapped away meanwhile is not,
        // and counting it would have an emptied path remove a folder too many.
        if (made_now && next.valid()) ++made;
    }
    if (!next.valid() && errno != ELOOP && errno != ENOTDIR) error = errno;
    return next;
}

bool looks_like_error_page(const std::string& body) {
    return body.find("404") != std::string::npos || body.find("403") != std::string::npos ||
           find_nocase(body, "html") != std::string::npos;
}

// The first tag of a text, past a byte-order mark, blanks, comments and XML
// declarations; empty when the text does not begin with markup.
std::string_view first_tag(std::string_view s) {
    if (s.starts_with("\xEF\xBB\xBF")) s.remove_prefix(3);
    for (;;) {
        while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
            s.remove_prefix(1);
        const std::string_view close = s.starts_with("<!--") ? "-->"
                                       : s.starts_with("<?") ? "?>"
                                                             : "";
        if (close.empty()) break;
        const std::size_t end = s.find(close);
        if (end == std::string_view::npos) return {};
        s.remove_prefix(end + close.size());
    }
    return s.starts_with('<') ? s : std::string_view{};
}

// Whether a text begins with a tag of `names` ("<name" then a blank or ">").
bool begins_with_tag(std::string_view s, std::initializer_list<std::string_view> names) {
    const std::string_view tag = first_tag(s);
    if (tag.empty()) return false;
    for (std::string_view name : names) {
        if (!starts_with_nocase(tag.substr(1), name)) continue;
        const std::size_t after = name.size() + 1;
        if (after < tag.size() &&
            (std::isspace(static_cast<unsigned char>(tag[after])) || tag[after] == '>'))
            return true;
    }
    return false;
}

bool html_document(std::string_view head) {
    return begins_with_tag(head, {"!doctype html", "html", "head", "body", "script", "iframe", "h1",
                                  "div", "font", "table", "a", "style", "title", "b", "br", "p"});
}

// The name a version number gives: the number goes before the last four
// characters of the file's name.
std::string version_name(std::string_view target, int n) {
    if (n == 0) return std::string(target);
    const std::size_t name = target.rfind('/') + 1;  // npos + 1 is 0
    const std::size_t keep = target.size() - name >= 4 ? target.size() - 4 : name;
    return std::string(target.substr(0, keep)) + "-v" + std::to_string(n) +
           std::string(target.substr(keep));
}

// The policy on the file `name` of a folder: none when nothing is to be
// written (a link, a file kept, no free version name), else the version to
// write, 0 for the name itself.
std::optional<int> policy_version(const Folder& folder, const std::string& name, int policy) {
    if (is_link(folder, name)) return std::nullopt;
    if (!entry_exists(folder, name)) return 0;
    if (policy == KeepExisting) return std::nullopt;
    if (policy != NewVersion) return 0;
    for (int n = 1; n <= 30000; ++n)
        if (!entry_exists(folder, version_name(name, n))) return n;
    return std::nullopt;
}

// The validators of a copy present (`name` in `folder`, `file` its path) for
// a fetch of `url`: those of the response that wrote it when the record
// describes this file still, else its modification time. A file another
// address wrote says nothing of this one.
Validators validators_of(const Folder& folder, const std::string& name, const std::string& file,
                         const std::string& url, const StoredLookup& stored) {
    struct stat st {};
    if (::fstatat(folder.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        return {};
    Validators known;
    if (const auto record = stored ? stored(file) : std::nullopt) {
        if (record->address != url) return {};
        if (record->size == static_cast<std::uint64_t>(st.st_size))
            known = {record->etag, record->last_modified};
    }
    if (known.last_modified.empty()) known.last_modified = http_date(st.st_mtime);
    return known;
}

}  // namespace

// The body of one image, streamed to a temporary file beside the target and
// renamed over it once whole, so the target is either the old file or the
// whole new one. Images are not flushed one by one: a crash of the program
// cannot leave a partial image, and a flush per image would slow every run.
// A body may be compared, as it arrives, with a file present.
class ImageFile final : public BodySink {
  public:
    // The temporary is made now, or else with the first byte, so that an
    // answer without a body (a 304) touches no folder. The folder is held
    // until the body is kept or dropped.
    bool open(std::shared_ptr<const Folder> folder, bool now) {
        folder_ = std::move(folder);
        return !now || make();
    }

    // The file `name` of the folder.
    void compare_with(const std::string& name) { compared_ = name; }
    const Folder& folder() const { return *folder_; }

    bool Write(std::string_view bytes) override {
        if (bytes.empty()) return true;
        if (!made_ && !make()) return false;
        if (head_.size() <= ErrorPageSize)
            head_.append(bytes.substr(0, ErrorPageSize + 1 - head_.size()));
        compare(bytes);
        size_ += bytes.size();
        return file_.write(bytes);
    }

    void Restart() override {
        head_.clear();
        size_ = 0;
        if (made_) file_.restart();
        stop_comparing(Match::Unknown);
    }

    bool failed() const { return file_.failed(); }
    std::string error() const { return file_.error(); }
    int error_number() const { return file_.error_number(); }
    std::size_t size() const { return size_; }
    // The first bytes, enough for the error-page test.
    const std::string& head() const { return head_; }
    // The whole body arrived equal to the file compared with.
    bool identical() const { return match_ == Match::Same && size_ == compared_size_; }
    // The body becomes the file `name` of the folder, whose path is `target`.
    bool keep(const std::string& name, const std::string& target,
              std::optional<std::time_t> modified) {
        if (modified) file_.set_modified(*modified);
        if (!file_.commit(name)) return false;
        kept_ = target;
        folder_.reset();
        return true;
    }
    const std::string& kept() const { return kept_; }
    void discard() {
        file_.discard();
        stop_comparing(match_);
        folder_.reset();
    }
    ~ImageFile() override { stop_comparing(match_); }

    static constexpr std::size_t ErrorPageSize = 1025;  // larger bodies are never tested

  private:
    enum class Match { Unknown, Same, Differs };

    bool make() {
        made_ =
            folder_ && file_.open(folder_, ".picsifter-XXXXXX.part", 0666, Durability::Unflushed);
        return made_;
    }

    // The same number of bytes read from the file compared with; its
    // descriptor is held only while the bytes agree and the file has more.
    // Never a link followed, never a wait on a pipe put in its place.
    void compare(std::string_view bytes) {
        if (compared_.empty() || match_ == Match::Differs) return;
        if (match_ == Match::Unknown) {
            struct stat st {};
            compared_fd_ = folder_ ? ::openat(folder_->fd(), compared_.c_str(),
                                              O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)
                                   : -1;
            if (compared_fd_ < 0 || ::fstat(compared_fd_, &st) != 0 || !S_ISREG(st.st_mode))
                return stop_comparing(Match::Differs);
            compared_size_ = static_cast<std::size_t>(st.st_size);
            match_ = Match::Same;
        }
        if (bytes.size() > compared_size_ - size_) return stop_comparing(Match::Differs);
        buffer_.resize(bytes.size());
        for (std::size_t got = 0; got < bytes.size();) {
            const ssize_t n = ::pread(compared_fd_, buffer_.data() + got, bytes.size() - got,
                                      static_cast<off_t>(size_ + got));
            if (n <= 0 && !(n < 0 && errno == EINTR)) return stop_comparing(Match::Differs);
            got += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        if (std::string_view(buffer_.data(), bytes.size()) != bytes)
            return stop_comparing(Match::Differs);
        if (size_ + bytes.size() == compared_size_) stop_comparing(Match::Same);
    }

    void stop_comparing(Match m) {
        // Only read from: a failed close loses nothing.
        if (compared_fd_ >= 0) static_cast<void>(::close(compared_fd_));
        compared_fd_ = -1;
        match_ = m;
        if (m == Match::Unknown) compared_size_ = 0;
    }

    AtomicFile file_;
    std::shared_ptr<const Folder> folder_;
    bool made_ = false;
    std::string head_;
    std::size_t size_ = 0;
    std::string kept_;  // the file the body became
    std::string compared_;
    int compared_fd_ = -1;
    std::size_t compared_size_ = 0;
    Match match_ = Match::Unknown;
    std::vector<char> buffer_;
};

std::string not_an_image(std::string_view content_type, std::string_view head,
                         const ImageChoice& choice) {
    const std::string type = media_type(content_type);
    const bool svg_as_text = type == "text/xml" && takes_kind(choice, "svg") &&
                             begins_with_tag(head, {"svg", "!doctype svg"});
    if ((type.starts_with("text/") && !svg_as_text) || type == "application/xhtml+xml")
        return "not an image (" + type + ")";
    if (html_document(head))
        return "not an image (an HTML document sent " +
               (type.empty() ? std::string("without a type") : "as " + type) + ")";
    return {};
}

std::string_view ImagePaths::folder() const {
    if (folder_size == 0 && !target.empty()) return "/";  // a name in the root folder
    return std::string_view(target).substr(0, folder_size);
}

std::string_view ImagePaths::name() const {
    return valid ? std::string_view(target).substr(folder_size + 1) : std::string_view{};
}

std::size_t ImagePaths::folder_count() const {
    if (folder_size <= destination_size) return 0;
    const std::string_view below = folder().substr(destination_size + 1);
    return 1 + static_cast<std::size_t>(std::count(below.begin(), below.end(), '/'));
}

std::string ImagePlan::target() const {
    return version_name(paths.target, version);
}

ImagePaths image_paths(const std::string& address, const std::string& destination, int layout,
                       const ImageChoice& choice) {
    ImagePaths p;
    // Nothing is ever written relative to the current folder.
    if (destination.empty() || destination.front() != '/') return p;
    p.target = destination;
    p.destination_size = p.folder_size = destination.size();
    // As a path object appends: a separator unless one ends the text.
    auto append = [&p](std::string_view part) {
        if (p.target.back() != '/') p.target += '/';
        p.target += part;
    };
    // Beyond the described scan the query names no folder and no file.
    const std::string_view path = described_scan(choice)
                                      ? std::string_view(address)
                                      : std::string_view(address).substr(0, address.find('?'));
    if (layout == TreeLayout) {
        const std::string site = vers_antislash(chemin_site(trim_blanks(path)));
        std::size_t start = 0;
        while (start < site.size()) {
            std::size_t slash = site.find('/', start);
            if (slash == std::string::npos) slash = site.size();
            const std::string_view part = std::string_view(site).substr(start, slash - start);
            start = slash + 1;
            if (part.empty()) continue;  // a doubled slash adds no level
            if (!safe_component(part)) return p;
            append(part);
            p.folder_size = p.target.size();
        }
    }
    std::string name = image_name(address, choice);
    if (!described_scan(choice)) {
        const std::size_t dot = name.rfind('.');
        if (dot == std::string::npos || !known_kind(std::string_view(name).substr(dot + 1))) {
            p.late = true;
            if (name.empty()) {  // a folder address: its last segment
                const std::string_view dir = trim_blanks(path.substr(0, path.rfind('/')));
                const std::size_t scheme = dir.find("//");
                const std::size_t slash = dir.rfind('/');
                if (scheme != std::string_view::npos && slash > scheme + 1 &&
                    dir.find('/', scheme + 2) != std::string_view::npos)
                    name = nom_fichier(dir);
            }
            if (name.empty()) name = "image";
        }
    }
    if (!safe_component(name)) return p;
    append(name);
    p.folder_size = p.target.size() - name.size() - 1;  // up to the separator before the name
    p.valid = true;
    return p;
}

Destination::Destination(const std::string& folder) : path_(folder) {
    // Nothing is ever written relative to the current folder.
    Folder opened = folder.starts_with('/') ? Folder::open(folder) : Folder();
    error_ = opened.valid() ? 0 : folder.starts_with('/') ? errno : EINVAL;
    root_ = std::make_shared<const Folder>(std::move(opened));
}

std::shared_ptr<const Folder> Destination::shared(Folder&& folder) {
    if (auto last = last_.lock(); last && last->identity() == folder.identity()) return last;
    auto held = std::make_shared<const Folder>(std::move(folder));
    last_ = held;
    return held;
}

ImagePlan prepare_image(Destination& destination, ImagePaths paths, const std::string& address,
                        int policy, const ImageChoice& choice, const std::stop_token& stop,
                        const StoredLookup& stored) {
    ImagePlan plan;
    plan.result = -1;
    plan.policy = policy;
    plan.choice = choice;
    plan.paths = std::move(paths);
    ImagePaths& p = plan.paths;
    try {
        if (p.target.empty()) return plan;  // no destination to write in
        if (destination.error() != 0) {
            plan.folder_error = destination.error();
            plan.refusal =
                "cannot write in " + destination.path() + ": " + error_text(plan.folder_error);
            return plan;
        }
        if (too_long(p.target)) {
            plan.refusal = too_long_text(p.target);
            return plan;
        }
        // The folders of the tree, outermost first, each entered from the one
        // before it and made when missing.
        Folder below;
        const Folder* at = &destination.root();
        const std::size_t count = p.folder_count();
        std::size_t end = p.destination_size;
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t last = end;
            end = std::min(p.target.find('/', end + 1), p.folder_size);
            int refused = 0;
            Folder next = stop.stop_requested() ? Folder()
                                                : enter_or_make(*at, component(p.target, last, end),
                                                                plan.made, refused);
            if (!next.valid()) {
                if (refused != 0) {
                    plan.folder_error = refused;
                    plan.refusal = "cannot create the folder " + p.target.substr(0, end) + ": " +
                                   error_text(refused);
                }
                // The plan keeps the folders made so far, to remove them.
                p.target.resize(last);
                p.folder_size = last;
                p.valid = false;
                return plan;
            }
            below = std::move(next);
            at = &below;
        }
        if (!p.valid) return plan;
        std::shared_ptr<const Folder> folder =
            count == 0 ? destination.shared_root() : destination.shared(std::move(below));
        plan.url = std::string(trim_blanks(address));
        if (!p.late) {
            const std::string name(p.name());
            const std::optional<int> version = policy_version(*folder, name, policy);
            if (!version) {
                plan.result = is_link(*folder, name) ? -1 : 0;
                return plan;
            }
            plan.version = *version;
            // The copy this one replaces or follows: the file, or the version before the free one.
            if (entry_exists(*folder, name)) {
                const int present = std::max(0, *version - 1);
                plan.known = validators_of(*folder, version_name(name, present),
                                           version_name(p.target, present), plan.url, stored);
                if (policy == NewVersion) plan.newest = version_name(name, present);
            }
        }
        plan.folder = std::move(folder);
        plan.fetch = true;
        return plan;
    } catch (const std::bad_alloc&) {
        throw;  // ends the run
    } catch (...) {
        plan.fetch = false;
        plan.result = -1;
        plan.folder.reset();
        return plan;
    }
}

Ticket start_image(TransferControl& inet, ImagePlan& plan) {
    auto file = std::make_shared<ImageFile>();
    plan.file = file;  // kept also when it cannot be made, to tell why
    if (!file->open(std::move(plan.folder), plan.known.empty())) return 0;
    if (!plan.newest.empty()) file->compare_with(plan.newest);
    return inet.Start(plan.url, DataType::Bytes, std::move(file), plan.known);
}

int finish_image(const ImagePlan& plan, const Response& r, std::string* cause, bool* unchanged) {
    std::string why;
    int result = -1;
    bool same = false;
    ImageFile* file = plan.file.get();
    try {
        if (!plan.fetch) {
            result = plan.result;
            if (!plan.refusal.empty())
                why = plan.refusal;
            else if (result < 0)
                why = "no file name or folder can be made from the address";
        } else if (file == nullptr || file->failed()) {
            why = "cannot write in " + std::string(plan.paths.folder()) +
                  (file != nullptr ? ": " + file->error() : "");
        } else if (!r.ok || r.status >= 400) {
            why = cause_text(r);
            result = r.ok ? 0 : -1;  // an error page is never an image
        } else if (r.status == 304 && !plan.known.empty()) {
            same = true;
            result = 0;
        } else if (file->size() == 0) {
            why = "empty response";
        } else if (why = not_an_image(r.content_type, file->head(), plan.choice); !why.empty()) {
            result = 0;
        } else if (file->size() <= ImageFile::ErrorPageSize &&
                   looks_like_error_page(file->head())) {
            why = "small response that looks like an error page";
            result = 0;
        } else if (file->identical()) {
            same = true;  // a new version of the same bytes would tell nothing new
            result = 0;
        } else {
            const bool late = plan.paths.late;
            const std::size_t name_at = plan.paths.folder_size + 1;
            std::string target = plan.target();
            const std::string ext = late ? kind_extension(r.content_type, plan.choice) : "";
            std::optional<int> version = 0;
            if (late && !ext.empty()) {
                target += "." + ext;
                version = policy_version(file->folder(), target.substr(name_at), plan.policy);
            }
            if (late && ext.empty()) {
                why = "not an image of a kind the task takes (" +
                      (r.content_type.empty() ? std::string("no type") : r.content_type) + ")";
                result = 0;
            } else if (!version) {
                result = is_link(file->folder(), target.substr(name_at)) ? -1 : 0;  // kept
                if (result < 0) why = "cannot write " + target;
            } else if (target = version_name(target, *version); too_long(target)) {
                why = "cannot write " + target + ": " + too_long_text(target);
            } else if (file->keep(target.substr(name_at), target,
                                  parse_http_date(r.last_modified))) {
                result = 1;
            } else {
                why = "cannot write " + target + ": " + file->error();
            }
        }
    } catch (const std::bad_alloc&) {
        throw;  // ends the run
    } catch (...) {
        why = "cannot write the file";
        result = -1;
        same = false;
    }
    if (file != nullptr && result != 1) file->discard();
    if (cause != nullptr) *cause = why;
    if (unchanged != nullptr) *unchanged = same;
    return result;
}

int destination_error(const ImagePlan& plan) {
    if (plan.folder_error != 0) return plan.folder_error;
    return plan.file && plan.file->failed() ? plan.file->error_number() : 0;
}

std::optional<WrittenImage> written_image(const ImagePlan& plan, const Response& r) {
    const ImageFile* file = plan.file.get();
    if (file == nullptr || file->kept().empty()) return std::nullopt;
    return WrittenImage{plan.url, file->kept(), file->size(), r.last_modified, r.etag};
}

void remove_empty_folders(const Destination& destination, const ImagePaths& paths,
                          std::size_t count) {
    const std::size_t depth = paths.folder_count();
    count = std::min(count, depth);
    if (count == 0 || destination.error() != 0) return;
    // Down to the deepest folder one name at a time, noting which folder
    // holds each one to remove; then back up through "..", each step checked
    // against those notes (a folder moved meanwhile ends it). Two descriptors
    // at a time, however deep the tree.
    const std::string_view path = paths.target;
    std::vector<std::pair<dev_t, ino_t>> holders;
    holders.reserve(count);
    Folder below;
    const Folder* at = &destination.root();
    std::size_t end = paths.destination_size;
    for (std::size_t i = 0; i < depth; ++i) {
        const std::size_t last = end;
        end = std::min(path.find('/', end + 1), paths.folder_size);
        if (i >= depth - count) holders.push_back(at->identity());
        below = at->enter(component(path, last, end));
        if (!below.valid()) return;  // gone already, or a link in its place
        at = &below;
    }
    for (std::size_t k = count; k-- > 0;) {
        Folder holder = below.enter("..");
        const std::size_t last = path.rfind('/', end - 1);
        if (!holder.valid() || holder.identity() != holders[k] ||
            ::unlinkat(holder.fd(), component(path, last, end).c_str(), AT_REMOVEDIR) != 0)
            return;  // not empty, or not where it was
        below = std::move(holder);
        end = last;
    }
}

int copie_image(TransferControl& inet, const std::string& address, const std::string& destination,
                int policy, int layout, const ImageChoice& choice) {
    try {
        Destination dest(destination);
        ImagePlan plan = prepare_image(dest, image_paths(address, destination, layout, choice),
                                       address, policy, choice);
        int result = plan.result;
        if (plan.fetch) {
            const Ticket ticket = start_image(inet, plan);
            result = finish_image(plan, ticket != 0 ? inet.Take(ticket) : Response{});
        }
        if (result != 1) remove_empty_folders(dest, plan.paths, plan.made);
        return result;
    } catch (...) {
        return -1;
    }
}

}  // namespace psf::m_psf
