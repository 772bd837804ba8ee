// HTTP POST over libcurl.
#include "Http.h"

#include "EnvironmentProxy.h"
#include "FreeWith.h"
#include "PkiInternal.h"
#include "PkiPtr.h"
#include "QuarnPKI.h"

#include <atomic>
#include <curl/curl.h>
#include <exception>
#include <mutex>

namespace quarnpki {
namespace {

std::atomic<long> connectTimeoutMs { 10000 };
std::atomic<long> totalTimeoutMs { 30000 };

using CurlPtr = kelvane::FreedPtr<CURL, curl_easy_cleanup>;
using CurlListPtr = kelvane::FreedPtr<curl_slist, curl_slist_free_all>;

// What the callbacks gather. No exception may cross libcurl's C frames: a callback that fails
// keeps its exception here, tells libcurl to stop, and it is thrown again once
// curl_easy_perform has returned.
struct CReceived
{
    std::vector<unsigned char> body;
    std::string headers;
    bool overCap = false;
    std::exception_ptr failure;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) noexcept
{
    auto* received = static_cast<CReceived*>(user);
    const size_t length = size * count;
    if (received->body.size() + length > kMaxResponseBody) {
        received->overCap = true;
        return 0; // makes libcurl stop with a write error
    }
    try {
        received->body.insert(received->body.end(), data, data + length);
    } catch (...) {
        received->failure = std::current_exception();
        return 0;
    }
    return length;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) noexcept
{
    auto* received = static_cast<CReceived*>(user);
    const size_t length = size * count;
    if (received->headers.size() + length <= kMaxResponseBody) {
        try {
            received->headers.append(data, length);
        } catch (...) {
            received->failure = std::current_exception();
            return 0; // any other count than the one given stops the transfer
        }
    }
    return length;
}

// Sets one option; false with the error text when libcurl refuses it.
template <typename T> bool SetOption(CURL* curl, CURLoption option, T value, const char* what)
{
    const CURLcode code = curl_easy_setopt(curl, option, value);
    if (code != CURLE_OK) {
        SetError(std::string("the HTTP client refuses ") + what + ": " + curl_easy_strerror(code));
        return false;
    }
    return true;
}

// This thread's client, with its options cleared. It is kept for the thread's life so that
// libcurl keeps its connections open between exchanges (keep-alive): the records of a run go to
// the log service over one connection instead of one each. A kept connection that the server
// has closed is noticed before it is used, and a request that a reused connection loses before
// any answer is sent again once over a fresh one; an exchange without an answer fails.
CURL* ThreadClient()
{
    thread_local CurlPtr client;
    if (!client) {
        client.reset(curl_easy_init());
    } else {
        curl_easy_reset(client.get());
    }
    return client.get();
}

} // namespace

void SetHttpTimeouts(long connectMs, long totalMs)
{
    if (connectMs > 0) {
        connectTimeoutMs = connectMs;
    }
    if (totalMs > 0) {
        totalTimeoutMs = totalMs;
    }
}

int HttpPost(const std::string& url, const std::vector<std::string>& headers, const unsigned char* body,
    size_t bodyLength, CHttpResult& result)
{
    static std::once_flag initialised;
    static CURLcode initCode = CURLE_OK;
    std::call_once(initialised, [] { initCode = curl_global_init(CURL_GLOBAL_DEFAULT); });
    if (initCode != CURLE_OK) {
        SetError(std::string("HTTP client cannot start: ") + curl_easy_strerror(initCode));
        return QUARNPKI_FAILED;
    }

    CURL* const c = ThreadClient();
    if (c == nullptr) {
        SetError("HTTP client cannot start");
        return QUARNPKI_FAILED;
    }
    CurlListPtr headerList;
    // libcurl waits for "100 Continue" on larger bodies; our servers never send it.
    std::vector<std::string> lines = headers;
    lines.emplace_back("Expect:");
    for (const auto& line : lines) {
        curl_slist* appended = curl_slist_append(headerList.get(), line.c_str());
        if (appended == nullptr) {
            SetError("out of memory");
            return QUARNPKI_FAILED;
        }
        (void)headerList.release();
        headerList.reset(appended);
    }

    CReceived received;
    // The workstation's proxy from the environment, loopback always direct.
    const std::string directHosts = DirectHosts();
    // Only HTTP and HTTPS: a failure to restrict the protocols must not let a file:// or other
    // URL through.
    const bool configured = SetOption(c, CURLOPT_URL, url.c_str(), "the URL")
        && SetOption(c, CURLOPT_PROTOCOLS_STR, "http,https", "to restrict the protocols to HTTP and HTTPS")
        && SetOption(c, CURLOPT_POST, 1L, "a POST")
        && SetOption(
            c, CURLOPT_POSTFIELDS, body != nullptr ? reinterpret_cast<const char*>(body) : "", "the body")
        && SetOption(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bodyLength), "the body length")
        && SetOption(c, CURLOPT_HTTPHEADER, headerList.get(), "the header lines")
        && SetOption(c, CURLOPT_NOPROXY, directHosts.c_str(), "the hosts reached without a proxy")
        && SetOption(c, CURLOPT_NOSIGNAL, 1L, "to work without signals")
        && SetOption(c, CURLOPT_CONNECTTIMEOUT_MS, connectTimeoutMs.load(), "the connection time-out")
        && SetOption(c, CURLOPT_TIMEOUT_MS, totalTimeoutMs.load(), "the time-out")
        && SetOption(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxResponseBody), "the body cap")
        && SetOption(c, CURLOPT_WRITEFUNCTION, &OnBody, "the body reader")
        && SetOption(c, CURLOPT_WRITEDATA, &received, "the body reader")
        && SetOption(c, CURLOPT_HEADERFUNCTION, &OnHeader, "the header reader")
        && SetOption(c, CURLOPT_HEADERDATA, &received, "the header reader");
    if (!configured) {
        return QUARNPKI_FAILED;
    }
    const CURLcode code = curl_easy_perform(c);
    if (received.failure) {
        std::rethrow_exception(received.failure); // Guarded reports it at the C boundary
    }
    if (code != CURLE_OK) {
        if (received.overCap || code == CURLE_FILESIZE_EXCEEDED) {
            SetError("the response body is larger than 16 MiB");
        } else {
            SetError(std::string("HTTP exchange with ") + url + " failed: " + curl_easy_strerror(code));
        }
        return QUARNPKI_FAILED;
    }
    long status = 0;
    const CURLcode statusCode = curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    if (statusCode != CURLE_OK) {
        SetError(
            std::string("HTTP exchange with ") + url + " gave no status: " + curl_easy_strerror(statusCode));
        return QUARNPKI_FAILED;
    }
    result.status = status;
    result.headers = std::move(received.headers);
    result.body = std::move(received.body);
    return QUARNPKI_OK;
}

} // namespace quarnpki

