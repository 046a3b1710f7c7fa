// An HTTP server on loopback for tests, one thread a connection; starts on a
// free port and stops in its destructor. A route is either a table of replies
// (a delay, a cut or a stall mid-body, basic authentication), answered on a
// kept-alive connection, or a function that writes whatever bytes it likes (a
// malformed answer, a trickle, a reset), after which the connection closes.
// Every request is logged.
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

using Headers = std::vector<std::pair<std::string, std::string>>;

struct Reply {
    int status = 200;
    std::string body{};
    std::string content_type = "text/html";
    Headers headers{};                   // e.g. {{"Location", "/x"}}
    std::chrono::milliseconds delay{0};  // before the reply is sent
    long cut_after = -1;                 // when set, that many body bytes are sent, then a reset
    long stall_after = -1;  // when set, that many body bytes are sent, then nothing for `stall`
    std::chrono::milliseconds stall{0};
    std::string basic_auth{};  // "user:password" required
};

struct Request {
    std::string method{}, path{};                  // the path as received, query included
    std::map<std::string, std::string> headers{};  // names in lower case
    int remote_port = 0;  // the client's port: equal ports mean one kept-alive connection
    bool has(const std::string& name) const { return headers.count(name) != 0; }
    std::string header(const std::string& name) const { return has(name) ? headers.at(name) : ""; }
};

// The server's side of one connection, handed to a route.
struct Peer {
    const Request& request() const { return request_; }
    // False once the client is gone or the server stops.
    bool send(std::string_view bytes);
    bool pause(std::chrono::milliseconds time);
    void hold() { pause(std::chrono::hours(1)); }  // says nothing until the client gives up
    void reset();  // ends the connection with a reset instead of an orderly close

    int fd_;
    Request request_;
    const std::atomic<bool>& stopping_;
    bool keep_ = false;
};

class TestServer {
  public:
    using Handler = std::function<void(Peer&)>;

    explicit TestServer(std::string host = "127.0.0.1", int port = 0);  // 0: a free one
    ~TestServer();

    // Routes match the path with its query, exactly.
    void on(const std::string& path, Handler handler);
    void otherwise(Handler handler) { on("", std::move(handler)); }  // every other path
    // Successive requests get successive replies; the last one repeats.
    void route(const std::string& path, std::vector<Reply> replies);
    void route(const std::string& path, Reply reply) { route(path, std::vector{std::move(reply)}); }
    void page(const std::string& path, std::string html) { route(path, Reply{200, html}); }
    void image(const std::string& path, std::string bytes) {
        route(path, Reply{200, bytes, "image/gif"});
    }

    int port() const { return port_; }
    std::string authority() const { return host_ + ":" + std::to_string(port_); }
    std::string url(const std::string& path) const { return "http://" + authority() + path; }

    std::vector<Request> requests() const;
    int count(const std::string& path) const;  // requests received for a path
    void clear_log();

  private:
    std::string host_;
    int port_ = 0, listen_fd_ = -1;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::map<std::string, Handler> routes_;
    std::vector<Request> log_;
    std::vector<std::jthread> connections_;
    std::jthread acceptor_;
};

// A complete response with its Content-Length.
std::string http_response(int status, std::string_view body, std::string_view type = "text/html",
                          const Headers& extra = {}, bool close = true);
std::string base64(std::string_view in);
// A fake image: bytes that pass the small-response error test.
std::string image_bytes(std::size_t size, char seed = 'a');

}  // namespace psf::test
