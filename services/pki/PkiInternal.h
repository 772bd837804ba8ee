// Shared pieces of the PKI library: the handle registry, the per-thread error text, the
// OpenSSL handle owners and the hand-out of library memory.
#pragma once

#include "OpenSslPtr.h"

#include <cstddef>
#include <memory>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <string>
#include <string_view>
#include <vector>

namespace quarnpki {

enum class HandleKind
{
    Device,
    Hash,
    Cipher,
    Base64,
    Cert,
    PublicKey,
    Keypair,
    SignedData,
    TimeStamp
};

// Every handle handed out derives from this; the registry remembers which pointers are live
// and of which kind, so that a freed or foreign pointer is refused instead of dereferenced.
class CHandle
{
public:
    explicit CHandle(HandleKind kind)
        : handleKind(kind)
    {
    }
    virtual ~CHandle() = default;
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;

    const HandleKind handleKind;
};

// Registers a new handle and gives it out as the opaque pointer.
void* Publish(std::unique_ptr<CHandle> handle);
// The live handle of that kind, or nullptr (and an error text) for anything else.
CHandle* Lookup(void* handle, HandleKind kind);
// Unregisters and destroys; unknown pointers are ignored.
void Release(void* handle, HandleKind kind);

template <typename T> T* LookupAs(void* handle, HandleKind kind)
{
    return static_cast<T*>(Lookup(handle, kind));
}

void SetError(std::string_view text);
// Adds the reason from OpenSSL's error queue (and empties the queue).
void SetOpenSslError(std::string_view what);
void ClearError();

// Copies bytes into library memory (with a zero byte after them) for an out-parameter pair.
int HandOut(const unsigned char* data, size_t length, unsigned char** out, int* outLength);
int HandOut(const std::vector<unsigned char>& data, unsigned char** out, int* outLength);
int HandOutText(std::string_view text, char** out, int* length = nullptr);

using kelvane::BignumPtr;
using kelvane::BioPtr;
using kelvane::CipherCtxPtr;
using kelvane::CmsPtr;
using kelvane::MdCtxPtr;
using kelvane::OpenSslMemoryPtr;
using kelvane::PkeyCtxPtr;
using kelvane::PkeyPtr;
using kelvane::TsReqPtr;
using kelvane::TsRespPtr;
using kelvane::TsVerifyCtxPtr;
using kelvane::X509Ptr;
using kelvane::X509StorePtr;

// Another owner of a certificate, or empty (with the error text). Certificates are never changed
// once read, so a copy shares the decoded one: decoding it anew would cost OpenSSL 3 a decoding
// of its key each time.
X509Ptr ShareCertificate(X509* cert);

// Standard Base64 decoding that skips blanks and line breaks and refuses anything else.
bool DecodeBase64Text(std::string_view text, std::vector<unsigned char>& out);
// The DER SubjectPublicKeyInfo of a key.
std::vector<unsigned char> PublicKeyDer(EVP_PKEY* key);
// The digest for a workstation hash identifier, or nullptr.
const EVP_MD* DigestForAlgorithm(int algorithm);
std::string HexUpper(const unsigned char* data, size_t length);

// Runs a body at the C boundary: any exception becomes the failure value and an error text.
template <typename R, typename F> R Guarded(R onFailure, F&& body) noexcept
{
    try {
        ClearError();
        return body();
    } catch (const std::exception& e) {
        SetError(e.what());
    } catch (...) {
        SetError("unexpected failure");
    }
    return onFailure;
}

} // namespace quarnpki
