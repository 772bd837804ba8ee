// Owners for the handles and buffers of the PKI library, so that every path out of a function
// releases what it obtained, each with the library's own free call.
#pragma once

#include "QuarnPKI.h"

#include <memory>
#include <string>

namespace kelvane::pki {

template <void (*Free)(void*)>
struct CPkiFree {
    void operator()(void* handle) const { Free(handle); }
};

using CertPtr = std::unique_ptr<void, CPkiFree<QuarnPKICertFreeCert>>;
using KeypairPtr = std::unique_ptr<void, CPkiFree<QuarnPKICryptoFreeKeypair>>;
using PublicKeyPtr = std::unique_ptr<void, CPkiFree<QuarnPKICryptoFreePublicKey>>;
using DevicePtr = std::unique_ptr<void, CPkiFree<QuarnPKICryptoFreeDevice>>;
using HashPtr = std::unique_ptr<void, CPkiFree<QuarnPKICryptoFreeHash>>;
using Base64Ptr = std::unique_ptr<void, CPkiFree<QuarnPKICryptoFreeBase64>>;
using SignedDataPtr = std::unique_ptr<void, CPkiFree<QuarnPKIMsgFreeSignedData>>;
using TimeStampPtr = std::unique_ptr<void, CPkiFree<QuarnPKIMsgFreeTimeStamp>>;

// Library memory: the buffers and texts that calls hand out.
struct CMemoryFree {
    void operator()(void* p) const { QuarnPKICryptoFreeMemory(p); }
};
using BytesPtr = std::unique_ptr<unsigned char, CMemoryFree>;
using TextPtr = std::unique_ptr<char, CMemoryFree>;

// A string attribute of a certificate as UTF-8, or nothing when the call does not return 1.
inline bool GetCertText(void* cert, int attribute, std::string& value)
{
    char* raw = nullptr;
    int length = 0;
    const int result = QuarnPKICertGetCertStringAttribute(cert, attribute, &raw, &length);
    const TextPtr text(raw);
    if (result != 1 || text == nullptr)
        return false;
    value.assign(text.get(), length > 0 ? static_cast<size_t>(length) : 0);
    return true;
}

} // namespace kelvane::pki
