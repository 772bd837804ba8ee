#include "PkiInternal.h"
#include "QuarnPKI.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <unordered_map>

namespace quarnpki {
namespace {

std::mutex registryMutex;
// Deliberately never destroyed: handles that callers still hold at exit must not be torn down
// after the token layer they point into.
std::unordered_map<void*, std::unique_ptr<CHandle>>& Registry()
{
    static auto* registry = std::make_unique<std::unordered_map<void*, std::unique_ptr<CHandle>>>().release();
    return *registry;
}

thread_local std::string lastError;

// Library memory carries its size in front so that it can be wiped when freed; the header is
// 16 bytes to keep the caller's part aligned for any type.
constexpr size_t kMemoryHeader = 16;

} // namespace

void* Publish(std::unique_ptr<CHandle> handle)
{
    void* key = handle.get();
    const std::lock_guard lock(registryMutex);
    Registry().emplace(key, std::move(handle));
    return key;
}

CHandle* Lookup(void* handle, HandleKind kind)
{
    if (handle != nullptr) {
        const std::lock_guard lock(registryMutex);
        const auto it = Registry().find(handle);
        if (it != Registry().end() && it->second->handleKind == kind) {
            return it->second.get();
        }
    }
    SetError(handle == nullptr ? "null handle" : "not a live handle of this kind");
    return nullptr;
}

void Release(void* handle, HandleKind kind)
{
    std::unique_ptr<CHandle> owned;
    {
        const std::lock_guard lock(registryMutex);
        const auto it = Registry().find(handle);
        if (it == Registry().end() || it->second->handleKind != kind) {
            return;
        }
        owned = std::move(it->second);
        Registry().erase(it);
    }
    // Destroyed outside the lock: a destructor may free other handles.
}

void SetError(std::string_view text)
{
    lastError.assign(text);
}

void SetOpenSslError(std::string_view what)
{
    std::string text(what);
    const unsigned long code = ERR_get_error();
    if (code != 0) {
        char reason[256];
        ERR_error_string_n(code, reason, sizeof reason);
        text += ": ";
        text += reason;
    }
    ERR_clear_error();
    SetError(text);
}

void ClearError()
{
    lastError.clear();
}

int HandOut(const unsigned char* data, size_t length, unsigned char** out, int* outLength)
{
    if (out == nullptr || outLength == nullptr) {
        SetError("missing output argument");
        return QUARNPKI_INVALID_ARGUMENT;
    }
    if (length > static_cast<size_t>(std::numeric_limits<int>::max() - 1)) {
        SetError("output too large");
        return QUARNPKI_FAILED;
    }
    auto* buffer = static_cast<unsigned char*>(QuarnPKICryptoAllocMemory(static_cast<int>(length) + 1));
    if (buffer == nullptr) {
        SetError("out of memory");
        return QUARNPKI_FAILED;
    }
    if (length > 0) {
        std::memcpy(buffer, data, length);
    }
    *out = buffer;
    *outLength = static_cast<int>(length);
    return QUARNPKI_OK;
}

int HandOut(const std::vector<unsigned char>& data, unsigned char** out, int* outLength)
{
    return HandOut(data.data(), data.size(), out, outLength);
}

int HandOutText(std::string_view text, char** out, int* length)
{
    if (out == nullptr) {
        SetError("missing output argument");
        return QUARNPKI_INVALID_ARGUMENT;
    }
    unsigned char* buffer = nullptr;
    int size = 0;
    const int rc = HandOut(reinterpret_cast<const unsigned char*>(text.data()), text.size(), &buffer, &size);
    if (rc != QUARNPKI_OK) {
        return rc;
    }
    *out = reinterpret_cast<char*>(buffer);
    if (length != nullptr) {
        *length = size;
    }
    return QUARNPKI_OK;
}

bool DecodeBase64Text(std::string_view text, std::vector<unsigned char>& out)
{
    std::string compact;
    compact.reserve(text.size());
    for (const char c : text) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            continue;
        }
        const bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')
            || c == '+' || c == '/' || c == '=';
        if (!alphabet) {
            return false;
        }
        compact.push_back(c);
    }
    if (compact.empty() || compact.size() % 4 != 0) {
        return false;
    }
    // '=' may only close the text, at most two of them.
    const size_t firstPad = compact.find('=');
    size_t padding = 0;
    if (firstPad != std::string::npos) {
        padding = compact.size() - firstPad;
        if (padding > 2 || compact.find_first_not_of('=', firstPad) != std::string::npos) {
            return false;
        }
    }
    out.assign(compact.size() / 4 * 3, 0);
    const int decoded = EVP_DecodeBlock(
        out.data(), reinterpret_cast<const unsigned char*>(compact.data()), static_cast<int>(compact.size()));
    if (decoded < 0) {
        return false;
    }
    out.resize(static_cast<size_t>(decoded) - padding);
    return true;
}

std::vector<unsigned char> PublicKeyDer(EVP_PKEY* key)
{
    std::vector<unsigned char> der;
    const int length = i2d_PUBKEY(key, nullptr);
    if (length <= 0) {
        return der;
    }
    der.resize(static_cast<size_t>(length));
    unsigned char* p = der.data();
    if (i2d_PUBKEY(key, &p) != length) {
        der.clear();
    }
    return der;
}

X509Ptr ShareCertificate(X509* cert)
{
    if (cert == nullptr || X509_up_ref(cert) != 1) {
        SetOpenSslError("certificate copy failed");
        return nullptr;
    }
    return X509Ptr(cert);
}

const EVP_MD* DigestForAlgorithm(int algorithm)
{
    switch (algorithm) {
    case QUARNPKI_HASH_SHA256:
        return EVP_sha256();
    case QUARNPKI_HASH_SM3:
        return EVP_sm3();
    default:
        return nullptr;
    }
}

std::string HexUpper(const unsigned char* data, size_t length)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string hex;
    hex.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        hex.push_back(digits[data[i] >> 4]);
        hex.push_back(digits[data[i] & 0x0F]);
    }
    return hex;
}

} // namespace quarnpki

using namespace quarnpki;

extern "C" {

void* QuarnPKICryptoAllocMemory(int size)
{
    if (size < 0) {
        return nullptr;
    }
    auto* block = static_cast<unsigned char*>(OPENSSL_zalloc(kMemoryHeader + static_cast<size_t>(size)));
    if (block == nullptr) {
        return nullptr;
    }
    const auto stored = static_cast<uint64_t>(size);
    std::memcpy(block, &stored, sizeof stored);
    return block + kMemoryHeader;
}

void QuarnPKICryptoFreeMemory(void* p)
{
    if (p == nullptr) {
        return;
    }
    unsigned char* block = static_cast<unsigned char*>(p) - kMemoryHeader;
    uint64_t size = 0;
    std::memcpy(&size, block, sizeof size);
    OPENSSL_clear_free(block, kMemoryHeader + static_cast<size_t>(size));
}

const char* QuarnPKIGetLastError(void)
{
    return lastError.c_str();
}

} // extern "C"
