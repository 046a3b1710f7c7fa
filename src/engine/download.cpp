#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>

#include "engine/m_psf.h"

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
    if (body.size() > 1025) return false;
    if (body.find("404") != std::string::npos || body.find("403") != std::string::npos) return true;
    for (std::size_t k = 0; k + 4 <= body.size(); ++k) {
        auto lc = [&](std::size_t i) {
            return static_cast<char>(std::tolower(static_cast<unsigned char>(body[k + i])));
        };
        if (lc(0) == 'h' && lc(1) == 't' && lc(2) == 'm' && lc(3) == 'l') return true;
    }
    return false;
}

// Writes beside the target, then renames over it, so the target is either
// the old file or the whole new one.
bool write_whole(const fs::path& folder, const fs::path& target, const std::string& bytes) {
    static std::atomic<unsigned> serial{0};
    thread_local std::mt19937 gen{std::random_device{}()};
    fs::path temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp =
            folder / (".picsifter-" + std::to_string(::getpid()) + "-" + std::to_string(serial++) +
                      "-" + std::to_string(gen() % 1000000) + ".part");
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
    bool ok = true;
    std::size_t done = 0;
    while (ok && done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            ok = false;
        else
            done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) ok = false;
    if (ok && std::rename(temp.c_str(), target.c_str()) != 0) ok = false;
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

}  // namespace

ImagePaths image_paths(const std::string& address, const std::string& destination, int layout) {
    ImagePaths p;
    // Nothing is ever written relative to the current folder.
    if (destination.empty() || destination.front() != '/') return p;
    fs::path folder(destination);
    if (layout == 2) {
        const std::string site = vers_antislash(chemin_site(trim_blanks(address)));
        std::size_t start = 0;
        while (start < site.size()) {
            std::size_t slash = site.find('/', start);
            if (slash == std::string::npos) slash = site.size();
            const std::string_view part = std::string_view(site).substr(start, slash - start);
            start = slash + 1;
            if (part.empty()) continue;  // a doubled slash adds no level
            if (!safe_component(part)) return p;
            folder /= std::string(part);
            p.folders.push_back(folder);
        }
    }
    const std::string name = nom_fichier(address);
    if (!safe_component(name)) return p;
    p.folder = folder;
    p.target = folder / name;
    p.valid = true;
    return p;
}

ImagePlan prepare_image(const std::string& address, const std::string& destination, int policy,
                        int layout) {
    ImagePlan plan;
    plan.result = -1;
    try {
        const ImagePaths paths = image_paths(address, destination, layout);
        for (const fs::path& folder : paths.folders) {
            if (is_link(folder)) return plan;
            std::error_code ec;
            if (!fs::exists(folder, ec)) {
                if (!fs::create_directory(folder, ec) && !fs::is_directory(folder)) return plan;
            } else if (!fs::is_directory(folder, ec)) {
                return plan;
            }
        }
        if (!paths.valid) return plan;
        fs::path target = paths.target;
        if (is_link(target)) return plan;

        if (entry_exists(target)) {
            plan.result = 0;
            if (policy == 1) return plan;
            if (policy == 3) {
                // The number goes before the last four characters of the name.
                const std::string name = target.filename().string();
                const std::size_t keep = name.size() >= 4 ? name.size() - 4 : 0;
                const std::string head = name.substr(0, keep), tail = name.substr(keep);
                bool found = false;
                for (int n = 1; n <= 30000 && !found; ++n) {
                    fs::path candidate = paths.folder / (head + "-v" + std::to_string(n) + tail);
                    if (!entry_exists(candidate)) {
                        target = candidate;
                        found = true;
                    }
                }
                if (!found) return plan;
            }
        }
        plan.fetch = true;
        plan.url = std::string(trim_blanks(address));
        plan.folder = paths.folder;
        plan.target = target;
        return plan;
    } catch (...) {
        plan = {};
        plan.result = -1;
        return plan;
    }
}

int finish_image(const ImagePlan& plan, const Response& r, std::string* cause) {
    std::string why;
    int result = -1;
    try {
        if (!plan.fetch) {
            result = plan.result;
            if (result < 0) why = "no file name or folder can be made from the address";
        } else if (!r.ok || r.status >= 400) {
            why = cause_text(r);
            result = r.ok ? 0 : -1;  // an error page is never an image
        } else if (r.body.empty()) {
            why = "empty response";
        } else if (looks_like_error_page(r.body)) {
            why = "small response that looks like an error page";
            result = 0;
        } else if (write_whole(plan.folder, plan.target, r.body)) {
            result = 1;
        } else {
            why = "cannot write " + plan.target.string();
        }
    } catch (...) {
        why = "cannot write the file";
        result = -1;
    }
    if (cause != nullptr) *cause = why;
    return result;
}

int copie_image(TransferControl& inet, const std::string& address, const std::string& destination,
                int policy, int layout) {
    try {
        const ImagePlan plan = prepare_image(address, destination, policy, layout);
        if (!plan.fetch) return plan.result;
        return finish_image(plan, inet.OpenURL(plan.url, DataType::Bytes));
    } catch (...) {
        return -1;
    }
}

}  // namespace psf::m_psf
