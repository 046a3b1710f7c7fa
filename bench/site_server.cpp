// A synthetic site on loopback for the benchmark: three levels of pages and
// about two thousand images, built from a fixed seed so every start serves the
// same site, with a fixed delay added to every response. Prints "PORT n" when
// ready; when its standard input closes it stops and prints, as one JSON line,
// the requests it received. With --write DIR it writes the site there as static
// files instead, for a real web server to serve.
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Site {
    std::map<std::string, std::string> pages;   // path -> html
    std::map<std::string, int> level;           // page path -> crawl level (1 = start page)
    std::map<std::string, std::string> images;  // path -> bytes
};

std::string image_path(int k) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "/img/d%02d/img%04d.%s", k % 40, k, k % 4 == 0 ? "gif" : "jpg");
    return buf;
}

// Bytes that look like an image: a format header, then noise.
std::string image_body(int k, std::size_t size, std::mt19937& rng) {
    std::string out = k % 4 == 0 ? std::string("GIF89a") : std::string("\xff\xd8\xff\xe0", 4);
    out.reserve(size);
    while (out.size() < size) out.push_back(static_cast<char>(rng() & 0xff));
    out.resize(size);
    return out;
}

Site build_site(unsigned seed, int images) {
    std::mt19937 rng(seed);
    auto pick = [&rng](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    Site site;

    constexpr int Sections = 17;
    constexpr int Leaves = 282;
    const int Images = images;
    const int Shared = std::min(150, images);  // images shown on several pages
    constexpr int Missing = 12;                // image links that give 404

    std::vector<std::string> level3;
    std::vector<std::vector<std::string>> leaves_of(Sections);
    for (int i = 0; i < Leaves; ++i) {
        const int s = i % Sections;
        const std::string p = "/s" + std::to_string(s + 1) + "/p" + std::to_string(i + 1) + ".html";
        leaves_of[static_cast<std::size_t>(s)].push_back(p);
        level3.push_back(p);
    }
    std::vector<std::string> level2;
    for (int s = 0; s < Sections; ++s)
        level2.push_back("/s" + std::to_string(s + 1) + "/index.html");

    std::vector<std::string> all = {"/index.html"};
    all.insert(all.end(), level2.begin(), level2.end());
    all.insert(all.end(), level3.begin(), level3.end());

    std::map<std::string, std::vector<std::string>> shown;
    for (int k = 0; k < Images; ++k) {
        const std::string path = image_path(k);
        const std::size_t size = 2048 + pick(50 * 1024 - 2048 + 1);
        site.images[path] = image_body(k, size, rng);
        const std::size_t times = k < Shared ? 2 + pick(3) : 1;
        for (std::size_t t = 0; t < times; ++t) shown[all[pick(all.size())]].push_back(path);
    }
    for (int m = 0; m < Missing; ++m)
        shown[all[pick(all.size())]].push_back("/img/missing/gone" + std::to_string(m) + ".jpg");

    auto html = [&](const std::string& self, const std::vector<std::string>& links) {
        std::string h = "<html><head><title>" + self + "</title></head><body>\n<p>";
        for (int w = 0; w < 40; ++w) h += "lorem ipsum ";
        h += "</p>\n";
        for (const std::string& l : links) h += "<a href=\"" + l + "\">" + l + "</a><br>\n";
        for (const std::string& img : shown[self])
            h += "<img src=\"" + img + "\" alt=\"picture\" width=\"120\">\n";
        return h + "</body></html>\n";
    };

    // The start page links the sections; a section its leaves (and, for a
    // few, a page that is gone); a leaf links only pages already listed.
    site.pages["/index.html"] = html("/index.html", level2);
    site.level["/index.html"] = 1;
    for (int s = 0; s < Sections; ++s) {
        const std::string& self = level2[static_cast<std::size_t>(s)];
        std::vector<std::string> links = {"/index.html"};
        for (const std::string& l : leaves_of[static_cast<std::size_t>(s)]) links.push_back(l);
        if (s % 6 == 0) {
            const std::string gone = "/s" + std::to_string(s + 1) + "/gone.html";
            links.push_back(gone);
            site.level[gone] = 3;
        }
        site.pages[self] = html(self, links);
        site.level[self] = 2;
    }
    for (int i = 0; i < Leaves; ++i) {
        const std::string& self = level3[static_cast<std::size_t>(i)];
        const std::string section = self.substr(0, self.find('/', 1)) + "/index.html";
        site.pages[self] = html(self, {"/index.html", section});
        site.level[self] = 3;
    }
    return site;
}

// Every file gets its own modification time: a server that derives its ETag
// from time and size would otherwise give equal-size files the same one.
int write_site(const Site& site, const std::filesystem::path& root) {
    namespace fs = std::filesystem;
    const auto base = std::chrono::file_clock::from_sys(
        std::chrono::sys_seconds{std::chrono::sys_days{std::chrono::year{2024} / 6 / 7}});
    long n = 0;
    auto put = [&](const std::string& path, const std::string& bytes) {
        const fs::path file = root / path.substr(1);
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << bytes;
        fs::last_write_time(file, base + std::chrono::seconds(n++));
    };
    for (const auto& [path, html] : site.pages) put(path, html);
    for (const auto& [path, bytes] : site.images) put(path, bytes);
    std::cout << "{\"pages\": " << site.pages.size() << ", \"images\": " << site.images.size()
              << "}\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned seed = 20240607;
    int delay_ms = 50;
    int images_count = 2000;
    std::string write_to;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--seed") seed = static_cast<unsigned>(std::stoul(argv[i + 1]));
        if (opt == "--delay-ms") delay_ms = std::stoi(argv[i + 1]);
        if (opt == "--images") images_count = std::stoi(argv[i + 1]);
        if (opt == "--write") write_to = argv[i + 1];
    }
    if (images_count < 1 || images_count > 9999) {
        std::cerr << "site_server: --images takes 1 to 9999\n";
        return 1;
    }
    const Site site = build_site(seed, images_count);
    if (!write_to.empty()) return write_site(site, write_to);

    std::atomic<long> total{0}, images{0}, other{0}, not_found{0};
    std::atomic<long> by_level[4] = {0, 0, 0, 0};

    httplib::Server server;
    // Enough workers for every kept-alive connection of the most eager client.
    server.new_task_queue = [] { return new httplib::ThreadPool(64); };
    server.set_tcp_nodelay(true);
    server.set_keep_alive_max_count(100000);
    server.set_keep_alive_timeout(10);
    server.Get(".*", [&](const httplib::Request& req, httplib::Response& res) {
        ++total;
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        const std::string& path = req.path;
        if (auto p = site.pages.find(path); p != site.pages.end()) {
            ++by_level[site.level.at(path)];
            res.set_content(p->second, "text/html");
            return;
        }
        if (auto im = site.images.find(path); im != site.images.end()) {
            ++images;
            res.set_content(im->second, path.ends_with(".gif") ? "image/gif" : "image/jpeg");
            return;
        }
        if (auto l = site.level.find(path); l != site.level.end())
            ++by_level[l->second];
        else if (path.starts_with("/img/"))
            ++images;
        else
            ++other;
        ++not_found;
        res.status = 404;
        res.set_content("<html><body>404 Not Found</body></html>", "text/html");
    });

    const int port = server.bind_to_any_port("127.0.0.1");
    if (port <= 0) {
        std::cerr << "site_server: cannot bind 127.0.0.1\n";
        return 1;
    }
    std::thread listener([&] { server.listen_after_bind(); });
    while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::cout << "PORT " << port << "\n" << std::flush;

    std::string line;
    while (std::getline(std::cin, line)) {
    }
    server.stop();
    listener.join();
    std::cout << "{\"requests\": " << total << ", \"pages\": [" << by_level[1] << ", "
              << by_level[2] << ", " << by_level[3] << "], \"images\": " << images
              << ", \"other\": " << other << ", \"not_found\": " << not_found
              << ", \"site_pages\": " << site.pages.size()
              << ", \"site_images\": " << site.images.size() << "}\n";
    return 0;
}
