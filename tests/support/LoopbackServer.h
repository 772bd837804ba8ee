// Servers on 127.0.0.1 for tests: an HTTP server with routes, a raw TCP server for answers that no
// well-behaved server gives, and a port that nobody listens on.
#pragma once

#include <atomic>
#include <functional>
#include <httplib.h>
#include <string>
#include <thread>
#include <vector>

namespace kelvane::test {

// An HTTP server on a free loopback port, on a thread of its own from Start until Stop or the
// end of the object. Routes go on `server` (before Start); it counts the requests it received.
class CLoopbackServer
{
public:
    CLoopbackServer();
    ~CLoopbackServer() { Stop(); }
    CLoopbackServer(const CLoopbackServer&) = delete;
    CLoopbackServer& operator=(const CLoopbackServer&) = delete;

    // Throws std::runtime_error when no port can be bound.
    void Start();
    void Stop();
    int Port() const { return port; }
    std::string Url(const std::string& path) const;

    httplib::Server server;
    std::atomic<int> requests { 0 };

private:
    std::thread worker;
    int port = 0;
};

// A loopback TCP server that hands each connection to a handler on its own thread, from
// construction on; the handler gets the socket, which is closed after it returns.
class CRawServer
{
public:
    using CHandler = std::function<void(int socket)>;
    explicit CRawServer(CHandler handler);
    ~CRawServer();
    CRawServer(const CRawServer&) = delete;
    CRawServer& operator=(const CRawServer&) = delete;
    int Port() const { return port; }
    std::string Url(const std::string& path) const;

private:
    int listener = -1;
    int port = 0;
    std::atomic<bool> stopping { false };
    CHandler handler;
    std::thread acceptor;
    std::vector<std::thread> workers;
};

struct CRawRequest
{
    std::string head; // request line and headers, up to the blank line
    std::string body; // as many bytes as its Content-Length says
};
CRawRequest ReadRequest(int socket);
void SendAll(int socket, const std::string& bytes);
// A header's value from a request head, empty when absent (names compared without case).
std::string HeaderValue(const std::string& head, const std::string& name);

// A loopback port that was free when probed: nobody listens on it, so connections are refused
// (until another process happens to take it).
int FreePort();

} // namespace kelvane::test
