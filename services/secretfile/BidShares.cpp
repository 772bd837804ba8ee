#include "BidShares.h"

#include "FreeWith.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

// libgfshare's header has no C linkage of its own.
extern "C" {
#include <libgfshare.h>
}

namespace kelvane::bidx {
namespace {

using GfsharePtr = FreedPtr<gfshare_ctx, gfshare_ctx_free>;

constexpr char kShareInfo[] = "kelvane bidx share key";

void FillRandom(unsigned char* buffer, unsigned int count)
{
    // libgfshare has no way to report a failure; without randomness the split must not go on.
    if (RAND_bytes(buffer, static_cast<int>(count)) != 1) {
        std::abort();
    }
}

// gfshare_fill_rand is NULL at start and gfshare_ctx_free relies on it, so it is set before any
// other libgfshare call.
void PrepareGfshare()
{
    static std::once_flag once;
    std::call_once(once, [] { gfshare_fill_rand = FillRandom; });
}

// The share key of the EC wrap: bound to the file, the slot and the ephemeral key.
int ShareKey(const std::vector<unsigned char>& z, const std::array<unsigned char, kFileIdSize>& fileId,
    uint8_t number, const std::vector<unsigned char>& ephemeralSpki, CKey& key)
{
    std::vector<unsigned char> info = KdfInfo(kShareInfo);
    info.push_back(number);
    info.insert(info.end(), ephemeralSpki.begin(), ephemeralSpki.end());
    return Hkdf(z.data(), z.size(), fileId.data(), fileId.size(), info, key.data(), kKeySize);
}

// One-shot AES-256-GCM with a zero nonce: the EC wrap uses each key exactly once.
bool GcmOnce(bool encrypt, const CKey& key, const unsigned char* in, size_t size, unsigned char* out,
    unsigned char tag[kTagSize])
{
    const CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    const unsigned char nonce[12] = {};
    int len = 0;
    if (!ctx
        || EVP_CipherInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), nonce, encrypt ? 1 : 0) != 1
        || EVP_CipherUpdate(ctx.get(), out, &len, in, static_cast<int>(size)) != 1) {
        return false;
    }
    if (!encrypt && EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagSize, tag) != 1) {
        return false;
    }
    if (EVP_CipherFinal_ex(ctx.get(), out + len, &len) != 1) {
        return false;
    }
    return !encrypt || EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagSize, tag) == 1;
}

// RSA-OAEP with SHA-256 for the hash and for MGF1, on both sides of the RSA share wrap.
bool SetOaepSha256(EVP_PKEY_CTX* ctx)
{
    return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) == 1
        && EVP_PKEY_CTX_set_rsa_oaep_md(ctx, EVP_sha256()) == 1
        && EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_sha256()) == 1;
}

} // namespace

int WrapMethodForCertificate(const std::vector<unsigned char>& der, WrapMethod& method)
{
    const Cert cert = DecodeDerCertificate(der.data(), der.size());
    if (!cert) {
        return kCertFromEncodingFailed;
    }
    const EVP_PKEY* key = X509_get0_pubkey(cert.get());
    if (key == nullptr) {
        return kCertFromEncodingFailed;
    }
    if (EVP_PKEY_is_a(key, "RSA") && EVP_PKEY_get_bits(key) >= 2048) {
        method = WrapMethod::RsaOaepSha256;
        return kOk;
    }
    if (EVP_PKEY_is_a(key, "EC") && IsP256(key)) {
        method = WrapMethod::EcdhP256HkdfAesGcm;
        return kOk;
    }
    return kNotSupportAlgo;
}

int SplitContentKey(const CKey& contentKey, int total, int minimum, std::vector<CKey>& shares)
{
    if (minimum < 1 || total < minimum || total > 255) {
        return kShareDivideFailed;
    }
    PrepareGfshare();
    std::vector<unsigned char> numbers(static_cast<size_t>(total));
    for (int i = 0; i < total; ++i) {
        numbers[static_cast<size_t>(i)] = static_cast<unsigned char>(i + 1);
    }
    const GfsharePtr ctx(gfshare_ctx_init_enc(
        numbers.data(), static_cast<unsigned>(total), static_cast<unsigned char>(minimum), kKeySize));
    if (!ctx) {
        return kShareDivideFailed;
    }
    CKey secret = contentKey;
    gfshare_ctx_enc_setsecret(ctx.get(), secret.data());
    shares.assign(static_cast<size_t>(total), CKey {});
    for (int i = 0; i < total; ++i) {
        gfshare_ctx_enc_getshare(
            ctx.get(), static_cast<unsigned char>(i), shares[static_cast<size_t>(i)].data());
    }
    return kOk;
}

