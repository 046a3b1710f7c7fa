#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
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

namespace fs = std::filesystem;

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

bool is_link(const fs::path& p) {
    std::error_code ec;
    return fs::symlink_status(p, ec).type() == fs::file_type::symlink;
}

bool entry_exists(const fs::path& p) {
    std::error_code ec;
    auto st = fs::symlink_status(p, ec);
    return !ec && st.type() != fs::file_type::not_found && st.type() != fs::file_type::none;
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

// The policy on a target: none when nothing is to be written (a link, a file
// kept, no free version name), else the version to write, 0 for the target.
std::optional<int> policy_version(const std::string& target, int policy) {
    if (is_link(target)) return std::nullopt;
    if (!entry_exists(target)) return 0;
    if (policy == KeepExisting) return std::nullopt;
    if (policy != NewVersion) return 0;
    for (int n = 1; n <= 30000; ++n)
        if (!entry_exists(version_name(target, n))) return n;
    return std::nullopt;
}

// The validators of a copy present for a fetch of `url`: those of the
// response that wrote it when the record describes this file still, else
// its modification time. A file another address wrote says nothing of
// this one.
Validators validators_of(const fs::path& file, const std::string& url, const StoredLookup& stored) {
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    Validators known;
    if (const auto record = stored ? stored(file.string()) : std::nullopt) {
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
    // answer without a body (a 304) touches no folder.
    bool open(const fs::path& folder, bool now) {
        folder_ = folder;
        return !now || make();
    }

    void compare_with(const fs::path& file) { compared_ = file; }

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
    bool keep(const fs::path& target, std::optional<std::time_t> modified) {
        if (modified) file_.set_modified(*modified);
        if (!file_.commit(target)) return false;
        kept_ = target;
        return true;
    }
    const fs::path& kept() const { return kept_; }
    void discard() {
        file_.discard();
        stop_comparing(match_);
    }
    ~ImageFile() override { stop_comparing(match_); }

    static constexpr std::size_t ErrorPageSize = 1025;  // larger bodies are never tested

  private:
    enum class Match { Unknown, Same, Differs };

    bool make() {
        made_ = file_.open(folder_, ".picsifter-XXXXXX.part", 0666, Durability::Unflushed);
        return made_;
    }

    // The same number of bytes read from the file compared with; its
    // descriptor is held only while the bytes agree and the file has more.
    // Never a link followed, never a wait on a pipe put in its place.
    void compare(std::string_view bytes) {
        if (compared_.empty() || match_ == Match::Differs) return;
        if (match_ == Match::Unknown) {
            struct stat st {};
            compared_fd_ =
                ::open(compared_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
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
        if (compared_fd_ >= 0) ::close(compared_fd_);
        compared_fd_ = -1;
        match_ = m;
        if (m == Match::Unknown) compared_size_ = 0;
    }

    AtomicFile file_;
    fs::path folder_;
    bool made_ = false;
    std::string head_;
    std::size_t size_ = 0;
    fs::path kept_;  // the file the body became
    fs::path compared_;
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

ImagePlan prepare_image(const std::string& address, const std::string& destination, int policy,
                        int layout, const ImageChoice& choice, const StoredLookup& stored) {
    return prepare_image(image_paths(address, destination, layout, choice), address, policy, choice,
                         {}, stored);
}

ImagePlan prepare_image(ImagePaths paths, const std::string& address, int policy,
                        const ImageChoice& choice, const std::stop_token& stop,
                        const StoredLookup& stored) {
    ImagePlan plan;
    plan.result = -1;
    plan.policy = policy;
    plan.choice = choice;
    plan.paths = std::move(paths);
    ImagePaths& p = plan.paths;
    try {
        // The folders of the tree, outermost first, each made when missing.
        const std::size_t count = p.folder_count();
        std::size_t end = p.destination_size;
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t last = end;
            end = std::min(p.target.find('/', end + 1), p.folder_size);
            const fs::path folder(p.target.substr(0, end));
            std::error_code ec;
            const fs::file_type type =
                stop.stop_requested() ? fs::file_type::none : fs::symlink_status(folder, ec).type();
            bool ok = type == fs::file_type::directory;
            if (type == fs::file_type::not_found && fs::create_directory(folder, ec)) {
                ok = true;
                ++plan.made;
            } else if (type == fs::file_type::not_found) {
                const int refused = ec.value();
                ok = fs::is_directory(folder, ec);  // made meanwhile by someone else
                if (!ok) plan.refused_folder = folder.string(), plan.folder_error = refused;
            }
            if (!ok) {
                // The plan keeps the folders made so far, to remove them.
                p.target.resize(last);
                p.folder_size = last;
                p.valid = false;
                return plan;
            }
        }
        if (!p.valid) return plan;
        plan.url = std::string(trim_blanks(address));
        if (!p.late) {
            const std::optional<int> version = policy_version(p.target, policy);
            if (!version) {
                plan.result = is_link(p.target) ? -1 : 0;
                return plan;
            }
            plan.version = *version;
            // The copy this one replaces or follows: the file, or the version before the free one.
            if (entry_exists(p.target)) {
                const fs::path present(version_name(p.target, std::max(0, *version - 1)));
                plan.known = validators_of(present, plan.url, stored);
                if (policy == NewVersion) plan.newest = present;
            }
        }
        plan.fetch = true;
        return plan;
    } catch (const std::bad_alloc&) {
        throw;  // ends the run
    } catch (...) {
        plan.fetch = false;
        plan.result = -1;
        return plan;
    }
}

Ticket start_image(TransferControl& inet, ImagePlan& plan) {
    auto file = std::make_shared<ImageFile>();
    plan.file = file;  // kept also when it cannot be made, to tell why
    if (!file->open(fs::path(plan.paths.folder()), plan.known.empty())) return 0;
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
            if (plan.folder_error != 0)
                why = "cannot create the folder " + plan.refused_folder + ": " +
                      std::error_code(plan.folder_error, std::generic_category()).message();
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
            std::string target = plan.target();
            const std::string ext = late ? kind_extension(r.content_type, plan.choice) : "";
            std::optional<int> version = 0;
            if (late && !ext.empty()) {
                target += "." + ext;
                version = policy_version(target, plan.policy);
            }
            if (late && ext.empty()) {
                why = "not an image of a kind the task takes (" +
                      (r.content_type.empty() ? std::string("no type") : r.content_type) + ")";
                result = 0;
            } else if (!version) {
                result = is_link(target) ? -1 : 0;  // kept by the policy
                if (result < 0) why = "cannot write " + target;
            } else if (target = version_name(target, *version);
                       file->keep(target, parse_http_date(r.last_modified))) {
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
    return WrittenImage{plan.url, file->kept().string(), file->size(), r.last_modified, r.etag};
}

void remove_empty_folders(const ImagePaths& paths, std::size_t count) {
    std::string folder(paths.folder());
    for (std::size_t i = 0; i < count && folder.size() > paths.destination_size; ++i) {
        std::error_code ec;
        if (!fs::remove(folder, ec)) return;  // not empty, or already gone
        folder.resize(folder.rfind('/'));
    }
}

int copie_image(TransferControl& inet, const std::string& address, const std::string& destination,
                int policy, int layout, const ImageChoice& choice) {
    try {
        ImagePlan plan = prepare_image(address, destination, policy, layout, choice);
        int result = plan.result;
        if (plan.fetch) {
            const Ticket ticket = start_image(inet, plan);
            result = finish_image(plan, ticket != 0 ? inet.Take(ticket) : Response{});
        }
        if (result != 1) remove_empty_folders(plan.paths, plan.made);
        return result;
    } catch (...) {
        return -1;
    }
}

}  // namespace psf::m_psf
