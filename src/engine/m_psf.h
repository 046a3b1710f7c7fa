// The retrieval engine: free operations over strings and the lists passed to
// them. No state of its own; the network only through the transfer control.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/folder.h"
#include "platform/transfer.h"

namespace psf::m_psf {

// What copie_image does with a file that exists, and where it puts images.
inline constexpr int KeepExisting = 1;
inline constexpr int ReplaceExisting = 2;
inline constexpr int NewVersion = 3;
inline constexpr int FlatLayout = 1;
inline constexpr int TreeLayout = 2;

// The images a task takes beyond the described scan. The default is the
// described scan: `.gif`, `.jpg` and `.jpeg` named in src= and href= only.
struct ImageChoice {
    std::vector<std::string> kinds;  // lower-case extensions; empty: gif, jpg, jpeg
    bool modern = false;             // also srcset, data-src, CSS url(), og:image and the like
    bool srcset_all = false;         // every srcset candidate, not only the largest
};

// The kinds a task may take, by their usual extension; the first three are
// the described ones.
inline constexpr std::array<std::string_view, 9> ImageKinds = {"gif",  "jpg", "jpeg", "png", "webp",
                                                               "avif", "svg", "bmp",  "ico"};

// True when the choice is the described scan: no modern markup, and no kind
// beyond gif, jpg and jpeg. Such a run scans and names files exactly as the
// described one does.
bool described_scan(const ImageChoice& c);
// Whether the extension is one of ImageKinds (any letter case).
bool known_kind(std::string_view ext);
// Whether the task takes images with this extension (any letter case).
bool takes_kind(const ImageChoice& c, std::string_view ext);
// The file name an image is stored under: nom_fichier, and beyond the
// described scan without the query ("x.jpg?w=1" gives "x.jpg").
std::string image_name(std::string_view address, const ImageChoice& c);
// The usual extension of an "image/…" content type of a kind the task takes;
// empty for any other type.
std::string kind_extension(std::string_view content_type, const ImageChoice& c);

// ---- Address operations (url.cpp) -------------------------------------------

std::string racine_url(std::string_view s);      // "scheme://host/" or empty
std::string repertoire_url(std::string_view s);  // up to and including the last "/", or empty
std::string nom_fichier(std::string_view s);     // file-name part, possibly empty
std::string chemin_site(std::string_view s);     // "host/dir/…/" without scheme, or empty
std::string vers_antislash(std::string_view s);  // folder separator of this platform ("/")
// The address without its fragment: a "#" starts it, wherever it stands.
std::string_view without_fragment(std::string_view address);
// Empty when unresolvable or longer than MaxAddressLength; without fragment or
// dot segments.
std::string url_absolue(std::string_view page, std::string_view link);
// True for a link that names a scheme other than http or https ("mailto:",
// "ftp:", "javascript:", "data:", "news:", any "scheme:" form).
bool has_other_scheme(std::string_view link);
bool autre_site(std::string_view p, std::string_view a);

// ---- Name filters (filters.cpp) -----------------------------------------------

// 4 rows by 3 columns: column 0 the name pattern, column 2 the type.
using FilterTable = std::array<std::array<std::string, 3>, 4>;

bool image_retenue(std::string_view name, const FilterTable& include, const FilterTable& exclude);
bool motif_correspond(std::string_view base, std::string_view ext, std::string_view pattern,
                      std::string_view type);
std::optional<int> code_type(std::string_view type);  // "*" 0, "gif" 1, "jpg" 2, "jpeg" 3

// ---- Crawl (crawl.cpp) --------------------------------------------------------

inline constexpr int ListSlots = 10000;
inline constexpr int ListLimit = 9990;

using List = std::vector<std::string>;  // slot 0 unused; ListSlots slots

// Element 0: images found; element 1: pages found.
using Counters = std::array<std::int16_t, 2>;

// Which of slots 1..n of a list hold a text, as deja_liste tells, without a
// scan of the list for each text: each slot is indexed once, when the count
// first reaches it. Slots indexed must not change (a list that shrank is
// indexed afresh).
class ListIndex {
  public:
    bool listed(std::string_view text, const List& list, int n);

