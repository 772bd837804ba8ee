// Owners for the handles and buffers of the PKI library, so that every path out of a function
// releases what it obtained, each with the library's own free call. For the library's users;
// the library itself holds its handles in its registry.
#pragma once

#include "FreeWith.h"
#include "QuarnPKI.h"

#include <string>

namespace kelvane::pki {

using CertPtr = FreedPtr<void, QuarnPKICertFreeCert>;
using KeypairPtr = FreedPtr<void, QuarnPKICryptoFreeKeypair>;
using PublicKeyPtr = FreedPtr<void, QuarnPKICryptoFreePublicKey>;
using DevicePtr = FreedPtr<void, QuarnPKICryptoFreeDevice>;
using HashPtr = FreedPtr<void, QuarnPKICryptoFreeHash>;
using CipherPtr = FreedPtr<void, QuarnPKICryptoFreeCipher>;
using Base64Ptr = FreedPtr<void, QuarnPKICryptoFreeBase64>;
using SignedDataPtr = FreedPtr<void, QuarnPKIMsgFreeSignedData>;
using TimeStampPtr = FreedPtr<void, QuarnPKIMsgFreeTimeStamp>;

// Library memory: the buffers and texts that calls hand out.
using BytesPtr = FreedPtr<unsigned char, QuarnPKICryptoFreeMemory>;
using TextPtr = FreedPtr<char, QuarnPKICryptoFreeMemory>;

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
