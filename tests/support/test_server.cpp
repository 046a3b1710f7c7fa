#include "support/test_server.h"

#include "support/raw_server.h"  // base64

#include <httplib.h>

#include <atomic>
#include <stdexcept>
#include <thread>

namespace psf::test {

struct TestServer::Impl {
    httplib::Server server;
    std::thread thread;
    mutable std::mutex mutex;
    std::map<std::string, Reply> routes;
    std::vector<Request> log;
    std::atomic<bool> stopping{false};

    // Sleeps in short steps so a stopping server never waits for a stall.
    void nap(std::chrono::milliseconds total) {
        auto end = std::chrono::steady_clock::now() + total;
        while (!stopping && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    void handle(const httplib::Request& req, httplib::Response& res) {
        Request entry{req.method, req.target, {}, req.remote_port};
        for (const auto& [k, v] : req.headers) entry.headers[k] = v;
        Reply reply;
        bool found = false;
        {
            std::lock_guard lock(mutex);
            log.push_back(entry);
            auto it = routes.find(req.target);
            if (it != routes.end()) {
                reply = it->second;
                found = true;
            }
        }
        if (!found) {
            res.status = 404;
            res.set_content("<html><body>404 Not Found</body></html>", "text/html");
            return;
        }
        if (!reply.basic_auth.empty()) {
            auto it = req.headers.find("Authorization");
            if (it == req.headers.end() || it->second != "Basic " + base64(reply.basic_auth)) {
                res.status = 401;
                res.set_header("WWW-Authenticate", "Basic realm=\"test\"");
                res.set_content("<html>401 Unauthorized</html>", "text/html");
                return;
            }
        }
        nap(reply.delay);
        res.status = reply.status;
        for (const auto& [k, v] : reply.headers) res.set_header(k, v);
        if (reply.cut_after >= 0 || reply.stall_after >= 0) {
            auto body = std::make_shared<std::string>(reply.body);
            res.set_content_provider(
                body->size(), reply.content_type,
                [this, body, reply](size_t offset, size_t, httplib::DataSink& sink) {
                    if (reply.cut_after >= 0) {
                        sink.write(body->data(), static_cast<size_t>(reply.cut_after));
                        return false;  // drop the connection mid-body
                    }
                    auto first = static_cast<size_t>(reply.stall_after);
                    if (offset < first) {
                        sink.write(body->data(), first);
                        return true;
                    }
                    nap(reply.stall);
                    if (stopping) return false;
                    sink.write(body->data() + offset, body->size() - offset);
                    return true;
                });
            return;
        }
        res.set_content(reply.body, reply.content_type);
    }
};

TestServer::TestServer(std::string host) : impl_(std::make_unique<Impl>()), host_(std::move(host)) {
    auto handler = [this](const httplib::Request& req, httplib::Response& res) {
        impl_->handle(req, res);
    };
    impl_->server.Get(".*", handler);
    impl_->server.set_keep_alive_timeout(2);
    impl_->server.set_tcp_nodelay(true);  // no 40 ms wait between headers and body
    port_ = impl_->server.bind_to_any_port(host_);
    if (port_ <= 0) throw std::runtime_error("test server: cannot bind " + host_);
    impl_->thread = std::thread([this] { impl_->server.listen_after_bind(); });
    while (!impl_->server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TestServer::~TestServer() {
    impl_->stopping = true;
    impl_->server.stop();
    if (impl_->thread.joinable()) impl_->thread.join();
}

void TestServer::route(const std::string& path, Reply reply) {
    std::lock_guard lock(impl_->mutex);
    impl_->routes[path] = std::move(reply);
}

std::string TestServer::base() const {
    return "http://" + host_ + ":" + std::to_string(port_);
}

std::vector<Request> TestServer::requests() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->log;
}

int TestServer::count(const std::string& path) const {
    std::lock_guard lock(impl_->mutex);
    int n = 0;
    for (const auto& r : impl_->log) n += r.path == path ? 1 : 0;
    return n;
}

void TestServer::clear_log() {
    std::lock_guard lock(impl_->mutex);
    impl_->log.clear();
}

std::string image_bytes(std::size_t size, char seed) {
    // GIF-like header, then bytes that never spell "404", "403" or "html".
    std::string out = "GIF89a";
    for (std::size_t i = out.size(); i < size; ++i)
        out.push_back(static_cast<char>('a' + (static_cast<unsigned>(seed) + i * 7) % 20));
    out.resize(size);
    return out;
}

}  // namespace psf::test
