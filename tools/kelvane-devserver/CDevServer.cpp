#include "CDevServer.h"

#include "DevLog.h"

#include <httplib.h>
#include <string>

CDevServer::CDevServer()
    : server(std::make_unique<httplib::Server>())
{
    server->set_logger([](const httplib::Request& request, const httplib::Response& response) {
        DevLog(request.remote_addr + " " + request.method + " " + request.path + " "
            + std::to_string(response.status) + " " + std::to_string(response.body.size()) + " bytes");
    });
}

CDevServer::~CDevServer() = default;

void CDevServer::Add(std::unique_ptr<IDevService> service)
{
    service->Mount(*server);
    services.push_back(std::move(service));
}

int CDevServer::Bind(const int port)
{
    if (port == 0) {
        return server->bind_to_any_port("127.0.0.1");
    }
    return server->bind_to_port("127.0.0.1", port) ? port : -1;
}

bool CDevServer::Run()
{
    return server->listen_after_bind();
}

bool CDevServer::IsRunning() const
{
    return server->is_running();
}

void CDevServer::Stop()
{
    server->stop();
}
