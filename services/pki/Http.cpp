// HTTP POST over libcurl.
#include "Http.h"

#include "EnvironmentProxy.h"

#include "PkiInternal.h"
#include "QuarnPKI.h"

#include <curl/curl.h>

#include <atomic>
#include <mutex>

namespace quarnpki {
namespace {

std::atomic<long> connectTimeoutMs{10000};
std::atomic<long> totalTimeoutMs{30000};

struct CurlFree { void operator()(CURL* p) const { curl_easy_cleanup(p); } };
struct SlistFree { void operator()(curl_slist* p) const { curl_slist_free_all(p); } };

struct CReceived {
    std::vector<unsigned char> body;
    std::string headers;
    bool overCap = false;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* received = static_cast<CReceived*>(user);
    const size_t length = size * count;
    if (received->body.size() + length > kMaxResponseBody) {
        received->overCap = true;
        return 0;  // makes libcurl stop with a write error
    }
    received->body.insert(received->body.end(), data, data + length);
    return length;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto* received = static_cast<CReceived*>(user);
    const size_t length = size * count;
    if (received->headers.size() + length <= kMaxResponseBody) {
        received->headers.append(data, length);
    }
    return length;
}

}  // namespace

void SetHttpTimeouts(long connectMs, long totalMs) {
    if (connectMs > 0) {
        connectTimeoutMs = connectMs;
    }
    if (totalMs > 0) {
        totalTimeoutMs = totalMs;
    }
}

int HttpPost(const std::string& url, const std::vector<std::string>& headers, const unsigned char* body,
             size_t bodyLength, CHttpResult& result) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

    std::unique_ptr<CURL, CurlFree> curl(curl_easy_init());
    if (!curl) {
        SetError("HTTP client cannot start");
        return QUARNPKI_FAILED;
    }
    std::unique_ptr<curl_slist, SlistFree> headerList;
    for (const auto& line : headers) {
        curl_slist* appended = curl_slist_append(headerList.get(), line.c_str());
        if (appended == nullptr) {
            SetError("out of memory");
            return QUARNPKI_FAILED;
        }
        (void)headerList.release();
        headerList.reset(appended);
    }
    // libcurl waits for "100 Continue" on larger bodies; our servers never send it.
    curl_slist* appended = curl_slist_append(headerList.get(), "Expect:");
    if (appended == nullptr) {
        SetError("out of memory");
        return QUARNPKI_FAILED;
    }
    (void)headerList.release();
    headerList.reset(appended);

    CReceived received;
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body != nullptr ? reinterpret_cast<const char*>(body) : "");
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bodyLength));
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headerList.get());
    // The workstation's proxy from the environment, loopback always direct.
    const std::string directHosts = DirectHosts();
    curl_easy_setopt(c, CURLOPT_NOPROXY, directHosts.c_str());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, connectTimeoutMs.load());
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, totalTimeoutMs.load());
    curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxResponseBody));
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &OnBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &received);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &OnHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &received);
    const CURLcode code = curl_easy_perform(c);
    if (code != CURLE_OK) {
        if (received.overCap || code == CURLE_FILESIZE_EXCEEDED) {
            SetError("the response body is larger than 16 MiB");
        } else {
            SetError(std::string("HTTP exchange with ") + url + " failed: " + curl_easy_strerror(code));
        }
        return QUARNPKI_FAILED;
    }
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    result.status = status;
    result.headers = std::move(received.headers);
    result.body = std::move(received.body);
    return QUARNPKI_OK;
}

}  // namespace quarnpki

using namespace quarnpki;

extern "C" {

int QuarnPKICryptoHttpPost(const char* url, const char** headers, int headerCount, const unsigned char* body,
                           int bodyLength, int* status, char** responseHeaders, unsigned char** response,
                           int* responseLength) {
    return Guarded(QUARNPKI_FAILED, [&] {
        if (url == nullptr || headerCount < 0 || (headers == nullptr && headerCount > 0) || bodyLength < 0 ||
            (body == nullptr && bodyLength > 0) || status == nullptr || response == nullptr ||
            responseLength == nullptr) {
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
        if (responseHeaders != nullptr && HandOutText(result.headers, responseHeaders) != QUARNPKI_OK) {
            QuarnPKICryptoFreeMemory(bodyOut);
            return QUARNPKI_FAILED;
        }
        *status = static_cast<int>(result.status);
        *response = bodyOut;
        *responseLength = bodyOutLength;
        return QUARNPKI_OK;
    });
}

void QuarnPKICryptoSetHttpTimeouts(int connectMs, int totalMs) { SetHttpTimeouts(connectMs, totalMs); }

}  // extern "C"
