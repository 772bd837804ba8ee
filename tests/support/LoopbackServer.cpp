#include "tests/support/LoopbackServer.h"

#include <chrono>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kelvane::test {
namespace {

std::string LoopbackUrl(const int port, const std::string& path)
{
    return "http://127.0.0.1:" + std::to_string(port) + path;
}

// A socket bound to a free loopback port, and that port; -1 when none can be bound.
int BindLoopback(int& port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

} // namespace

CLoopbackServer::CLoopbackServer()
{
    // Counted on arrival: the logger runs after the answer is sent, when the client may have
    // looked at the count already.
    server.set_pre_routing_handler([this](const httplib::Request&, httplib::Response&) {
        ++requests;
        return httplib::Server::HandlerResponse::Unhandled;
    });
    // The server writes an answer's head and body apart: on a kept-alive connection Nagle's
    // algorithm would hold the body until the client's delayed acknowledgement of the head.
    server.set_tcp_nodelay(true);
    // As a service behind a usual web server: a client keeps its connection for a run's requests.
    server.set_keep_alive_max_count(1000);
}

void CLoopbackServer::Start()
{
    port = server.bind_to_any_port("127.0.0.1");
    if (port <= 0) {
        throw std::runtime_error("no loopback port");
    }
    worker = std::thread([this] { server.listen_after_bind(); });
    // The socket listens from the bind on; wait for the accept loop all the same.
    while (!server.is_running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void CLoopbackServer::Stop()
{
    if (worker.joinable()) {
        server.stop();
        worker.join();
    }
}

std::string CLoopbackServer::Url(const std::string& path) const
{
    return LoopbackUrl(port, path);
}

CRawServer::CRawServer(CHandler onConnection)
    : handler(std::move(onConnection))
{
    listener = BindLoopback(port);
    if (listener < 0 || listen(listener, 16) != 0) {
        throw std::runtime_error("cannot listen on loopback");
    }
    acceptor = std::thread([this] {
        while (!stopping) {
            pollfd waiting { listener, POLLIN, 0 };
            if (poll(&waiting, 1, 100) <= 0) {
                continue;
            }
            const int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0) {
                continue;
            }
            workers.emplace_back([this, connection] {
                this->handler(connection);
                close(connection);
            });
        }
    });
}

CRawServer::~CRawServer()
{
    stopping = true;
    if (acceptor.joinable()) {
        acceptor.join();
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    if (listener >= 0) {
        close(listener);
    }
}

std::string CRawServer::Url(const std::string& path) const
{
    return LoopbackUrl(port, path);
}

CRawRequest ReadRequest(const int socket)
{
    CRawRequest request;
    std::string received;
    char buffer[4096];
    size_t headEnd = std::string::npos;
    while ((headEnd = received.find("\r\n\r\n")) == std::string::npos) {
        const ssize_t count = recv(socket, buffer, sizeof buffer, 0);
        if (count <= 0) {
            return request;
        }
        received.append(buffer, static_cast<size_t>(count));
    }
    request.head = received.substr(0, headEnd + 2);
    request.body = received.substr(headEnd + 4);
    const size_t wanted = static_cast<size_t>(std::atol(HeaderValue(request.head, "Content-Length").c_str()));
    while (request.body.size() < wanted) {
        const ssize_t count = recv(socket, buffer, sizeof buffer, 0);
        if (count <= 0) {
            break;
        }
        request.body.append(buffer, static_cast<size_t>(count));
    }
    return request;
}

void SendAll(const int socket, const std::string& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t count = send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (count <= 0) {
            return;
        }
        sent += static_cast<size_t>(count);
    }
}

std::string HeaderValue(const std::string& head, const std::string& name)
{
    size_t lineStart = head.find("\r\n");
    while (lineStart != std::string::npos && lineStart + 2 < head.size()) {
        const size_t begin = lineStart + 2;
        const size_t end = head.find("\r\n", begin);
        const std::string line = head.substr(begin, end - begin);
        const size_t colon = line.find(':');
        if (colon == name.size() && strncasecmp(line.c_str(), name.c_str(), name.size()) == 0) {
            size_t value = colon + 1;
            while (value < line.size() && line[value] == ' ') {
                ++value;
            }
            return line.substr(value);
        }
        lineStart = end;
    }
    return {};
}

int FreePort()
{
    int port = 0;
    const int probe = BindLoopback(port);
    if (probe < 0) {
        throw std::runtime_error("no loopback port");
    }
    close(probe);
    return port;
}

} // namespace kelvane::test
