// The HTTP POST shared by QuarnPKICryptoHttpPost and the time-stamp exchange.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace quarnpki {

// No answer of the services we talk to comes near this; a larger one is refused, not stored.
constexpr size_t kMaxResponseBody = 16u << 20;

struct CHttpResult
{
    long status = 0;
    std::string headers;
    std::vector<unsigned char> body;
};

// POSTs the body; QUARNPKI_OK when a response arrived (whatever its status).
int HttpPost(const std::string& url, const std::vector<std::string>& headers, const unsigned char* body,
    size_t bodyLength, CHttpResult& result);
void SetHttpTimeouts(long connectMs, long totalMs);

} // namespace quarnpki
