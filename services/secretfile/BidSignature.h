// The bidder's signature over a sealed bid file: the SHA-256 digest of header and payload, signed
// as CMS SignedData with the digest as attached content, by a token (PkiSealSigner.h) or a
// software key, and checked on opening with the header's signer certificate alone.
#pragma once

#include "BidCertificates.h"
#include "BidFormat.h"
#include "OpenSslPtr.h"

#include <array>
#include <cstddef>
#include <vector>

namespace kelvane::bidx {

// Makes the bidder's CMS SignedData over the file digest, with the digest as attached content.
class ISealSigner
{
public:
    virtual ~ISealSigner() = default;
    virtual int Sign(const unsigned char* digest, size_t size, std::vector<unsigned char>& cmsDer) = 0;
};

class CSoftwareSealSigner final : public ISealSigner
{
public:
    CSoftwareSealSigner(Cert cert, PKey key)
        : signerCert(std::move(cert))
        , signerKey(std::move(key))
    {
    }
    int Sign(const unsigned char* digest, size_t size, std::vector<unsigned char>& cmsDer) override;

private:
    Cert signerCert;
    PKey signerKey;
};

// Checks the signature with the header's signer certificate alone (no other certificate is
// trusted) and gives the digest it signs: 22 when it does not parse, 23 when it does not verify.
int VerifySignature(const std::vector<unsigned char>& cmsDer, const std::vector<unsigned char>& signerCertDer,
    std::array<unsigned char, kDigestSize>& signedDigest);

// Incremental digest of a file's bytes: SHA-256 of the header and payload, which the signature
// covers, unless another 32-byte digest is named (SM3 for the verification code). A failing update
// is kept: Final then fails.
class CFileHash
{
public:
    explicit CFileHash(const EVP_MD* digest = EVP_sha256());
    bool Ok() const { return ok; }
    void Update(const unsigned char* data, size_t size);
    bool Final(std::array<unsigned char, kDigestSize>& digest);

private:
    MdCtxPtr ctx;
    bool ok = false;
};

} // namespace kelvane::bidx
