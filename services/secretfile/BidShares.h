// The content key's shares: Shamir n-of-m over GF(2^8) (libgfshare), each share bound to its file
// and slot and wrapped to one opener's certificate (RSA-OAEP, or ECDH on P-256 with HKDF and
// AES-GCM), and unwrapped again by a token or a software key.
#pragma once

#include "BidCertificates.h"
#include "BidFormat.h"
#include "BidKeySchedule.h"

#include <array>
#include <cstdint>
#include <vector>

namespace kelvane::bidx {

// RSA keys are wrapped with OAEP, P-256 keys with ECDH; anything else is not supported (6).
int WrapMethodForCertificate(const std::vector<unsigned char>& der, WrapMethod& method);

// Shamir n-of-m over GF(2^8) with share numbers 1..m.
int SplitContentKey(const CKey& contentKey, int total, int minimum, std::vector<CKey>& shares);
struct CShare
{
    uint8_t number = 0;
    CKey value;
};
int CombineShares(const std::vector<CShare>& shares, CKey& contentKey);

// The share plaintext binds the share to its file and slot.
CSharePlain MakeSharePlain(
    const std::array<unsigned char, kFileIdSize>& fileId, uint8_t number, const CKey& y);
int WrapShare(const std::vector<unsigned char>& openerCertDer, WrapMethod method,
    const std::array<unsigned char, kFileIdSize>& fileId, uint8_t number, const CSharePlain& plain,
    std::vector<unsigned char>& wrapped);

// The private-key side of an opener: a token through the PKI library, or a software key.
class IShareKey
{
public:
    virtual ~IShareKey() = default;
    virtual int OaepDecrypt(const std::vector<unsigned char>& in, std::vector<unsigned char>& out) = 0;
    virtual int DeriveSecret(const std::vector<unsigned char>& peerSpkiDer, std::vector<unsigned char>& out)
        = 0;
};
// Opens one opener's wrapped share and checks that it belongs to this file and slot.
int UnwrapShare(IShareKey& key, const COpenerRecord& rec,
    const std::array<unsigned char, kFileIdSize>& fileId, CShare& share);

class CSoftwareShareKey final : public IShareKey
{
public:
    explicit CSoftwareShareKey(PKey key)
        : privateKey(std::move(key))
    {
    }
    bool MatchesCertificate(const std::vector<unsigned char>& certDer) const;
    int OaepDecrypt(const std::vector<unsigned char>& in, std::vector<unsigned char>& out) override;
    int DeriveSecret(const std::vector<unsigned char>& peerSpkiDer, std::vector<unsigned char>& out) override;

private:
    PKey privateKey;
};

} // namespace kelvane::bidx
