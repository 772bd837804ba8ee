// An HTTP server on 127.0.0.1 and a free port, running on its own thread for one test.
#pragma once

#include <httplib.h>

#include <chrono>
#include <string>
#include <thread>

namespace kelvane::test {

class CLoopbackServer {
public:
    CLoopbackServer() = default;
    ~CLoopbackServer() { Stop(); }
    CLoopbackServer(const CLoopbackServer&) = delete;
    CLoopbackServer& operator=(const CLoopbackServer&) = delete;

    httplib::Server& Routes() { return server; }

    void Start() {
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
        // The socket listens from the bind on; wait for the accept loop all the same.
        while (!server.is_running()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    void Stop() {
        if (thread.joinable()) {
            server.stop();
            thread.join();
        }
    }
    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port) + path; }

private:
    httplib::Server server;
    std::thread thread;
    int port = 0;
};

}  // namespace kelvane::test
