#include "QuarnSecretFile.h"

#include "BidCrypto.h"
#include "BidExtractor.h"
#include "BidReader.h"
#include "ShareSources.h"

#include <climits>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <openssl/crypto.h>
#include <optional>
#include <set>
#include <string>
#include <vector>

using namespace kelvane::bidx;

struct CQuarnFileDecryptor
{
    CBidReader reader;
    std::string folder;
    std::vector<CContribution> contributions;
};

namespace {

// Handles handed out and not yet released: a stale or foreign pointer gives 2 instead of a crash.
std::mutex g_handlesMutex;
std::set<const CQuarnFileDecryptor*> g_handles;

bool IsLive(const CQuarnFileDecryptor* handle)
{
    const std::lock_guard lock(g_handlesMutex);
    return handle != nullptr && g_handles.count(handle) != 0;
}

template <typename F> int Guarded(F&& body)
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    } catch (...) {
        return kInvalidParam;
    }
}

int CopyOut(const std::vector<unsigned char>& bytes, unsigned char* buffer, int* length)
{
    if (length == nullptr || bytes.size() > static_cast<size_t>(INT_MAX)) {
        return kInvalidParam;
    }
    const int size = static_cast<int>(bytes.size());
    if (buffer != nullptr) {
        if (*length < size) {
            return kInvalidParam;
        }
        std::memcpy(buffer, bytes.data(), bytes.size());
    }
    *length = size;
    return kOk;
}

// The bid's own folder is named after the bid file without its extension.
std::string BidFolderName(const std::string& path)
{
    std::string name = std::filesystem::path(path).filename().string();
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) {
        name.resize(dot);
    }
    if (name.empty() || name == "." || name == "..") {
        name = "bid";
    }
    return name;
}

} // namespace