int CombineShares(const std::vector<CShare>& shares, CKey& contentKey)
{
    if (shares.empty() || shares.size() > 255) {
        return kShareComposeFailed;
    }
    PrepareGfshare();
    std::vector<unsigned char> numbers;
    for (const CShare& s : shares) {
        // Interpolation over a repeated or zero x coordinate gives a wrong key without a word.
        if (s.number == 0 || std::find(numbers.begin(), numbers.end(), s.number) != numbers.end()) {
            return kShareComposeFailed;
        }
        numbers.push_back(s.number);
    }
    const GfsharePtr ctx(
        gfshare_ctx_init_dec(numbers.data(), static_cast<unsigned>(numbers.size()), kKeySize));
    if (!ctx) {
        return kShareComposeFailed;
    }
    for (size_t i = 0; i < shares.size(); ++i) {
        CKey value = shares[i].value;
        gfshare_ctx_dec_giveshare(ctx.get(), static_cast<unsigned char>(i), value.data());
    }
    gfshare_ctx_dec_extract(ctx.get(), contentKey.data());
    return kOk;
}

CSharePlain MakeSharePlain(
    const std::array<unsigned char, kFileIdSize>& fileId, uint8_t number, const CKey& y)
{
    CSharePlain plain;
    std::memcpy(plain.data(), fileId.data(), kFileIdSize);
    plain.bytes[kFileIdSize] = number;
    std::memcpy(plain.data() + kFileIdSize + 1, y.data(), kKeySize);
    return plain;
}

int WrapShare(const std::vector<unsigned char>& openerCertDer, WrapMethod method,
    const std::array<unsigned char, kFileIdSize>& fileId, uint8_t number, const CSharePlain& plain,
    std::vector<unsigned char>& wrapped)
{
    const PKey pub = CertificatePublicKey(openerCertDer);
    if (!pub) {
        return kCertFromEncodingFailed;
    }
    if (method == WrapMethod::RsaOaepSha256) {
        PkeyCtxPtr ctx(EVP_PKEY_CTX_new(pub.get(), nullptr));
        size_t outSize = 0;
        if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 || !SetOaepSha256(ctx.get())
            || EVP_PKEY_encrypt(ctx.get(), nullptr, &outSize, plain.data(), kSharePlainSize) != 1) {
            return kAsymEncryptFailed;
        }
        wrapped.resize(outSize);
        if (EVP_PKEY_encrypt(ctx.get(), wrapped.data(), &outSize, plain.data(), kSharePlainSize) != 1) {
            return kAsymEncryptFailed;
        }
        wrapped.resize(outSize);
        return kOk;
    }

    const PKey ephemeral(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    if (!ephemeral) {
        return kCreateAlgoParamFailed;
    }
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new(ephemeral.get(), nullptr));
    size_t zSize = 0;
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 || EVP_PKEY_derive_set_peer(ctx.get(), pub.get()) != 1
        || EVP_PKEY_derive(ctx.get(), nullptr, &zSize) != 1) {
        return kAsymEncryptFailed;
    }
    std::vector<unsigned char> z(zSize);
    if (EVP_PKEY_derive(ctx.get(), z.data(), &zSize) != 1) {
        return kAsymEncryptFailed;
    }
    const int spkiSize = i2d_PUBKEY(ephemeral.get(), nullptr);
    if (spkiSize <= 0) {
        OPENSSL_cleanse(z.data(), z.size());
        return kAsymEncryptFailed;
    }
    std::vector<unsigned char> spki(static_cast<size_t>(spkiSize));
    unsigned char* sp = spki.data();
    i2d_PUBKEY(ephemeral.get(), &sp);
    CKey key;
    const int rc = ShareKey(z, fileId, number, spki, key);
    OPENSSL_cleanse(z.data(), z.size());
    if (rc != kOk) {
        return rc;
    }
    wrapped.clear();
    PutU16(wrapped, static_cast<uint16_t>(spki.size()));
    wrapped.insert(wrapped.end(), spki.begin(), spki.end());
    const size_t at = wrapped.size();
    wrapped.resize(at + kSharePlainSize + kTagSize);
    if (!GcmOnce(true, key, plain.data(), kSharePlainSize, wrapped.data() + at,
            wrapped.data() + at + kSharePlainSize)) {
        return kAsymEncryptFailed;
    }
    return kOk;
}

