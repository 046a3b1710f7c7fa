// An HTTP server on loopback for tests: a table of paths to responses and a
// log of the requests received. Starts on a free port; stops in its destructor.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace psf::test {

struct Reply {
    int status = 200;
    std::string body;
    std::string content_type = "text/html";
    std::map<std::string, std::string> headers;  // e.g. {"Location", "/x"}
    std::chrono::milliseconds delay{0};          // before the reply is sent
    // When set, only the first `cut_after` bytes are sent, then the connection
    // is dropped (a reset mid-body).
    long cut_after = -1;
    // When set, the first `stall_after` bytes are sent, then nothing for `stall`.
    long stall_after = -1;
    std::chrono::milliseconds stall{0};
    // Basic authentication required: "user:password".
    std::string basic_auth;
};

struct Request {
    std::string method;
    std::string path;  // as received, query included
    std::map<std::string, std::string> headers;
    int remote_port = 0;  // the client's port: equal ports mean one kept-alive connection
};

class TestServer {
  public:
    explicit TestServer(std::string host = "127.0.0.1");
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    // Routes are matched on the path with its query, exactly.
    void route(const std::string& path, Reply reply);
    void page(const std::string& path, std::string html) {
        Reply r;
        r.body = std::move(html);
        route(path, std::move(r));
    }
    void image(const std::string& path, std::string bytes) {
        Reply r;
        r.body = std::move(bytes);
        r.content_type = "image/gif";
        route(path, std::move(r));
    }

    // "http://127.0.0.1:PORT" (no final slash).
    std::string base() const;
    std::string url(const std::string& path) const { return base() + path; }
    int port() const { return port_; }

    std::vector<Request> requests() const;
    int count(const std::string& path) const;  // requests received for a path
    void clear_log();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string host_;
    int port_ = 0;
};

// A fake image: bytes that pass the small-response error test.
std::string image_bytes(std::size_t size, char seed = 'a');

}  // namespace psf::test
