// The exported C interface of Quelvar. Every entry point checks its arguments, runs the handle's
// operation and turns anything thrown inside into a result code: nothing crosses this boundary
// but an int.
#include "CQuelvar.h"
#include "Quelvar.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

int CopyText(const std::string& text, char* buffer, int* length)
{
    if (length == nullptr) {
        return QUELVAR_INVALID_ARGUMENT;
    }
    *length = static_cast<int>(text.size());
    if (buffer != nullptr) {
        std::memcpy(buffer, text.data(), text.size());
    }
    return QUELVAR_OK;
}

// Runs a getter over the rules record, after the checks that every one of them shares.
template <typename TOut, typename TRead> int ReadRecord(const CQuelvar* handle, TOut* out, TRead read)
{
    if (handle == nullptr || out == nullptr) {
        return QUELVAR_INVALID_ARGUMENT;
    }
    const CBidRules* bidRules = handle->BidRules();
    if (bidRules == nullptr) {
        return QUELVAR_NO_RULES;
    }
    *out = read(*bidRules);
    return QUELVAR_OK;
}

// The checks of the two certificate getters, in their order: arguments, rules, then the index.
int FindOpener(const CQuelvar* handle, const int index, const COpenerCert*& opener)
{
    if (handle == nullptr || index < 0) {
        return QUELVAR_INVALID_ARGUMENT;
    }
    const CBidRules* bidRules = handle->BidRules();
    if (bidRules == nullptr) {
        return QUELVAR_NO_RULES;
    }
    if (index >= bidRules->total || static_cast<std::size_t>(index) >= bidRules->certs.size()) {
        return QUELVAR_INDEX_OUT_OF_RANGE;
    }
    opener = &bidRules->certs[static_cast<std::size_t>(index)];
    return QUELVAR_OK;
}

} // namespace

