#include "CQuelvar.h"

#include "RulesHttp.h"
#include "core/RulesBase64.h"
#include "core/RulesKey.h"

#include <PkiPtr.h>
#include <QuarnPKI.h>
#include <cstring>
#include <new>
#include <openssl/crypto.h>

namespace {

// What the rules server sends, encrypted like a rules document, while it keeps the rules back.
constexpr char kRefusalText[] = "bidRulesErrorOutTime";

bool IsAsciiLetter(const char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A URL starts with a scheme of letters followed by "://".
bool IsUrl(const std::string& text)
{
    std::size_t at = 0;
    while (at < text.size() && IsAsciiLetter(text[at])) {
        ++at;
    }
    return at > 0 && text.compare(at, 3, "://") == 0;
}

// The stages of ruleText that come from the network end before the first zero byte.
std::string UpToFirstZero(const char* data, const std::size_t length)
{
    const void* zero = std::memchr(data, '\0', length);
    return std::string(data, zero != nullptr ? static_cast<const char*>(zero) - data : length);
}

} // namespace

int CQuelvar::SetTargetUrl(const char* url)
{
    targetUrl = url != nullptr ? url : "";
    if (!IsUrl(targetUrl)) {
        targetUrl.clear();
        return QUELVAR_NOT_A_URL;
    }
    return QUELVAR_OK;
}

void CQuelvar::SetProxy(const char* host, const char* port, const char* user, const char* password)
{
    proxyHost = host != nullptr ? host : "";
    proxyPort = port != nullptr ? port : "";
    proxyUser = user != nullptr ? user : "";
    proxyPassword = password != nullptr ? password : "";
    useProxy = true;
}

int CQuelvar::GetRules(const char* postData, const int postLen)
{
    if (!DownloadRules(postData, postLen)) {
        return QUELVAR_DOWNLOAD_FAILED;
    }
    if (ruleText.empty()) {
        return QUELVAR_EMPTY_BODY;
    }
    if (decodeBase64) {
        const int code = DecodeRules();
        if (code != QUELVAR_OK) {
            return code;
        }
    }
    const int code = DecryptRules();
    if (code != QUELVAR_OK) {
        return code;
    }
    if (ruleText == kRefusalText) {
        return QUELVAR_RULES_NOT_RELEASED;
    }
    return rules::ParseRules(ruleText.c_str(), content);
}

bool CQuelvar::DownloadRules(const char* postData, const int postLen)
{
    rules::CRulesRequest request;
    request.targetUrl = targetUrl;
    request.useProxy = useProxy;
    request.proxyHost = proxyHost;
    request.proxyPort = proxyPort;
    request.proxyUser = proxyUser;
    request.proxyPassword = proxyPassword;
    request.receiveTimeoutMs = receiveTimeoutMs;
    request.totalTimeoutMs = totalTimeoutMs;
    request.postData
        = std::string_view(postData != nullptr ? postData : "", postData != nullptr ? postLen : 0);
    std::string body;
    try {
        if (!rules::PostRulesRequest(request, body)) {
            return false;
        }
        ruleText = UpToFirstZero(body.data(), body.size());
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

int CQuelvar::DecodeRules()
{
    ruleText = rules::DecodeRulesBase64(ruleText);
    return ruleText.empty() ? QUELVAR_EMPTY_BODY : QUELVAR_OK;
}

int CQuelvar::DecryptRules()
{
    unsigned char key[rules::kRulesKeyLength];
    unsigned char iv[rules::kRulesIvLength];
    rules::BuildRulesKey(key);
    rules::BuildRulesIv(iv);
    const kelvane::pki::CipherPtr cipher(QuarnPKICryptoGetCipherHandle(
        nullptr, QUARNPKI_CIPHER_SM4_CBC, key, static_cast<int>(sizeof key), iv));
    OPENSSL_cleanse(key, sizeof key);
    OPENSSL_cleanse(iv, sizeof iv);
    if (!cipher) {
        return QUELVAR_CIPHER_SETUP_FAILED;
    }
    // Without the padding mode the output would keep the padding bytes, so a failure here counts
    // like a failed decryption.
    if (QuarnPKICryptoCipherSetPadding(cipher.get(), QUARNPKI_PADDING_PKCS7) != 1) {
        return QUELVAR_DECRYPT_UPDATE_FAILED;
    }
    unsigned char* first = nullptr;
    int firstLength = 0;
    if (QuarnPKICryptoCipherUpdate(cipher.get(), reinterpret_cast<const unsigned char*>(ruleText.data()),
            static_cast<int>(ruleText.size()), &first, &firstLength)
        != 1) {
        return QUELVAR_DECRYPT_UPDATE_FAILED;
    }
    const kelvane::pki::BytesPtr firstPiece(first);
    unsigned char* second = nullptr;
    int secondLength = 0;
    if (QuarnPKICryptoCipherFinal(cipher.get(), &second, &secondLength) != 1) {
        return QUELVAR_DECRYPT_FINAL_FAILED;
    }
    const kelvane::pki::BytesPtr secondPiece(second);
    try {
        std::string decrypted;
        decrypted.reserve(static_cast<std::size_t>(firstLength) + static_cast<std::size_t>(secondLength));
        decrypted.append(reinterpret_cast<const char*>(first), firstLength > 0 ? firstLength : 0);
        decrypted.append(reinterpret_cast<const char*>(second), secondLength > 0 ? secondLength : 0);
        ruleText = UpToFirstZero(decrypted.data(), decrypted.size());
    } catch (const std::bad_alloc&) {
        return QUELVAR_NO_MEMORY;
    }
    return QUELVAR_OK;
}