int UnwrapShare(IShareKey& key, const COpenerRecord& rec,
    const std::array<unsigned char, kFileIdSize>& fileId, CShare& share)
{
    CSharePlain plain;
    if (rec.method == WrapMethod::RsaOaepSha256) {
        std::vector<unsigned char> out;
        if (const int rc = key.OaepDecrypt(rec.wrapped, out); rc != kOk) {
            return rc;
        }
        const bool sizeOk = out.size() == kSharePlainSize;
        if (sizeOk) {
            std::memcpy(plain.data(), out.data(), kSharePlainSize);
        }
        OPENSSL_cleanse(out.data(), out.size());
        if (!sizeOk) {
            return kShareNewShadowFailed;
        }
    } else {
        const std::vector<unsigned char>& w = rec.wrapped;
        if (w.size() < 2) {
            return kShareNewShadowFailed;
        }
        const size_t spkiSize = GetU16(w.data());
        if (w.size() != 2 + spkiSize + kSharePlainSize + kTagSize) {
            return kShareNewShadowFailed;
        }
        const std::vector<unsigned char> spki(w.begin() + 2, w.begin() + 2 + static_cast<long>(spkiSize));
        std::vector<unsigned char> z;
        if (const int rc = key.DeriveSecret(spki, z); rc != kOk) {
            return rc;
        }
        CKey k;
        const int rc = ShareKey(z, fileId, rec.shareNumber, spki, k);
        OPENSSL_cleanse(z.data(), z.size());
        if (rc != kOk) {
            return rc;
        }
        unsigned char tag[kTagSize];
        std::memcpy(tag, w.data() + 2 + spkiSize + kSharePlainSize, kTagSize);
        if (!GcmOnce(false, k, w.data() + 2 + spkiSize, kSharePlainSize, plain.data(), tag)) {
            return kPrivateKeyDecryptFailed;
        }
    }
    if (CRYPTO_memcmp(plain.data(), fileId.data(), kFileIdSize) != 0
        || plain.bytes[kFileIdSize] != rec.shareNumber) {
        return kShareNewShadowFailed;
    }
    share.number = rec.shareNumber;
    std::memcpy(share.value.data(), plain.data() + kFileIdSize + 1, kKeySize);
    return kOk;
}

bool CSoftwareShareKey::MatchesCertificate(const std::vector<unsigned char>& certDer) const
{
    const PKey pub = CertificatePublicKey(certDer);
    return pub && privateKey && EVP_PKEY_eq(pub.get(), privateKey.get()) == 1;
}

int CSoftwareShareKey::OaepDecrypt(const std::vector<unsigned char>& in, std::vector<unsigned char>& out)
{
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new(privateKey.get(), nullptr));
    size_t outSize = 0;
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1 || !SetOaepSha256(ctx.get())
        || EVP_PKEY_decrypt(ctx.get(), nullptr, &outSize, in.data(), in.size()) != 1) {
        return kPrivateKeyDecryptFailed;
    }
    out.resize(outSize);
    if (EVP_PKEY_decrypt(ctx.get(), out.data(), &outSize, in.data(), in.size()) != 1) {
        return kPrivateKeyDecryptFailed;
    }
    out.resize(outSize);
    return kOk;
}

int CSoftwareShareKey::DeriveSecret(
    const std::vector<unsigned char>& peerSpkiDer, std::vector<unsigned char>& out)
{
    const unsigned char* p = peerSpkiDer.data();
    const PKey peer(d2i_PUBKEY(nullptr, &p, static_cast<long>(peerSpkiDer.size())));
    if (!peer || !IsP256(peer.get())) {
        return kShareNewShadowFailed;
    }
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new(privateKey.get(), nullptr));
    size_t size = 0;
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 || EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) != 1
        || EVP_PKEY_derive(ctx.get(), nullptr, &size) != 1) {
        return kPrivateKeyDecryptFailed;
    }
    out.resize(size);
    if (EVP_PKEY_derive(ctx.get(), out.data(), &size) != 1) {
        return kPrivateKeyDecryptFailed;
    }
    out.resize(size);
    return kOk;
}

} // namespace kelvane::bidx
