#include "support/raw_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <stdexcept>

namespace psf::test {

namespace {

constexpr int PollStepMs = 20;

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string trimmed(const std::string& s) {
    const auto a = s.find_first_not_of(" \t");
    if (a == std::string::npos) return {};
    const auto b = s.find_last_not_of(" \t\r");
    return s.substr(a, b - a + 1);
}

const char* reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 401:
            return "Unauthorized";
        case 404:
            return "Not Found";
        default:
            return "Whatever";
    }
}

}  // namespace

// ---- Peer -----------------------------------------------------------------------

Peer::~Peer() {
    if (fd_ >= 0) ::close(fd_);
}

bool Peer::client_gone() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) return false;
    if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return true;
    char c;
    return ::recv(fd_, &c, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
}

bool Peer::send(std::string_view bytes) {
    if (fd_ < 0) return false;
    while (!bytes.empty()) {
        if (stopping_) return false;
        pollfd p{fd_, POLLOUT, 0};
        const int ready = ::poll(&p, 1, PollStepMs);
        if (ready < 0) return false;
        if (ready == 0) continue;
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool Peer::pause(std::chrono::milliseconds time) {
    const auto end = std::chrono::steady_clock::now() + time;
    while (std::chrono::steady_clock::now() < end) {
        if (stopping_ || fd_ < 0 || client_gone()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return !stopping_ && fd_ >= 0;
}

void Peer::hold() {
    while (pause(std::chrono::milliseconds(50))) {
    }
}

void Peer::reset() {
    if (fd_ < 0) return;
    linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd_);
    fd_ = -1;
}

// ---- RawServer --------------------------------------------------------------------

RawServer::RawServer(std::string host) : host_(std::move(host)) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) throw std::runtime_error("raw server: no socket");
    int one = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = 0;
    if (::inet_pton(AF_INET, host_.c_str(), &addr.sin_addr) != 1 ||
        ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_fd_, 64) != 0) {
        ::close(listen_fd_);
        throw std::runtime_error("raw server: cannot listen on " + host_);
    }
    socklen_t len = sizeof addr;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    fallback_ = reply(404, "<html>404 Not Found</html>");
    acceptor_ = std::thread([this] { accept_loop(); });
}

RawServer::~RawServer() {
    stopping_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    ::close(listen_fd_);
    std::vector<std::thread> open;
    {
        std::lock_guard lock(mutex_);
        open.swap(connections_);
    }
    for (auto& t : open) t.join();
}

void RawServer::on(const std::string& target, Handler handler) {
    std::lock_guard lock(mutex_);
    routes_[target] = std::move(handler);
}

void RawServer::otherwise(Handler handler) {
    std::lock_guard lock(mutex_);
    fallback_ = std::move(handler);
}

std::vector<RawRequest> RawServer::requests() const {
    std::lock_guard lock(mutex_);
    return log_;
}

void RawServer::accept_loop() {
    while (!stopping_) {
        pollfd p{listen_fd_, POLLIN, 0};
        if (::poll(&p, 1, PollStepMs) <= 0) continue;
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard lock(mutex_);
        connections_.emplace_back([this, fd] { serve(fd); });
    }
}

void RawServer::serve(int fd) {
    std::string head;
    while (head.find("\r\n\r\n") == std::string::npos) {
        if (stopping_ || head.size() > 65536) {
            ::close(fd);
            return;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, PollStepMs) <= 0) continue;
        char buf[4096];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            ::close(fd);
            return;
        }
        head.append(buf, static_cast<std::size_t>(n));
    }
    head.resize(head.find("\r\n\r\n") + 2);

    RawRequest request;
    std::size_t line_end = head.find("\r\n");
    const std::string first = head.substr(0, line_end);
    const auto s1 = first.find(' ');
    const auto s2 = first.rfind(' ');
    if (s1 != std::string::npos && s2 > s1) request.target = first.substr(s1 + 1, s2 - s1 - 1);
    for (std::size_t pos = line_end + 2; pos < head.size();) {
        const std::size_t end = head.find("\r\n", pos);
        const std::string line = head.substr(pos, end - pos);
        pos = end + 2;
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        request.headers[lower(line.substr(0, colon))] = trimmed(line.substr(colon + 1));
    }

    Handler handler;
    {
        std::lock_guard lock(mutex_);
        log_.push_back(request);
        auto it = routes_.find(request.target);
        handler = it != routes_.end() ? it->second : fallback_;
    }
    Peer peer(fd, std::move(request), stopping_);
    handler(peer);
}

// ---- Ready-made answers -------------------------------------------------------------

std::string http_response(int status, std::string_view body, std::string_view type,
                          const Headers& extra) {
    std::string out = "HTTP/1.1 " + std::to_string(status) + " " + reason(status) + "\r\n";
    out += "Content-Type: " + std::string(type) + "\r\n";
    out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    out += "Connection: close\r\n";
    for (const auto& [k, v] : extra) out += k + ": " + v + "\r\n";
    out += "\r\n";
    out += body;
    return out;
}

RawServer::Handler reply(int status, std::string body, std::string type, Headers extra) {
    const std::string bytes = http_response(status, body, type, extra);
    return [bytes](Peer& p) { p.send(bytes); };
}

RawServer::Handler gif(std::string bytes) {
    return reply(200, std::move(bytes), "image/gif");
}

RawServer::Handler redirect(std::string location, int status) {
    return reply(status, "moved", "text/html", {{"Location", std::move(location)}});
}

RawServer::Handler basic_auth(std::string user_password, RawServer::Handler inner) {
    const std::string expected = "Basic " + base64(user_password);
    return [expected, inner](Peer& p) {
        if (p.request().header("authorization") == expected) return inner(p);
        p.send(http_response(401, "<html>401 Unauthorized</html>", "text/html",
                             {{"WWW-Authenticate", "Basic realm=\"test\""}}));
    };
}

std::string base64(std::string_view in) {
    static const char* k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned val = 0;
    int bits = -6;
    for (unsigned char c : in) {
        val = (val << 8) + c;
        bits += 8;
        while (bits >= 0) {
            out.push_back(k[(val >> bits) & 0x3F]);
            bits -= 6;
        }
    }
    if (bits > -6) out.push_back(k[((val << 8) >> (bits + 8)) & 0x3F]);
    while (out.size() % 4) out.push_back('=');
    return out;
}

}  // namespace psf::test
