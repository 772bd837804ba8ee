// The workstation's preconfigured proxy, which on this platform is the environment's http_proxy,
// https_proxy and no_proxy. libcurl reads the first two itself when no proxy is set on a handle;
// the list of hosts that go direct is ours, so that loopback services (the development services,
// a local log relay) are never sent through a proxy whatever the variables say.
#pragma once

#include <cstdlib>
#include <string>

namespace quarnpki {

// no_proxy (or NO_PROXY) as it stands, then localhost and the loopback ranges.
inline std::string DirectHosts()
{
    const char* named = std::getenv("no_proxy");
    if (named == nullptr || *named == '\0')
        named = std::getenv("NO_PROXY");
    std::string hosts = named != nullptr ? named : "";
    if (hosts == "*")
        return hosts;
    if (!hosts.empty())
        hosts += ',';
    return hosts + "localhost,127.0.0.0/8,::1";
}

} // namespace quarnpki