extern "C" {

QUELVAR_API int QuelvarCreateHandle(CQuelvar** handle)
{
    if (handle == nullptr) {
        return QUELVAR_INVALID_ARGUMENT;
    }
    try {
        // From here on the caller owns the handle, until it hands it back to QuelvarReleaseHandle.
        *handle = std::make_unique<CQuelvar>().release();
    } catch (const std::bad_alloc&) {
        *handle = nullptr;
        return QUELVAR_NO_MEMORY_FOR_HANDLE;
    }
    return QUELVAR_OK;
}

QUELVAR_API int QuelvarReleaseHandle(CQuelvar* handle)
{
    const std::unique_ptr<CQuelvar> owned(handle);
    return QUELVAR_OK;
}

QUELVAR_API int QuelvarSetTargetUrl(CQuelvar* handle, const char* url)
{
    if (handle == nullptr) {
        return QUELVAR_INVALID_ARGUMENT;
    }
    try {
        return handle->SetTargetUrl(url);
    } catch (...) {
        return QUELVAR_NOT_A_URL;
    }
}

QUELVAR_API int QuelvarSetProxy(
    CQuelvar* handle, const char* host, const char* port, const char* user, const char* password)
{
    if (handle == nullptr) {
        return QUELVAR_INVALID_ARGUMENT;
    }
    try {
        handle->SetProxy(host, port, user, password);
    } catch (...) {
        return QUELVAR_NO_MEMORY;
    }
    return QUELVAR_OK;
}

QUELVAR_API int QuelvarGetRules(CQuelvar* handle, const char* postData, int postLen)
{
    // A missing body with a length would be read from nowhere.
    if (handle == nullptr || postLen < 0 || (postData == nullptr && postLen != 0)) {
        return QUELVAR_INVALID_ARGUMENT;
    }
    try {
        return handle->GetRules(postData, postLen);
    } catch (...) {
        return QUELVAR_NO_MEMORY;
    }
}

QUELVAR_API int QuelvarGetTotalNum(CQuelvar* handle, int* total)
{
    return ReadRecord(handle, total, [](const CBidRules& bidRules) { return bidRules.total; });
}

QUELVAR_API int QuelvarGetMinNum(CQuelvar* handle, int* minimum)
{
    return ReadRecord(handle, minimum, [](const CBidRules& bidRules) { return bidRules.minimum; });
}

QUELVAR_API int QuelvarGetCertCount(CQuelvar* handle, int* count)
{
    return ReadRecord(handle, count, [](const CBidRules& bidRules) { return bidRules.total; });
}

QUELVAR_API int QuelvarGetCertLen(CQuelvar* handle, int index, int* length)
{
    if (length == nullptr) {
        return QUELVAR_INVALID_ARGUMENT;
    }
    const COpenerCert* opener = nullptr;
    const int code = FindOpener(handle, index, opener);
    if (code != QUELVAR_OK) {
        return code;
    }
    *length = opener->Length();
    return QUELVAR_OK;
}

QUELVAR_API int QuelvarGetCert(CQuelvar* handle, int index, unsigned char* buffer, int* participate)
{
    if (buffer == nullptr || participate == nullptr) {
        return QUELVAR_INVALID_ARGUMENT;
    }
    const COpenerCert* opener = nullptr;
    const int code = FindOpener(handle, index, opener);
    if (code != QUELVAR_OK) {
        return code;
    }
    *participate = opener->participate;
    if (opener->data.empty()) {
        return QUELVAR_NO_CERT_DATA;
    }
    std::memcpy(buffer, opener->data.data(), opener->data.size());
    return QUELVAR_OK;
}

QUELVAR_API int QuelvarGetOpenTime(CQuelvar* handle, char* buffer, int* length)
{
    return handle != nullptr ? CopyText(handle->Content().openTime, buffer, length)
                             : QUELVAR_INVALID_ARGUMENT;
}

QUELVAR_API int QuelvarGetOpenOrg(CQuelvar* handle, char* buffer, int* length)
{
    return handle != nullptr ? CopyText(handle->Content().openOrg, buffer, length) : QUELVAR_INVALID_ARGUMENT;
}

QUELVAR_API int QuelvarGetProjectName(CQuelvar* handle, char* buffer, int* length)
{
    return handle != nullptr ? CopyText(handle->Content().projectName, buffer, length)
                             : QUELVAR_INVALID_ARGUMENT;
}

QUELVAR_API int QuelvarGetEncAlgo(CQuelvar* handle, char* buffer, int* length)
{
    return handle != nullptr ? CopyText(handle->Content().encAlgo, buffer, length) : QUELVAR_INVALID_ARGUMENT;
}

QUELVAR_API int QuelvarGetHashAlgo(CQuelvar* handle, char* buffer, int* length)
{
    return handle != nullptr ? CopyText(handle->Content().hashAlgo, buffer, length)
                             : QUELVAR_INVALID_ARGUMENT;
}

QUELVAR_API int QuelvarGetFileLen(CQuelvar* handle, long* length)
{
    if (handle == nullptr || length == nullptr) {
        return QUELVAR_INVALID_ARGUMENT;
    }
    if (handle->BidRules() == nullptr) {
        return QUELVAR_NO_RULES;
    }
    *length = static_cast<long>(handle->RuleText().size());
    return QUELVAR_OK;
}

QUELVAR_API int QuelvarGetFileData(CQuelvar* handle, char* buffer)
{
    if (handle == nullptr || buffer == nullptr) {
        return QUELVAR_INVALID_ARGUMENT;
    }
    if (handle->BidRules() == nullptr) {
        return QUELVAR_NO_RULES;
    }
    std::memcpy(buffer, handle->RuleText().data(), handle->RuleText().size());
    return QUELVAR_OK;
}

QUELVAR_API int QuelvarCompareFile(CQuelvar* handle, const char* data, int length)
{
    if (handle == nullptr || data == nullptr || length <= 0) {
        return QUELVAR_INVALID_ARGUMENT;
    }
    if (handle->BidRules() == nullptr) {
        return QUELVAR_NO_RULES;
    }
    const std::string& ruleText = handle->RuleText();
    if (static_cast<std::size_t>(length) != ruleText.size()) {
        return QUELVAR_LENGTH_DIFFERS;
    }
    return std::memcmp(data, ruleText.data(), ruleText.size()) == 0 ? QUELVAR_OK : QUELVAR_DATA_DIFFERS;
}

} // extern "C"