extern "C" {

int QuarnSecretFileDecryptorCreateHandle(CQuarnFileDecryptor** handle, const char* path)
{
    if (handle == nullptr || path == nullptr || *path == '\0') {
        return kInvalidParam;
    }
    return Guarded([&] {
        auto created = std::make_unique<CQuarnFileDecryptor>();
        if (const int rc = created->reader.Open(path); rc != kOk) {
            return rc;
        }
        const std::lock_guard lock(g_handlesMutex);
        g_handles.insert(created.get());
        *handle = created.release();
        return static_cast<int>(kOk);
    });
}

int QuarnSecretFileDecryptorSetFolder(CQuarnFileDecryptor* handle, const char* folder)
{
    if (!IsLive(handle) || folder == nullptr || *folder == '\0') {
        return kInvalidParam;
    }
    return Guarded([&] {
        handle->folder = folder;
        return static_cast<int>(kOk);
    });
}

int QuarnSecretFileDecryptorVerify(CQuarnFileDecryptor* handle)
{
    if (!IsLive(handle)) {
        return kInvalidParam;
    }
    return Guarded([&] { return handle->reader.Verify(); });
}

int QuarnSecretFileDecryptorVerifyWithCode(CQuarnFileDecryptor* handle, unsigned char* code, int* length)
{
    if (!IsLive(handle) || code == nullptr || length == nullptr || *length < static_cast<int>(kDigestSize)) {
        return kInvalidParam;
    }
    return Guarded([&] {
        *length = 0;
        std::optional<std::array<unsigned char, kDigestSize>> digest;
        const int rc = handle->reader.VerifyWithCode(digest);
        if (digest) {
            std::memcpy(code, digest->data(), digest->size());
            *length = static_cast<int>(digest->size());
        }
        return rc;
    });
}

int QuarnSecretFileDecryptorGetSignCert(CQuarnFileDecryptor* handle, unsigned char* buffer, int* length)
{
    if (!IsLive(handle)) {
        return kInvalidParam;
    }
    return CopyOut(handle->reader.Header().signerCert, buffer, length);
}

int QuarnSecretFileDecryptorGetCustomData(CQuarnFileDecryptor* handle, unsigned char* buffer, int* length)
{
    if (!IsLive(handle)) {
        return kInvalidParam;
    }
    const std::vector<unsigned char>& data = handle->reader.Header().customData;
    if (data.empty()) {
        return kNoCustomData;
    }
    return CopyOut(data, buffer, length);
}

int QuarnSecretFileDecryptorGetStatus(CQuarnFileDecryptor* handle)
{
    if (!IsLive(handle)) {
        return kInvalidParam;
    }
    return handle->contributions.size() >= static_cast<size_t>(handle->reader.Header().minimum)
        ? kOk
        : kDecryptConditionNotEnough;
}

int QuarnSecretFileDecryptorTry(CQuarnFileDecryptor* handle)
{
    if (!IsLive(handle)) {
        return kInvalidParam;
    }
    return Guarded([&] { return GatherFromTokens(handle->reader.Header(), handle->contributions); });
}

int QuarnSecretFileDecryptorTryKey(CQuarnFileDecryptor* handle, const unsigned char* key, int length)
{
    if (!IsLive(handle) || key == nullptr || length <= 0) {
        return kInvalidParam;
    }
    return Guarded([&] {
        return GatherFromSoftwareKey(
            handle->reader.Header(), key, static_cast<size_t>(length), handle->contributions);
    });
}

int QuarnSecretFileDecryptorGetCrackerNum(CQuarnFileDecryptor* handle, int* count)
{
    if (!IsLive(handle) || count == nullptr) {
        return kInvalidParam;
    }
    *count = static_cast<int>(handle->contributions.size());
    return kOk;
}

int QuarnSecretFileDecryptorGetCrackerCert(
    CQuarnFileDecryptor* handle, int index, unsigned char* buffer, int* length)
{
    if (!IsLive(handle) || index < 0 || static_cast<size_t>(index) >= handle->contributions.size()) {
        return kInvalidParam;
    }
    const size_t opener = handle->contributions[static_cast<size_t>(index)].openerIndex;
    return CopyOut(handle->reader.Header().openers[opener].cert, buffer, length);
}

int QuarnSecretFileDecryptorGetMinNum(CQuarnFileDecryptor* handle, int* n)
{
    if (!IsLive(handle) || n == nullptr) {
        return kInvalidParam;
    }
    *n = handle->reader.Header().minimum;
    return kOk;
}

int QuarnSecretFileDecryptorDecrypt(CQuarnFileDecryptor* handle)
{
    if (!IsLive(handle) || handle->folder.empty()) {
        return kInvalidParam;
    }
    return Guarded([&] {
        const CBidHeader& header = handle->reader.Header();
        if (handle->contributions.size() < static_cast<size_t>(header.minimum)) {
            return static_cast<int>(kDecryptConditionNotEnough);
        }
        CKey payloadKey;
        if (!RecoverPayloadKey(header, handle->contributions, payloadKey)) {
            return static_cast<int>(kShareComposeFailed);
        }
        CBidExtractor extractor(handle->folder, BidFolderName(handle->reader.Path()));
        if (const int rc = extractor.Begin(); rc != kOk) {
            return rc;
        }
        if (const int rc = handle->reader.Decrypt(payloadKey, extractor); rc != kOk) {
            extractor.Abort();
            return rc;
        }
        return extractor.Commit();
    });
}

int QuarnSecretFileDecryptorReleaseHandle(CQuarnFileDecryptor* handle)
{
    {
        const std::lock_guard lock(g_handlesMutex);
        if (handle == nullptr || g_handles.erase(handle) == 0) {
            return kInvalidParam;
        }
    }
    const std::unique_ptr<CQuarnFileDecryptor> owned(handle);
    return kOk;
}

int QuarnSecretFileDecryptorGetOpenerNum(CQuarnFileDecryptor* handle, int* m)
{
    if (!IsLive(handle) || m == nullptr) {
        return kInvalidParam;
    }
    *m = static_cast<int>(handle->reader.Header().openers.size());
    return kOk;
}

int QuarnSecretFileDecryptorGetOpenerCert(
    CQuarnFileDecryptor* handle, int index, unsigned char* buffer, int* length)
{
    if (!IsLive(handle) || index < 0
        || static_cast<size_t>(index) >= handle->reader.Header().openers.size()) {
        return kInvalidParam;
    }
    return CopyOut(handle->reader.Header().openers[static_cast<size_t>(index)].cert, buffer, length);
}

} // extern "C"
