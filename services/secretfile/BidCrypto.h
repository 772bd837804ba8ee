// The cryptography of sealed bid files, all of it over OpenSSL and libgfshare: key derivation,
// the chunk cipher, the content key's shares and their wrapping to the openers, the bidder's
// signature.
#pragma once

#include "BidFormat.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace kelvane::bidx {

struct CEvpPkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct CX509Free {
    void operator()(X509* p) const { X509_free(p); }
};
struct CEvpMdCtxFree {
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
struct CEvpCipherCtxFree {
    void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};
using PKey = std::unique_ptr<EVP_PKEY, CEvpPkeyFree>;
using Cert = std::unique_ptr<X509, CX509Free>;

// Key bytes that wipe themselves.
template <size_t N>
struct CSecret {
    std::array<unsigned char, N> bytes{};
    CSecret() = default;
    CSecret(const CSecret& other) = default;
    CSecret& operator=(const CSecret& other) = default;
    ~CSecret() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
    unsigned char* data() { return bytes.data(); }
    const unsigned char* data() const { return bytes.data(); }
};
using CKey = CSecret<kKeySize>;
using CSharePlain = CSecret<kSharePlainSize>;

// Certificates arrive as DER, PEM, or Base64 text with white space (the rules document's form).
Cert DecodeCertificate(const unsigned char* data, size_t size);
std::vector<unsigned char> CertificateDer(const X509* cert);
bool IsParsableCertificate(const std::vector<unsigned char>& der);
// RSA keys are wrapped with OAEP, P-256 keys with ECDH; anything else is not supported (6).
int WrapMethodForCertificate(const std::vector<unsigned char>& der, WrapMethod& method);

int RandomBytes(unsigned char* out, size_t size);

// What the key schedule binds besides the file id: SHA-256 of the signer certificate's DER, then
// SHA-256 of the custom data. A copy re-signed by someone else, or with other rules, derives other
// keys from the same shares, so its commitment check fails (59) and nothing of it decrypts.
struct CKeyBinding
{
    std::array<unsigned char, 2 * kDigestSize> bytes {};
};
int MakeKeyBinding(const CBidHeader& header, CKeyBinding& binding);

// Payload key and key commitment, both from the content key, the file id and the binding:
// HKDF(IKM = content key, salt = file id, info = label || binding).
int DeriveContentKeys(const CKey& contentKey, const std::array<unsigned char, kFileIdSize>& fileId,
    const CKeyBinding& binding, CKey& payloadKey, std::array<unsigned char, kKeySize>& commitment);

// AES-256-GCM over one chunk: sealing in place, opening into another buffer. The nonce is the chunk index and the last-chunk flag, so a
// chunk decrypts only at its own position and only the true last chunk passes as last.
class CChunkCipher {
public:
    CChunkCipher(bool encrypt, const CKey& key);
    bool Ok() const { return ctx_ != nullptr; }
    bool Seal(uint64_t index, bool last, unsigned char* data, size_t size, unsigned char tag[kTagSize]);
    bool Open(uint64_t index, bool last, const unsigned char* in, unsigned char* out, size_t size,
              const unsigned char tag[kTagSize]);

private:
    bool Start(uint64_t index, bool last);
    std::unique_ptr<EVP_CIPHER_CTX, CEvpCipherCtxFree> ctx_;
    bool encrypt_;
};

// Shamir n-of-m over GF(2^8) with share numbers 1..m.
int SplitContentKey(const CKey& contentKey, int total, int minimum, std::vector<CKey>& shares);
struct CShare {
    uint8_t number = 0;
    CKey value;
};
int CombineShares(const std::vector<CShare>& shares, CKey& contentKey);

// The share plaintext binds the share to its file and slot.
CSharePlain MakeSharePlain(const std::array<unsigned char, kFileIdSize>& fileId, uint8_t number, const CKey& y);
int WrapShare(const std::vector<unsigned char>& openerCertDer, WrapMethod method,
              const std::array<unsigned char, kFileIdSize>& fileId, uint8_t number, const CSharePlain& plain,
              std::vector<unsigned char>& wrapped);

// The private-key side of an opener: a token through the PKI library, or a software key.
class IShareKey {
public:
    virtual ~IShareKey() = default;
    virtual int OaepDecrypt(const std::vector<unsigned char>& in, std::vector<unsigned char>& out) = 0;
    virtual int DeriveSecret(const std::vector<unsigned char>& peerSpkiDer, std::vector<unsigned char>& out) = 0;
};
// Opens one opener's wrapped share and checks that it belongs to this file and slot.
int UnwrapShare(IShareKey& key, const COpenerRecord& rec, const std::array<unsigned char, kFileIdSize>& fileId,
                CShare& share);

class CSoftwareShareKey final : public IShareKey {
public:
    explicit CSoftwareShareKey(PKey key) : key_(std::move(key)) {}
    bool MatchesCertificate(const std::vector<unsigned char>& certDer) const;
    int OaepDecrypt(const std::vector<unsigned char>& in, std::vector<unsigned char>& out) override;
    int DeriveSecret(const std::vector<unsigned char>& peerSpkiDer, std::vector<unsigned char>& out) override;

private:
    PKey key_;
};

// PEM or DER private key.
PKey DecodePrivateKey(const unsigned char* data, size_t size);

// Makes the bidder's CMS SignedData over the file digest, with the digest as attached content.
class ISealSigner {
public:
    virtual ~ISealSigner() = default;
    virtual int Sign(const unsigned char* digest, size_t size, std::vector<unsigned char>& cmsDer) = 0;
};

class CSoftwareSealSigner final : public ISealSigner {
public:
    CSoftwareSealSigner(Cert cert, PKey key) : cert_(std::move(cert)), key_(std::move(key)) {}
    int Sign(const unsigned char* digest, size_t size, std::vector<unsigned char>& cmsDer) override;

private:
    Cert cert_;
    PKey key_;
};

// Checks the signature with the header's signer certificate alone (no other certificate is
// trusted) and gives the digest it signs: 22 when it does not parse, 23 when it does not verify.
int VerifySignature(const std::vector<unsigned char>& cmsDer, const std::vector<unsigned char>& signerCertDer,
                    std::array<unsigned char, kDigestSize>& signedDigest);

// Incremental SHA-256 of the header and payload.
class CFileHash {
public:
    CFileHash();
    bool Ok() const { return ok_; }
    void Update(const unsigned char* data, size_t size);
    bool Final(std::array<unsigned char, kDigestSize>& digest);

private:
    std::unique_ptr<EVP_MD_CTX, CEvpMdCtxFree> ctx_;
    bool ok_ = false;
};

}  // namespace kelvane::bidx
