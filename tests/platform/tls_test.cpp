// Certificates are verified: a loopback TLS server whose certificate no
// authority signed is refused, while a client that trusts it gets the page.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/curl_transfer.h"
#include "support/process.h"
#include "support/temp_dir.h"

using psf::test::Child;
using psf::test::run_process;
using psf::test::TempDir;

namespace {

const char* const Openssl = "/usr/bin/openssl";

int free_port() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(s);
    return port;
}

bool accepts(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

size_t keep(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

// A plain libcurl fetch that trusts `ca`, to show the server itself works.
std::string fetch_trusting(const std::string& url, const std::string& ca) {
    CURL* c = curl_easy_init();
    std::string body;
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_CAINFO, ca.c_str());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &keep);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, 20L);
    const CURLcode rc = curl_easy_perform(c);
    curl_easy_cleanup(c);
    return rc == CURLE_OK ? body : std::string("error: ") + curl_easy_strerror(rc);
}

TEST(TransferTls, UntrustedCertificateIsRefused) {
    if (::access(Openssl, X_OK) != 0) GTEST_SKIP() << "no openssl program to serve TLS";
    TempDir dir;
    const std::string cert = (dir / "cert.pem").string(), key = (dir / "key.pem").string();
    const auto made = run_process(
        {Openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
         "-days", "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"},
        dir.str(), std::chrono::seconds(60));
    ASSERT_EQ(made.exit_code, 0) << made.err;

    const int port = free_port();
    ASSERT_NE(port, 0);
    Child server({Openssl, "s_server", "-quiet", "-accept", "127.0.0.1:" + std::to_string(port),
                  "-cert", cert, "-key", key, "-www"});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!accepts(port) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(accepts(port)) << "the TLS server did not start";

    const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/";
    EXPECT_EQ(fetch_trusting(url, cert).rfind("error", 0), std::string::npos)
        << "the server does not serve TLS with this certificate";

    psf::CurlTransfer inet;
    for (auto type : {psf::DataType::Text, psf::DataType::Bytes}) {
        const psf::Response r = inet.OpenURL(url, type);
        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(r.body.empty());
        EXPECT_EQ(r.cause, psf::Cause::Untrusted) << r.error;
        EXPECT_EQ(psf::cause_text(r), "TLS certificate not trusted");
    }
}

}  // namespace