  private:
    const List* list_ = nullptr;
    std::size_t indexed_ = 0;                                  // slots 1..indexed_
    std::unordered_multimap<std::size_t, std::size_t> slots_;  // a text's hash, its slot
};

// What the scans of a run note beyond the lists, and the run's stop, which
// long scans honour. Style sheets are a page's own markup: neither pages nor
// images in the counts.
struct ScanNotes {
    std::stop_token stop;
    // Same-site style sheets named by the pages scanned and not yet read, in
    // order, and every one named so far this run.
    std::deque<std::string> style_sheets;
    std::unordered_set<std::string> style_sheets_named;
    int style_sheets_read = 0;
    std::uint64_t style_sheet_bytes = 0;  // received for them
    // Values longer than MaxAddressLength, dropped: how many, and the first
    // few (the page's address, the value's beginning).
    int too_long = 0;
    std::vector<std::pair<std::string, std::string>> too_long_named;
    // The lists' entries, for the duplicate tests of every page of the run.
    ListIndex pages_listed;
    ListIndex images_listed;
};

inline constexpr int MaxStyleSheets = 200;  // read in one run
inline constexpr std::size_t NamedTooLong = 20;

struct CrawlState {
    List PageList = List(ListSlots);
    List ImageList = List(ListSlots);
    std::int16_t PagesFound = 0;
    std::int16_t ImagesFound = 0;
    std::int16_t PagesRead = 0;
    Counters CrawlCounters{};
    ScanNotes Notes;  // reset with the counts at the start of a run
};

std::string sans_retours(std::string_view text);
bool deja_liste(std::string_view text, const List& list, int n);

// Scans one page: 1 when the scan ran to its end, -1 when it ended early.
int analyse_page(TransferControl& inet, const std::string& page, const FilterTable& include,
                 const FilterTable& exclude, List& images, List& pages, Counters& counters,
                 const ImageChoice& choice = {});

// The scan of a page already fetched: what analyse_page does after its fetch.
int scan_response(const std::string& page, const Response& r, const FilterTable& include,
                  const FilterTable& exclude, List& images, List& pages, Counters& counters,
                  const ImageChoice& choice = {}, ScanNotes* notes = nullptr);

// The scan itself on an already fetched text; `base` is the address links
// resolve against (the page's final address after redirects). The described
// scan searches the text for src= and href=; with modern markup the page is
// read as a browser reads it instead (markup.cpp).
void scan_page_text(std::string_view text, std::string_view base, const FilterTable& include,
                    const FilterTable& exclude, List& images, List& pages, Counters& counters,
                    const ImageChoice& choice = {}, ScanNotes* notes = nullptr);

// The images named by a style sheet fetched from `address`, and the style
// sheets it imports (into `notes`).
void scan_style_sheet(std::string_view css, std::string_view address, const FilterTable& include,
                      const FilterTable& exclude, List& images, Counters& counters,
                      const ImageChoice& choice, ScanNotes& notes);

// Whether a response that should be an image is not one: a type that says
// HTML, XHTML or text, or, whatever the type, first bytes that begin an HTML
// document. Returns the cause ("not an image (text/html)"), empty for an
// image. An SVG sent as text/xml is an image when the task takes SVG.
std::string not_an_image(std::string_view content_type, std::string_view head,
                         const ImageChoice& choice);

// ---- Download (download.cpp) --------------------------------------------------

// 1 written, 0 nothing written by decision, -1 error.
int copie_image(TransferControl& inet, const std::string& address, const std::string& destination,
                int policy, int layout, const ImageChoice& choice = {});

// copie_image in its three steps, so that fetches can run ahead of the writes.

// The file copie_image would write before any version name, and the folders
// it would create, from the strings alone. Paths are held as text: a path
// object keeps each of its components apart, so a deep one costs many times
// its length. The folders made for the image are the prefixes of folder()
// longer than the destination that end at a "/" or at its end.
// `valid` is false when the address gives no usable path; `target` is then
// the deepest folder named before the fault. `late`: beyond the described
// scan, an address whose name has no image extension; its name is the last
// path segment plus the extension of the type the response says, known only
// after the fetch.
struct ImagePaths {
    std::string target;
    std::size_t folder_size = 0;       // folder(): the first folder_size characters
    std::size_t destination_size = 0;  // the destination: the first destination_size characters
    bool valid = false;
    bool late = false;

    std::string_view folder() const;
    std::string_view name() const;  // empty when not valid
    // How many folders are made for the image (its tree below the destination).
    std::size_t folder_count() const;
};
ImagePaths image_paths(const std::string& address, const std::string& destination, int layout,
                       const ImageChoice& choice = {});

class ImageFile;  // the temporary file a body is streamed into

// The destination folder of a run, opened once. Every folder below it is
// reached from it one name at a time, never through a link, and every file
// is made, renamed and removed relative to its folder held open: a link
// swapped into the tree during the run leads nothing outside.
class Destination {
  public:
    explicit Destination(const std::string& folder);  // an absolute path, links in it followed
    const std::string& path() const { return path_; }
    int error() const { return error_; }  // why it could not be opened; 0 when it was
    const Folder& root() const { return *root_; }
    std::shared_ptr<const Folder> shared_root() const { return root_; }
    // The folder handed out last when `folder` is the same one and it is
    // still in use, else `folder`: images of one folder share one descriptor.
    std::shared_ptr<const Folder> shared(Folder&& folder);

