// The development server: one HTTP server on loopback carrying every development service.
#pragma once

#include "IDevService.h"

#include <memory>
#include <vector>

namespace httplib {
class Server;
}

class CDevServer
{
public:
    CDevServer();
    ~CDevServer();
    CDevServer(const CDevServer&) = delete;
    CDevServer& operator=(const CDevServer&) = delete;

    // Mounts a service; all services are mounted before Bind.
    void Add(std::unique_ptr<IDevService> service);

    // Binds 127.0.0.1:port, a free port when port is 0. Returns the bound port, or -1.
    int Bind(int port);
    // Serves until Stop; returns false when serving failed.
    bool Run();
    // True once Run serves.
    bool IsRunning() const;
    // Ends Run from any thread. A stop before Run serves is lost: wait for IsRunning first.
    void Stop();

private:
    std::unique_ptr<httplib::Server> server;
    std::vector<std::unique_ptr<IDevService>> services;
};
