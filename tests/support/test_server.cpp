#include "support/test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace psf::test {

namespace {

// Short waits on every socket, so that a stopping server is never stuck.
void with_timeouts(int fd) {
    const timeval step{0, 20000};
    const int one = 1;  // no 40 ms wait between a reply's parts
    for (int opt : {SO_RCVTIMEO, SO_SNDTIMEO})
        ::setsockopt(fd, SOL_SOCKET, opt, &step, sizeof step);
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

Request parse(const std::string& head, int remote_port) {
    Request r{.remote_port = remote_port};
    std::istringstream(head) >> r.method >> r.path;
    static const std::regex line("^([^ :\r\n]+):[ \t]*(.*?)[ \t]*\r?$", std::regex::multiline);
    for (std::sregex_iterator m(head.begin(), head.end(), line), end; m != end; ++m) {
        std::string name = (*m)[1];
        std::transform(name.begin(), name.end(), name.begin(), ::tolower);
        r.headers[name] = (*m)[2];
    }
    return r;
}

void answer(Peer& p, const Reply& r) {
    if (!r.basic_auth.empty() &&
        p.request().header("authorization") != "Basic " + base64(r.basic_auth))
        return (void)p.send(http_response(401, "<html>401 Unauthorized</html>", "text/html",
                                          {{"WWW-Authenticate", "Basic realm=\"test\""}}));
    if (!p.pause(r.delay)) return;
    const bool keep = p.request().header("connection") != "close" && r.cut_after < 0;
    const std::string bytes = http_response(r.status, r.body, r.content_type, r.headers, !keep);
    // The part sent before a cut or a stall.
    const long part = std::max(r.cut_after, r.stall_after);
    const std::size_t sent = part < 0 ? 0 : bytes.size() - r.body.size() + std::size_t(part);
    if (!p.send(std::string_view(bytes).substr(0, sent))) return;
    if (r.cut_after >= 0) return p.reset();
    if (part >= 0 && !p.pause(r.stall)) return;
    p.keep_ = p.send(std::string_view(bytes).substr(sent)) && keep;
}

}  // namespace

bool Peer::send(std::string_view bytes) {
    while (!bytes.empty() && !stopping_ && fd_ >= 0) {  // in steps, to notice a stop
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        bytes.remove_prefix(static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    }
    return bytes.empty() && fd_ >= 0;
}

bool Peer::pause(std::chrono::milliseconds time) {
    for (const auto end = std::chrono::steady_clock::now() + time;
         std::chrono::steady_clock::now() < end;) {
        char c;  // a readable end of stream: the client is gone
        pollfd p{fd_, POLLIN, 0};
        if (stopping_ || fd_ < 0 ||
            (::poll(&p, 1, 5) > 0 && ::recv(fd_, &c, 1, MSG_PEEK | MSG_DONTWAIT) <= 0))
            return false;
    }
    return !stopping_ && fd_ >= 0;
}

void Peer::reset() {
    linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(std::exchange(fd_, -1));
}

TestServer::TestServer(std::string host, int port) : host_(std::move(host)) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{AF_INET, htons(static_cast<std::uint16_t>(port)), {}, {}};
    socklen_t len = sizeof addr;
    if (listen_fd_ < 0 || ::inet_pton(AF_INET, host_.c_str(), &addr.sin_addr) != 1 ||
        ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(listen_fd_, 64) != 0 ||
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("test server: cannot listen on " + host_);
    port_ = ntohs(addr.sin_port);
    with_timeouts(listen_fd_);
    route("", Reply{404, "<html>404 Not Found</html>"});
    acceptor_ = std::jthread([this] {
        while (!stopping_) {
            sockaddr_in from{};
            socklen_t size = sizeof from;
            const int fd =
                ::accept4(listen_fd_, reinterpret_cast<sockaddr*>(&from), &size, SOCK_CLOEXEC);
            if (fd < 0) continue;
            with_timeouts(fd);
            std::lock_guard guard(mutex_);
            connections_.emplace_back([=, this, remote_port = ntohs(from.sin_port)] {
                std::string in;
                for (bool keep = true; keep && !stopping_;) {
                    char buf[4096];
                    const auto end = in.find("\r\n\r\n");
                    if (end == std::string::npos) {
                        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
                        in.append(buf, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
                        continue;
                    }
                    Peer peer{fd, parse(in.substr(0, end + 2), remote_port), stopping_};
                    in.erase(0, end + 4);
                    std::unique_lock lock(mutex_);
                    log_.push_back(peer.request());
                    const Handler handler =
                        routes_[routes_.count(peer.request().path) ? peer.request().path : ""];
                    lock.unlock();
                    handler(peer);
                    if (peer.fd_ < 0) return;  // reset
                    keep = peer.keep_;
                }
                ::close(fd);
            });
        }
    });
}

TestServer::~TestServer() {
    stopping_ = true;
    acceptor_.join();
    ::close(listen_fd_);
    connections_.clear();  // joins them
}

void TestServer::on(const std::string& path, Handler handler) {
    std::lock_guard lock(mutex_);
    routes_[path] = std::move(handler);
}

void TestServer::route(const std::string& path, std::vector<Reply> replies) {
    auto next = std::make_shared<std::atomic<std::size_t>>(0);
    on(path, [replies = std::move(replies), next](Peer& p) {
        answer(p, replies[std::min((*next)++, replies.size() - 1)]);
    });
}

std::vector<Request> TestServer::requests() const {
    std::lock_guard lock(mutex_);
    return log_;
}

int TestServer::count(const std::string& path) const {
    return int(std::ranges::count(requests(), path, &Request::path));
}

void TestServer::clear_log() {
    std::lock_guard lock(mutex_);
    log_.clear();
}

std::string http_response(int status, std::string_view body, std::string_view type,
                          const Headers& extra, bool close) {
    std::string out = "HTTP/1.1 " + std::to_string(status) +
                      " Whatever\r\nContent-Type: " + std::string(type) +
                      "\r\nContent-Length: " + std::to_string(body.size()) +
                      (close ? "\r\nConnection: close\r\n" : "\r\n");
    for (const auto& [k, v] : extra) out += k + ": " + v + "\r\n";
    return out + "\r\n" + std::string(body);
}

std::string base64(std::string_view in) {
    static const char* k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < in.size(); i += 3) {
        const std::string_view group = in.substr(i, 3);
        unsigned v = 0;
        for (std::size_t j = 0; j < 3; ++j)
            v = v << 8 | (j < group.size() ? static_cast<unsigned char>(group[j]) : 0u);
        for (std::size_t j = 0; j < 4; ++j)
            out += j <= group.size() ? k[v >> (18 - 6 * j) & 63] : '=';
    }
    return out;
}

std::string image_bytes(std::size_t size, char seed) {
    // GIF-like header, then bytes that never spell "404", "403" or "html".
    std::string out(size, 'a');
    for (std::size_t i = 0; i < size; ++i)
        out[i] = i < 6 ? "GIF89a"[i] : static_cast<char>('a' + (unsigned(seed) + i * 7) % 20);
    return out;
}

}  // namespace psf::test
