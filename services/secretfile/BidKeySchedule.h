// The key schedule of a sealed bid file: the random content key, and the payload key and key
// commitment derived from it with HKDF-SHA-256, bound to the file id, the signer certificate and
// the custom data. The same HKDF derives the EC share wrap's keys (BidShares.h).
#pragma once

#include "BidFormat.h"

#include <array>
#include <cstddef>
#include <openssl/crypto.h>
#include <vector>

namespace kelvane::bidx {

// Key bytes that wipe themselves.
template <size_t N> struct CSecret
{
    std::array<unsigned char, N> bytes {};
    CSecret() = default;
    CSecret(const CSecret& other) = default;
    CSecret& operator=(const CSecret& other) = default;
    ~CSecret() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
    unsigned char* data() { return bytes.data(); }
    const unsigned char* data() const { return bytes.data(); }
};
using CKey = CSecret<kKeySize>;
using CSharePlain = CSecret<kSharePlainSize>;

int RandomBytes(unsigned char* out, size_t size);

// HKDF-SHA-256 of ikm with salt and info into out: kOk or kKdfFailed.
int Hkdf(const unsigned char* ikm, size_t ikmSize, const unsigned char* salt, size_t saltSize,
    const std::vector<unsigned char>& info, unsigned char* out, size_t outSize);
// A label's bytes without its terminating zero, the start of an HKDF info.
std::vector<unsigned char> KdfInfo(const char* label);

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

} // namespace kelvane::bidx
