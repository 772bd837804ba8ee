#include "BidKeySchedule.h"

#include "OpenSslPtr.h"

#include <cstring>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

namespace kelvane::bidx {
namespace {

constexpr char kPayloadInfo[] = "kelvane bidx payload key";
constexpr char kCommitmentInfo[] = "kelvane bidx key commitment";

} // namespace

int RandomBytes(unsigned char* out, size_t size)
{
    return RAND_bytes(out, static_cast<int>(size)) == 1 ? kOk : kGenerateRandomFailed;
}

int Hkdf(const unsigned char* ikm, size_t ikmSize, const unsigned char* salt, size_t saltSize,
    const std::vector<unsigned char>& info, unsigned char* out, size_t outSize)
{
    KdfPtr kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
    if (!kdf) {
        return kKdfFailed;
    }
    KdfCtxPtr ctx(EVP_KDF_CTX_new(kdf.get()));
    if (!ctx) {
        return kKdfFailed;
    }
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<unsigned char*>(ikm), ikmSize),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<unsigned char*>(salt), saltSize),
        OSSL_PARAM_construct_octet_string(
            OSSL_KDF_PARAM_INFO, const_cast<unsigned char*>(info.data()), info.size()),
        OSSL_PARAM_construct_end(),
    };
    return EVP_KDF_derive(ctx.get(), out, outSize, params) == 1 ? kOk : kKdfFailed;
}

std::vector<unsigned char> KdfInfo(const char* label)
{
    return std::vector<unsigned char>(label, label + std::strlen(label));
}

int MakeKeyBinding(const CBidHeader& header, CKeyBinding& binding)
{
    unsigned int len = 0;
    if (EVP_Digest(header.signerCert.data(), header.signerCert.size(), binding.bytes.data(), &len,
            EVP_sha256(), nullptr)
            != 1
        || len != kDigestSize
        || EVP_Digest(header.customData.data(), header.customData.size(), binding.bytes.data() + kDigestSize,
               &len, EVP_sha256(), nullptr)
            != 1
        || len != kDigestSize) {
        return kKdfFailed;
    }
    return kOk;
}

int DeriveContentKeys(const CKey& contentKey, const std::array<unsigned char, kFileIdSize>& fileId,
    const CKeyBinding& binding, CKey& payloadKey, std::array<unsigned char, kKeySize>& commitment)
{
    std::vector<unsigned char> info = KdfInfo(kPayloadInfo);
    info.insert(info.end(), binding.bytes.begin(), binding.bytes.end());
    if (const int rc
        = Hkdf(contentKey.data(), kKeySize, fileId.data(), fileId.size(), info, payloadKey.data(), kKeySize);
        rc != kOk) {
        return rc;
    }
    info = KdfInfo(kCommitmentInfo);
    info.insert(info.end(), binding.bytes.begin(), binding.bytes.end());
    return Hkdf(contentKey.data(), kKeySize, fileId.data(), fileId.size(), info, commitment.data(),
        commitment.size());
}

} // namespace kelvane::bidx
