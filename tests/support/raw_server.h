// A bare HTTP server on loopback for hostile-server tests: each route is a
// function that writes whatever it likes to the socket (a reset mid-body, a
// stall, a trickle, a malformed answer), which a regular server cannot do.
// One request per connection; every request is logged.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace psf::test {

struct RawRequest {
    std::string target;                          // as received
    std::map<std::string, std::string> headers;  // names in lower case
    bool has(const std::string& name) const { return headers.count(name) != 0; }
    std::string header(const std::string& name) const {
        auto it = headers.find(name);
        return it == headers.end() ? std::string() : it->second;
    }
};

// The server's side of one connection, handed to the route.
class Peer {
  public:
    Peer(int fd, RawRequest request, const std::atomic<bool>& stopping)
        : fd_(fd), request_(std::move(request)), stopping_(stopping) {}
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    const RawRequest& request() const { return request_; }
    // False once the client is gone or the server stops.
    bool send(std::string_view bytes);
    bool pause(std::chrono::milliseconds time);
    // Keeps the connection open, saying nothing, until the client gives up.
    void hold();
    // Ends the connection with a reset instead of an orderly close.
    void reset();

  private:
    bool client_gone();
    int fd_;
    RawRequest request_;
    const std::atomic<bool>& stopping_;
};

class RawServer {
  public:
    using Handler = std::function<void(Peer&)>;

    explicit RawServer(std::string host = "127.0.0.1");
    ~RawServer();
    RawServer(const RawServer&) = delete;
    RawServer& operator=(const RawServer&) = delete;

    void on(const std::string& target, Handler handler);  // exact target, query included
    void otherwise(Handler handler);                      // every other target

    int port() const { return port_; }
    std::string authority() const { return host_ + ":" + std::to_string(port_); }
    std::string url(const std::string& path) const { return "http://" + authority() + path; }
    std::vector<RawRequest> requests() const;

  private:
    void accept_loop();
    void serve(int fd);

    std::string host_;
    int port_ = 0;
    int listen_fd_ = -1;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::map<std::string, Handler> routes_;
    Handler fallback_;
    std::vector<RawRequest> log_;
    std::vector<std::thread> connections_;
    std::thread acceptor_;
};

// ---- Ready-made answers -------------------------------------------------------

using Headers = std::vector<std::pair<std::string, std::string>>;

// A complete response with its Content-Length.
std::string http_response(int status, std::string_view body, std::string_view type = "text/html",
                          const Headers& extra = {});
RawServer::Handler reply(int status, std::string body, std::string type = "text/html",
                         Headers extra = {});
RawServer::Handler gif(std::string bytes);
RawServer::Handler redirect(std::string location, int status = 302);
// Answers 401 unless the request carries Basic credentials "user:password".
RawServer::Handler basic_auth(std::string user_password, RawServer::Handler inner);

std::string base64(std::string_view in);

}  // namespace psf::test
