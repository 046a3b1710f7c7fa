// Certificates are verified: a loopback TLS server whose certificate no
// authority signed is refused.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/curl_transfer.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/test_server.h"

namespace psf {
namespace {

const char* const Openssl = "/usr/bin/openssl";

TEST(TransferTls, UntrustedCertificateIsRefused) {
    if (::access(Openssl, X_OK) != 0) GTEST_SKIP() << "no openssl program to serve TLS";
    test::TempDir dir;
    const std::string cert = (dir / "cert.pem").string(), key = (dir / "key.pem").string();
    const auto made = test::run_process(
        {Openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
         "-days", "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"},
        dir.str(), std::chrono::seconds(60));
    ASSERT_EQ(made.exit_code, 0) << made.err;
    const int port = test::TestServer().port();  // free once that server has stopped
    test::Child server({Openssl, "s_server", "-quiet", "-accept",
                        "127.0.0.1:" + std::to_string(port), "-cert", cert, "-key", key, "-www"});
    const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/";
    CurlTransfer inet;
    // Only a server that serves TLS with this certificate gives Untrusted.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    const auto refused = [&] {
        inet.SetStopToken({});  // a new run: the host is not given up
        return inet.OpenURL(url).cause == Cause::Refused;
    };
    while (refused() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (auto type : {DataType::Text, DataType::Bytes}) {
        const Response r = inet.OpenURL(url, type);
        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(r.body.empty());
        EXPECT_EQ(r.cause, Cause::Untrusted) << r.error;
        EXPECT_EQ(cause_text(r), "TLS certificate not trusted");
    }
}

}  // namespace
}  // namespace psf
