// The HTTP exchange of the rules download, over libcurl.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace rules {

// A body that announces more than this is refused without being allocated: a rules document is
// a few kilobytes, and a server must not make the caller allocate whatever it announces.
inline constexpr std::size_t kMaxRulesBodyBytes = std::size_t { 16 } << 20;

struct CRulesRequest
{
    std::string_view targetUrl;
    bool useProxy = false;
    std::string_view proxyHost;
    std::string_view proxyPort;
    std::string_view proxyUser;
    std::string_view proxyPassword;
    int receiveTimeoutMs = 0; // 0: no limit on waiting for data
    int totalTimeoutMs = 0; // 0: no limit on the whole exchange
    std::string_view postData;
};

// Posts postData to targetUrl the way rules servers expect: POST, HTTP/1.0, agent
// "Rules File Download", the header "Content-Type: application/x-www-form-urlencoded", over
// plain HTTP to the URL's host and port whatever its scheme, without credentials of its own;
// through the given proxy when useProxy is set, else through the environment's proxy
// (http_proxy, no_proxy; loopback always direct). The
// HTTP status is not examined. The body is read up to its Content-Length; an answer without one
// has an empty body.
// Returns true with the body, or false when the URL does not split, the connection, request or
// transfer fails, no data arrives for receiveTimeoutMs, the exchange takes longer than
// totalTimeoutMs, the body announces more than
// kMaxRulesBodyBytes, or the body cannot be allocated.
bool PostRulesRequest(const CRulesRequest& request, std::string& body);

} // namespace rules