  private:
    std::string path_;
    std::shared_ptr<const Folder> root_;
    std::weak_ptr<const Folder> last_;
    int error_ = 0;
};

// What a run keeps of an image it wrote: where from, where to, and the
// validators its response carried.
struct WrittenImage {
    std::string address;
    std::string file;
    std::uint64_t size = 0;
    std::string last_modified;
    std::string etag;
};

// The last image known written to a file (by an earlier run), if any: what
// a conditional fetch asks the server about. Empty: only the file's own
// modification time is known.
using StoredLookup = std::function<std::optional<WrittenImage>(const std::string& file)>;

// Everything before the fetch: creates the folders, applies the policy to the
// files present now. Without `fetch`, `result` is copie_image's result.
struct ImagePlan {
    bool fetch = false;
    int result = 0;
    std::string url;  // the address to fetch, trimmed
    ImagePaths paths;
    int version = 0;       // the version name the policy chose; 0: the name itself
    std::size_t made = 0;  // folders made for this image: the deepest of paths'
    std::string refusal;   // why its folder cannot be made or reached
    int folder_error = 0;  // the destination's refusal (errno), if it was one
    // The image's folder, held from the plan to the end of its fetch only.
    std::shared_ptr<const Folder> folder;
    std::shared_ptr<ImageFile> file;  // set by start_image
    int policy = KeepExisting;
    ImageChoice choice;
    // A copy present (the file, or policy 3's newest version): the server is
    // asked whether it changed, and under policy 3 the body is compared
    // with `newest` as it arrives.
    Validators known;
    std::string newest;  // its name in the image's folder

    std::string target() const;  // version name included
};
// From the paths image_paths gave for `address` in `destination`. A path the
// system could not open (PATH_MAX) is refused before any folder is made. A
// stop ends the making of folders; the plan is then a failure.
ImagePlan prepare_image(Destination& destination, ImagePaths paths, const std::string& address,
                        int policy, const ImageChoice& choice, const std::stop_token& stop = {},
                        const StoredLookup& stored = {});

// Starts the fetch, its body streamed into a new temporary file in the
// target's folder; 0 when that file cannot be made (finish_image says so).
Ticket start_image(TransferControl& inet, ImagePlan& plan);

// Everything after the fetch: the error-page tests, then the temporary file
// renamed over the target, with the response's Last-Modified as its time, or
// removed. `cause` gets why the image was not written, empty when it was or
// the policy kept the file present. `unchanged` is set when the copy present
// is still the server's: a 304, or under policy 3 the same bytes.
int finish_image(const ImagePlan& plan, const Response& r, std::string* cause = nullptr,
                 bool* unchanged = nullptr);

// The errno with which the destination refused the image's folder or file
// (no room, read-only, no permission…), once finish_image has failed it; 0
// when the destination was not at fault.
int destination_error(const ImagePlan& plan);

// The image finish_image wrote for `plan` from `r`; nothing when it wrote none.
std::optional<WrittenImage> written_image(const ImagePlan& plan, const Response& r);

// Removes the deepest `count` folders made for an image that are empty,
// deepest first, up to the first that is not: folders made for an image that
// was not written.
void remove_empty_folders(const Destination& destination, const ImagePaths& paths,
                          std::size_t count);

// ---- Fetching ahead (ahead.cpp) -----------------------------------------------
// The same scans and copies as one call after another, with the fetches started
// ahead through the transfer control's look-ahead.

// One crawl pass over PageList slots first..last, in order: PagesRead = i, the
// counts copied into CrawlCounters, the scan, the counts copied back, then
// `scanned(r)` with the page's response. Stops before a slot once `stop` is
// requested.
void scan_level(TransferControl& inet, CrawlState& state, int first, int last,
                const FilterTable& include, const FilterTable& exclude,
                const std::function<void(const Response&)>& scanned, std::stop_token stop,
                const ImageChoice& choice = {});

struct DownloadTally {
    int copied = 0;
    int present = 0;    // kept by the policy: nothing fetched
    int unchanged = 0;  // the copy present is still the server's: nothing written
    int failed = 0;
    std::vector<std::pair<std::string, std::string>> failures;  // address, cause
    std::vector<WrittenImage> written;                          // in the order written
    std::uint64_t received = 0;  // body bytes of the images' responses
    int unwritten = 0;           // failed ones that the destination refused (destination_error)
    int unwritten_error = 0;     // the first one's errno
    // The destination had no room left (ENOSPC, EDQUOT): the downloads
    // stopped there, and `left` images were not fetched.
    int full_error = 0;
    int left = 0;
    // Memory ran out: the downloads stopped there, what was written still told.
    bool out_of_memory = false;
};

// The download phase over ImageList slots 1..count: a slot whose address is
// in an earlier slot is skipped, any other is copied once, and a slot not
// copied is blanked. A destination found full ends the phase: nothing more
// could be written. `copied(n)` runs after each copied image with the running
// count. `stored` tells what earlier runs wrote; what this run writes goes
// before it.
DownloadTally download_images(TransferControl& inet, List& images, int count,
                              const std::string& destination, int policy, int layout,
                              const std::function<void(int)>& copied, std::stop_token stop,
                              const ImageChoice& choice = {}, const StoredLookup& stored = {});

}  // namespace psf::m_psf
