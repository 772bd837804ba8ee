// HTTP POST against a real server on loopback: statuses, headers, the body cap, refused
// connections and proxies from the environment.
#include "PkiTestUtil.h"
#include "QuarnPKI.h"
#include "tests/support/LoopbackServer.h"

#include <atomic>
#include <gtest/gtest.h>
#include <poll.h>

using namespace kelvane::test;

namespace {

constexpr size_t kCap = 16u << 20;

struct CPosted
{
    int rc = 0;
    int status = 0;
    std::string headers;
    std::string body;
};

CPosted Post(const std::string& url, const std::string& body)
{
    const char* headers[] = { "Connection:Keep-Alive", "Cache-Control:no-cache",
        "Content-type:application/x-www-form-urlencoded" };
    CPosted posted;
    char* responseHeaders = nullptr;
    unsigned char* response = nullptr;
    int length = 0;
    posted.rc
        = QuarnPKICryptoHttpPost(url.c_str(), headers, 3, reinterpret_cast<const unsigned char*>(body.data()),
            static_cast<int>(body.size()), &posted.status, &responseHeaders, &response, &length);
    posted.headers = TakeText(responseHeaders);
    const auto bytes = TakeBytes(response, length);
    posted.body.assign(bytes.begin(), bytes.end());
    return posted;
}

class PkiHttp : public ::testing::Test
{
protected:
    void SetUp() override
    {
        auto& routes = server.server;
        routes.Post("/status/(\\d+)", [](const httplib::Request& req, httplib::Response& res) {
            res.status = std::stoi(req.matches[1]);
            res.set_content(
                "type=" + req.get_header_value("Content-type") + ";body=" + req.body, "text/plain");
        });
        routes.Post("/big", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(std::string(kCap + 1, 'x'), "application/octet-stream");
        });
        routes.Post("/big-chunked", [](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider(
                "application/octet-stream", [](size_t offset, httplib::DataSink& sink) {
                    const std::string block(1 << 20, 'y');
                    if (offset > kCap) {
                        sink.done();
                        return true;
                    }
                    return sink.write(block.data(), block.size());
                });
        });
        routes.Post("/at-cap", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(std::string(kCap, 'z'), "application/octet-stream");
        });
        server.Start();
    }

    CLoopbackServer server;
};

TEST_F(PkiHttp, ReturnsStatusHeadersAndBodyWhateverTheStatus)
{
    for (const int status : { 200, 201, 500 }) {
        const CPosted posted = Post(server.Url("/status/" + std::to_string(status)), "plainText=a+b%2Bc~");
        EXPECT_EQ(posted.rc, 1) << QuarnPKIGetLastError();
        EXPECT_EQ(posted.status, status);
        EXPECT_EQ(posted.body, "type=application/x-www-form-urlencoded;body=plainText=a+b%2Bc~");
        EXPECT_NE(posted.headers.find("Content-Type: text/plain"), std::string::npos);
    }
}

TEST_F(PkiHttp, RefusesBodiesOverSixteenMebibytes)
{
    const CPosted atCap = Post(server.Url("/at-cap"), "");
    EXPECT_EQ(atCap.rc, 1);
    EXPECT_EQ(atCap.body.size(), kCap);
    for (const std::string path : { "/big", "/big-chunked" }) {
        const CPosted posted = Post(server.Url(path), "");
        EXPECT_EQ(posted.rc, 0) << path;
        EXPECT_TRUE(posted.body.empty());
        EXPECT_NE(std::string(QuarnPKIGetLastError()).find("16 MiB"), std::string::npos);
    }
}

// The workstation's proxy is the environment's; loopback always goes direct. A host under
// .invalid cannot be reached direct, so an answer proves the proxy carried the request.
TEST_F(PkiHttp, TakesTheEnvironmentsProxyExceptForLoopback)
{
    struct CCase
    {
        const char* url;
        const char* proxy;
        const char* noProxy;
        int rc;
    };
    const std::string loopback = server.Url("/status/200");
    const std::string proxy = server.Url("");
    for (const CCase& c : { CCase { loopback.c_str(), "http://127.0.0.1:9", "", 1 },
             CCase { "http://log.invalid/status/200", proxy.c_str(), "", 1 },
             CCase { "http://log.invalid/status/200", proxy.c_str(), "example.org,log.invalid", 0 } }) {
        setenv("http_proxy", c.proxy, 1);
        setenv("no_proxy", c.noProxy, 1);
        const CPosted posted = Post(c.url, "x");
        unsetenv("http_proxy");
        unsetenv("no_proxy");
        EXPECT_EQ(posted.rc, c.rc) << c.url << " " << c.noProxy << ": " << QuarnPKIGetLastError();
    }
}

// The posts of a thread share one kept-alive connection; a server that drops a kept connection
// after taking a request costs a fresh connection, and one that never answers is a failure, never
// an answer.
TEST(PkiHttpKeepAlive, PostsShareAConnectionAndADroppedOneIsNeverAnAnswer)
{
    const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    for (const int answered : { 5, 1, 0 }) {
        std::atomic<int> connections { 0 };
        std::atomic<bool> done { false };
        {
            // Answers `answered` requests on each connection (all of them when 5), then closes it
            // on the next request without a word.
            CRawServer server([&](int socket) {
                ++connections;
                for (int request = 0; !done; ++request) {
                    pollfd waiting { socket, POLLIN, 0 };
                    if (poll(&waiting, 1, 50) <= 0)
                        continue;
                    if (ReadRequest(socket).head.empty() || (answered < 5 && request >= answered))
                        return;
                    SendAll(socket, ok);
                }
            });
            std::vector<CPosted> posts;
            for (int i = 0; i < 3; ++i)
                posts.push_back(Post(server.Url("/log"), "plainText=" + std::to_string(i)));
            done = true;
            for (const CPosted& posted : posts) {
                if (answered > 0) {
                    EXPECT_EQ(posted.rc, 1) << answered << ": " << QuarnPKIGetLastError();
                    EXPECT_EQ(posted.body, "ok");
                } else {
                    EXPECT_EQ(posted.rc, 0) << "a dropped request is no answer";
                }
            }
        }
        if (answered == 5) {
            EXPECT_EQ(connections, 1) << "one connection for the three posts";
        }
    }
}

TEST(PkiHttpFailures, RefusedConnectionAndBadArgumentsFail)
{
    const CPosted refused = Post("http://127.0.0.1:" + std::to_string(FreePort()) + "/", "x");
    EXPECT_EQ(refused.rc, 0);
    EXPECT_NE(std::string(QuarnPKIGetLastError()).find("failed"), std::string::npos);
    EXPECT_EQ(Post("", "x").rc, 0);
    EXPECT_EQ(Post("file:///etc/passwd", "x").rc, 0);

    int status = 0;
    unsigned char* response = nullptr;
    int responseLength = 0;
    EXPECT_EQ(
        QuarnPKICryptoHttpPost(nullptr, nullptr, 0, nullptr, 0, &status, nullptr, &response, &responseLength),
        QUARNPKI_INVALID_ARGUMENT);
}

} // namespace
