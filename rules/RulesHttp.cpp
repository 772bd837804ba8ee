#include "RulesHttp.h"

#include "EnvironmentProxy.h"
#include "FreeWith.h"

#include <chrono>
#include <curl/curl.h>

namespace rules {

namespace {

using CCurl = kelvane::FreedPtr<CURL, curl_easy_cleanup>;
using CCurlUrl = kelvane::FreedPtr<CURLU, curl_url_cleanup>;
using CCurlList = kelvane::FreedPtr<curl_slist, curl_slist_free_all>;
using CCurlText = kelvane::FreedPtr<char, curl_free>;

using CClock = std::chrono::steady_clock;

std::string UrlPart(CURLU* url, const CURLUPart part, const unsigned int flags = 0)
{
    char* text = nullptr;
    if (curl_url_get(url, part, &text, flags) != CURLUE_OK) {
        return {};
    }
    const CCurlText owned(text);
    return owned.get();
}

// Only the host, the port and the object (path and query) of the target URL are used: the
// request always goes out as plain HTTP, without user name or password. Empty when the URL does
// not split into a host.
std::string ToHttpUrl(const std::string_view targetUrl)
{
    const CCurlUrl url(curl_url());
    if (!url) {
        return {};
    }
    const std::string text(targetUrl);
    if (curl_url_set(url.get(), CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME | CURLU_URLENCODE)
        != CURLUE_OK) {
        return {};
    }
    const std::string host = UrlPart(url.get(), CURLUPART_HOST);
    if (host.empty()) {
        return {};
    }
    std::string port = UrlPart(url.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
    if (port.empty()) {
        port = "80";
    }
    std::string object = UrlPart(url.get(), CURLUPART_PATH);
    const std::string query = UrlPart(url.get(), CURLUPART_QUERY);
    if (!query.empty()) {
        object += "?" + query;
    }
    return "http://" + host + ":" + port + object;
}

struct CTransfer
{
    CURL* curl = nullptr;
    std::string& body;
    int receiveTimeoutMs = 0;
    CClock::time_point lastActivity = CClock::now();
    curl_off_t lastDownloaded = 0;
    curl_off_t lastUploaded = 0;
    curl_off_t expected = 0; // the Content-Length, 0 without one
    bool headersDone = false;
    bool bodyComplete = false;
    // A callback that failed (out of memory, libcurl refusing to tell the status): the transfer
    // is stopped and fails. No exception may cross libcurl's C frames.
    bool failed = false;
};

// At the end of the final header block the Content-Length decides how much of the body is read,
// before any of the body has arrived.
size_t OnHeader(char* data, const size_t size, const size_t count, void* user) noexcept
{
    auto& transfer = *static_cast<CTransfer*>(user);
    const size_t length = size * count;
    const bool blankLine
        = (length == 2 && data[0] == '\r' && data[1] == '\n') || (length == 1 && data[0] == '\n');
    if (!blankLine) {
        return length;
    }
    long status = 0;
    if (curl_easy_getinfo(transfer.curl, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) {
        transfer.failed = true;
        return 0;
    }
    if (status >= 100 && status < 200) {
        return length; // an interim answer; the real one follows
    }
    curl_off_t announced = -1;
    if (curl_easy_getinfo(transfer.curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) != CURLE_OK) {
        transfer.failed = true;
        return 0;
    }
    transfer.expected = announced < 0 ? 0 : announced;
    if (static_cast<unsigned long long>(transfer.expected) > kMaxRulesBodyBytes) {
        return 0;
    }
    try {
        transfer.body.reserve(static_cast<size_t>(transfer.expected));
    } catch (...) {
        transfer.failed = true;
        return 0;
    }
    transfer.headersDone = true;
    transfer.bodyComplete = transfer.expected == 0;
    return length;
}

// Takes the body only up to the announced length. Once that much has arrived the transfer is
// stopped, so that nothing the server sends beyond it is read.
size_t OnBody(char* data, const size_t size, const size_t count, void* user) noexcept
{
    auto& transfer = *static_cast<CTransfer*>(user);
    const size_t length = size * count;
    if (!transfer.headersDone || transfer.bodyComplete) {
        return 0;
    }
    const size_t missing = static_cast<size_t>(transfer.expected) - transfer.body.size();
    const size_t taken = length < missing ? length : missing;
    try {
        transfer.body.append(data, taken);
    } catch (...) {
        transfer.failed = true;
        return 0;
    }
    if (transfer.body.size() == static_cast<size_t>(transfer.expected)) {
        transfer.bodyComplete = true;
        return taken == length ? length : 0;
    }
    return length;
}

// The receive time-out: the transfer fails when neither sending nor receiving has moved for
// longer than receiveTimeoutMs, whether the wait is for the connection, the answer or more of
// the body.
int OnProgress(
    void* user, curl_off_t, const curl_off_t downloaded, curl_off_t, const curl_off_t uploaded) noexcept
{
    auto& transfer = *static_cast<CTransfer*>(user);
    const CClock::time_point now = CClock::now();
    if (downloaded != transfer.lastDownloaded || uploaded != transfer.lastUploaded) {
        transfer.lastDownloaded = downloaded;
        transfer.lastUploaded = uploaded;
        transfer.lastActivity = now;
        return 0;
    }
    if (transfer.receiveTimeoutMs != 0
        && now - transfer.lastActivity > std::chrono::milliseconds(transfer.receiveTimeoutMs)) {
        return 1;
    }
    return 0;
}

} // namespace

bool PostRulesRequest(const CRulesRequest& request, std::string& body)
{
    const std::string url = ToHttpUrl(request.targetUrl);
    if (url.empty()) {
        return false;
    }
    const CCurl curl(curl_easy_init());
    if (!curl) {
        return false;
    }
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/x-www-form-urlencoded");
    // The request carries no accept types.
    headers = headers != nullptr ? curl_slist_append(headers, "Accept:") : nullptr;
    const CCurlList headerList(headers);
    if (!headerList) {
        return false;
    }
    std::string received;
    CTransfer transfer { curl.get(), received, request.receiveTimeoutMs };
    CURL* const handle = curl.get();
    const std::string proxy = std::string(request.proxyHost) + ":" + std::string(request.proxyPort);
    const std::string proxyUser(request.proxyUser);
    const std::string proxyPassword(request.proxyPassword);
    const std::string directHosts = quarnpki::DirectHosts();

    bool configured = curl_easy_setopt(handle, CURLOPT_URL, url.c_str()) == CURLE_OK
        && curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http") == CURLE_OK
        && curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L) == CURLE_OK
        && curl_easy_setopt(handle, CURLOPT_USERAGENT, "Rules File Download") == CURLE_OK
        && curl_easy_setopt(handle, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0))
            == CURLE_OK
        && curl_easy_setopt(handle, CURLOPT_POST, 1L) == CURLE_OK
        && curl_easy_setopt(
               handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.postData.size()))
            == CURLE_OK
        && curl_easy_setopt(
               handle, CURLOPT_POSTFIELDS, request.postData.empty() ? "" : request.postData.data())
            == CURLE_OK
        && curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headerList.get()) == CURLE_OK
        && curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, OnHeader) == CURLE_OK
        && curl_easy_setopt(handle, CURLOPT_HEADERDATA, &transfer) == CURLE_OK
        && curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, OnBody) == CURLE_OK
        && curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer) == CURLE_OK
        && curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, OnProgress) == CURLE_OK
        && curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &transfer) == CURLE_OK
        && curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L) == CURLE_OK &&
        // A server that trickles a byte now and then never trips the receive time-out.
        curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(request.totalTimeoutMs)) == CURLE_OK;
    if (configured && request.useProxy) {
        // The proxy text is host, ":" and port even when the port is empty, and no host bypasses
        // it, whatever the environment says.
        configured = curl_easy_setopt(handle, CURLOPT_PROXY, proxy.c_str()) == CURLE_OK
            && curl_easy_setopt(handle, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP)) == CURLE_OK
            && curl_easy_setopt(handle, CURLOPT_NOPROXY, "") == CURLE_OK;
        if (configured && (!proxyUser.empty() || !proxyPassword.empty())) {
            configured = curl_easy_setopt(handle, CURLOPT_PROXYUSERNAME, proxyUser.c_str()) == CURLE_OK
                && curl_easy_setopt(handle, CURLOPT_PROXYPASSWORD, proxyPassword.c_str()) == CURLE_OK
                && curl_easy_setopt(handle, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC)) == CURLE_OK;
        }
    } else if (configured) {
        // Without a proxy of its own the request takes the workstation's (the environment's),
        // which is how a site that reaches the tender platform only through its proxy is set up.
        configured = curl_easy_setopt(handle, CURLOPT_NOPROXY, directHosts.c_str()) == CURLE_OK;
    }
    if (!configured) {
        return false;
    }
    transfer.lastActivity = CClock::now();
    const CURLcode result = curl_easy_perform(handle);
    // Stopping once the announced length has arrived shows up as a write error, and a server that
    // closes before sending all it announced leaves a shorter body, which is taken as it is.
    const bool receivedOk = result == CURLE_OK || result == CURLE_PARTIAL_FILE
        || (result == CURLE_WRITE_ERROR && transfer.bodyComplete);
    if (!receivedOk || !transfer.headersDone || transfer.failed) {
        return false;
    }
    body = std::move(received);
    return true;
}

} // namespace rules
