// A service of the development server, mounted on its one HTTP server.
#pragma once

namespace httplib {
class Server;
}

class IDevService
{
public:
    virtual ~IDevService() = default;
    // Registers the service's routes. Handlers run on the server's worker threads.
    virtual void Mount(httplib::Server& server) = 0;
};