using namespace quarnpki;

extern "C" {

int QuarnPKICryptoHttpPost(const char* url, const char** headers, int headerCount, const unsigned char* body,
    int bodyLength, int* status, char** responseHeaders, unsigned char** response, int* responseLength)
{
    return Guarded(QUARNPKI_FAILED, [&] {
        if (url == nullptr || headerCount < 0 || (headers == nullptr && headerCount > 0) || bodyLength < 0
            || (body == nullptr && bodyLength > 0) || status == nullptr || response == nullptr
            || responseLength == nullptr) {
            SetError("bad HTTP arguments");
            return QUARNPKI_INVALID_ARGUMENT;
        }
        std::vector<std::string> lines;
        for (int i = 0; i < headerCount; ++i) {
            if (headers[i] != nullptr) {
                lines.emplace_back(headers[i]);
            }
        }
        CHttpResult result;
        const int rc = HttpPost(url, lines, body, static_cast<size_t>(bodyLength), result);
        if (rc != QUARNPKI_OK) {
            return rc;
        }
        unsigned char* bodyOut = nullptr;
        int bodyOutLength = 0;
        if (HandOut(result.body, &bodyOut, &bodyOutLength) != QUARNPKI_OK) {
            return QUARNPKI_FAILED;
        }
        kelvane::pki::BytesPtr responseBody(bodyOut);
        if (responseHeaders != nullptr && HandOutText(result.headers, responseHeaders) != QUARNPKI_OK) {
            return QUARNPKI_FAILED;
        }
        *status = static_cast<int>(result.status);
        *response = responseBody.release();
        *responseLength = bodyOutLength;
        return QUARNPKI_OK;
    });
}

void QuarnPKICryptoSetHttpTimeouts(int connectMs, int totalMs)
{
    SetHttpTimeouts(connectMs, totalMs);
}

} // extern "C"
