#include "BidCrypto.h"

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/core_names.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

// libgfshare's header has no C linkage of its own.
extern "C" {
#include <libgfshare.h>
}

namespace kelvane::bidx {
namespace {

struct CBioFree {
    void operator()(BIO* p) const { BIO_free(p); }
};
struct CCmsFree {
    void operator()(CMS_ContentInfo* p) const { CMS_ContentInfo_free(p); }
};
struct CPkeyCtxFree {
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct CKdfFree {
    void operator()(EVP_KDF* p) const { EVP_KDF_free(p); }
};
struct CKdfCtxFree {
    void operator()(EVP_KDF_CTX* p) const { EVP_KDF_CTX_free(p); }
};
struct CGfshareFree {
    void operator()(gfshare_ctx* p) const { gfshare_ctx_free(p); }
};
struct CX509StackFree {
    void operator()(STACK_OF(X509) * p) const { sk_X509_free(p); }
};
struct CX509StackPopFree {
    void operator()(STACK_OF(X509) * p) const { sk_X509_pop_free(p, X509_free); }
};
struct CX509CrlStackPopFree {
    void operator()(STACK_OF(X509_CRL) * p) const { sk_X509_CRL_pop_free(p, X509_CRL_free); }
};
using Bio = std::unique_ptr<BIO, CBioFree>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, CPkeyCtxFree>;

constexpr char kPayloadInfo[] = "kelvane bidx payload key";
constexpr char kCommitmentInfo[] = "kelvane bidx key commitment";
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

int Hkdf(const unsigned char* ikm, size_t ikmSize, const unsigned char* salt, size_t saltSize,
         const std::vector<unsigned char>& info, unsigned char* out, size_t outSize)
{
    std::unique_ptr<EVP_KDF, CKdfFree> kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
    if (!kdf) {
        return kKdfFailed;
    }
    std::unique_ptr<EVP_KDF_CTX, CKdfCtxFree> ctx(EVP_KDF_CTX_new(kdf.get()));
    if (!ctx) {
        return kKdfFailed;
    }
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<unsigned char*>(ikm), ikmSize),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<unsigned char*>(salt), saltSize),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<unsigned char*>(info.data()),
                                          info.size()),
        OSSL_PARAM_construct_end(),
    };
    return EVP_KDF_derive(ctx.get(), out, outSize, params) == 1 ? kOk : kKdfFailed;
}

std::vector<unsigned char> Info(const char* label)
{
    return std::vector<unsigned char>(label, label + std::strlen(label));
}

// The share key of the EC wrap: bound to the file, the slot and the ephemeral key.
int ShareKey(const std::vector<unsigned char>& z, const std::array<unsigned char, kFileIdSize>& fileId,
             uint8_t number, const std::vector<unsigned char>& ephemeralSpki, CKey& key)
{
    std::vector<unsigned char> info = Info(kShareInfo);
    info.push_back(number);
    info.insert(info.end(), ephemeralSpki.begin(), ephemeralSpki.end());
    return Hkdf(z.data(), z.size(), fileId.data(), fileId.size(), info, key.data(), kKeySize);
}

// One-shot AES-256-GCM with a zero nonce: the EC wrap uses each key exactly once.
bool GcmOnce(bool encrypt, const CKey& key, const unsigned char* in, size_t size, unsigned char* out,
             unsigned char tag[kTagSize])
{
    std::unique_ptr<EVP_CIPHER_CTX, CEvpCipherCtxFree> ctx(EVP_CIPHER_CTX_new());
    const unsigned char nonce[12] = {};
    int len = 0;
    if (!ctx || EVP_CipherInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), nonce, encrypt ? 1 : 0) != 1 ||
        EVP_CipherUpdate(ctx.get(), out, &len, in, static_cast<int>(size)) != 1) {
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

PKey CertificatePublicKey(const std::vector<unsigned char>& der)
{
    const Cert cert = DecodeCertificate(der.data(), der.size());
    return PKey(cert ? X509_get_pubkey(cert.get()) : nullptr);
}

bool IsP256(const EVP_PKEY* key)
{
    char group[64] = {};
    size_t len = 0;
    return EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &len) == 1 &&
           std::strcmp(group, "prime256v1") == 0;
}

}  // namespace

Cert DecodeCertificate(const unsigned char* data, size_t size)
{
    if (data == nullptr || size == 0 || size > INT_MAX) {
        return nullptr;
    }
    const unsigned char* p = data;
    Cert cert(d2i_X509(nullptr, &p, static_cast<long>(size)));
    if (cert && p == data + size) {
        return cert;
    }
    Bio bio(BIO_new_mem_buf(data, static_cast<int>(size)));
    if (bio) {
        cert.reset(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
        if (cert) {
            return cert;
        }
    }
    // Base64 text, also PEM whose line breaks an XML parser has turned into blanks.
    std::string_view armoured(reinterpret_cast<const char*>(data), size);
    constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
    constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
    if (const size_t begin = armoured.find(kBegin); begin != std::string_view::npos) {
        const size_t end = armoured.find(kEnd, begin);
        if (end == std::string_view::npos) {
            return nullptr;
        }
        armoured = armoured.substr(begin + kBegin.size(), end - begin - kBegin.size());
    }
    std::string text;
    for (const char c : armoured) {
        if (!std::isspace(static_cast<unsigned char>(c))) {
            text.push_back(c);
        }
    }
    if (text.empty() || text.size() % 4 != 0) {
        return nullptr;
    }
    std::vector<unsigned char> der(text.size() / 4 * 3);
    const int decoded = EVP_DecodeBlock(der.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                        static_cast<int>(text.size()));
    if (decoded <= 0) {
        return nullptr;
    }
    // EVP_DecodeBlock counts the padding as data bytes.
    size_t length = static_cast<size_t>(decoded);
    for (size_t i = text.size(); i > 0 && text[i - 1] == '=' && length > 0; --i) {
        --length;
    }
    p = der.data();
    cert.reset(d2i_X509(nullptr, &p, static_cast<long>(length)));
    return cert && p == der.data() + length ? std::move(cert) : nullptr;
}

std::vector<unsigned char> CertificateDer(const X509* cert)
{
    const int len = i2d_X509(cert, nullptr);
    if (len <= 0) {
        return {};
    }
    std::vector<unsigned char> der(static_cast<size_t>(len));
    unsigned char* p = der.data();
    if (i2d_X509(cert, &p) != len) {
        return {};
    }
    return der;
}

bool IsParsableCertificate(const std::vector<unsigned char>& der)
{
    const unsigned char* p = der.data();
    const Cert cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    return cert && p == der.data() + der.size();
}

int WrapMethodForCertificate(const std::vector<unsigned char>& der, WrapMethod& method)
{
    const unsigned char* p = der.data();
    const Cert cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (!cert || p != der.data() + der.size()) {
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

int RandomBytes(unsigned char* out, size_t size)
{
    return RAND_bytes(out, static_cast<int>(size)) == 1 ? kOk : kGenerateRandomFailed;
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
    std::vector<unsigned char> info = Info(kPayloadInfo);
    info.insert(info.end(), binding.bytes.begin(), binding.bytes.end());
    if (const int rc
        = Hkdf(contentKey.data(), kKeySize, fileId.data(), fileId.size(), info, payloadKey.data(), kKeySize);
        rc != kOk) {
        return rc;
    }
    info = Info(kCommitmentInfo);
    info.insert(info.end(), binding.bytes.begin(), binding.bytes.end());
    return Hkdf(contentKey.data(), kKeySize, fileId.data(), fileId.size(), info, commitment.data(),
        commitment.size());
}

CChunkCipher::CChunkCipher(bool encrypt, const CKey& key) : ctx_(EVP_CIPHER_CTX_new()), encrypt_(encrypt)
{
    if (ctx_ && EVP_CipherInit_ex(ctx_.get(), EVP_aes_256_gcm(), nullptr, key.data(), nullptr, encrypt ? 1 : 0) != 1) {
        ctx_.reset();
    }
}

bool CChunkCipher::Start(uint64_t index, bool last)
{
    unsigned char nonce[12] = {};
    for (int i = 0; i < 8; ++i) {
        nonce[3 + i] = static_cast<unsigned char>(index >> (56 - 8 * i));
    }
    nonce[11] = last ? 1 : 0;
    return ctx_ && EVP_CipherInit_ex(ctx_.get(), nullptr, nullptr, nullptr, nonce, encrypt_ ? 1 : 0) == 1;
}

bool CChunkCipher::Seal(uint64_t index, bool last, unsigned char* data, size_t size, unsigned char tag[kTagSize])
{
    int len = 0;
    if (!Start(index, last) || (size > 0 && EVP_CipherUpdate(ctx_.get(), data, &len, data, static_cast<int>(size)) != 1)) {
        return false;
    }
    return EVP_CipherFinal_ex(ctx_.get(), data + len, &len) == 1 &&
           EVP_CIPHER_CTX_ctrl(ctx_.get(), EVP_CTRL_GCM_GET_TAG, kTagSize, tag) == 1;
}

bool CChunkCipher::Open(uint64_t index, bool last, const unsigned char* in, unsigned char* out, size_t size,
                        const unsigned char tag[kTagSize])
{
    int len = 0;
    if (!Start(index, last) || (size > 0 && EVP_CipherUpdate(ctx_.get(), out, &len, in, static_cast<int>(size)) != 1)) {
        return false;
    }
    return EVP_CIPHER_CTX_ctrl(ctx_.get(), EVP_CTRL_GCM_SET_TAG, kTagSize, const_cast<unsigned char*>(tag)) == 1 &&
           EVP_CipherFinal_ex(ctx_.get(), out + len, &len) == 1;
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
    const std::unique_ptr<gfshare_ctx, CGfshareFree> ctx(gfshare_ctx_init_enc(
        numbers.data(), static_cast<unsigned>(total), static_cast<unsigned char>(minimum), kKeySize));
    if (!ctx) {
        return kShareDivideFailed;
    }
    CKey secret = contentKey;
    gfshare_ctx_enc_setsecret(ctx.get(), secret.data());
    shares.assign(static_cast<size_t>(total), CKey{});
    for (int i = 0; i < total; ++i) {
        gfshare_ctx_enc_getshare(ctx.get(), static_cast<unsigned char>(i), shares[static_cast<size_t>(i)].data());
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
    const std::unique_ptr<gfshare_ctx, CGfshareFree> ctx(
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

CSharePlain MakeSharePlain(const std::array<unsigned char, kFileIdSize>& fileId, uint8_t number, const CKey& y)
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
        PkeyCtx ctx(EVP_PKEY_CTX_new(pub.get(), nullptr));
        size_t outSize = 0;
        if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
            EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) != 1 ||
            EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), EVP_sha256()) != 1 ||
            EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), EVP_sha256()) != 1 ||
            EVP_PKEY_encrypt(ctx.get(), nullptr, &outSize, plain.data(), kSharePlainSize) != 1) {
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
    PkeyCtx ctx(EVP_PKEY_CTX_new(ephemeral.get(), nullptr));
    size_t zSize = 0;
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 || EVP_PKEY_derive_set_peer(ctx.get(), pub.get()) != 1 ||
        EVP_PKEY_derive(ctx.get(), nullptr, &zSize) != 1) {
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
    if (!GcmOnce(true, key, plain.data(), kSharePlainSize, wrapped.data() + at, wrapped.data() + at + kSharePlainSize)) {
        return kAsymEncryptFailed;
    }
    return kOk;
}

int UnwrapShare(IShareKey& key, const COpenerRecord& rec, const std::array<unsigned char, kFileIdSize>& fileId,
                CShare& share)
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
    if (CRYPTO_memcmp(plain.data(), fileId.data(), kFileIdSize) != 0 || plain.bytes[kFileIdSize] != rec.shareNumber) {
        return kShareNewShadowFailed;
    }
    share.number = rec.shareNumber;
    std::memcpy(share.value.data(), plain.data() + kFileIdSize + 1, kKeySize);
    return kOk;
}

bool CSoftwareShareKey::MatchesCertificate(const std::vector<unsigned char>& certDer) const
{
    const PKey pub = CertificatePublicKey(certDer);
    return pub && key_ && EVP_PKEY_eq(pub.get(), key_.get()) == 1;
}

int CSoftwareShareKey::OaepDecrypt(const std::vector<unsigned char>& in, std::vector<unsigned char>& out)
{
    PkeyCtx ctx(EVP_PKEY_CTX_new(key_.get(), nullptr));
    size_t outSize = 0;
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) != 1 ||
        EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), EVP_sha256()) != 1 ||
        EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), EVP_sha256()) != 1 ||
        EVP_PKEY_decrypt(ctx.get(), nullptr, &outSize, in.data(), in.size()) != 1) {
        return kPrivateKeyDecryptFailed;
    }
    out.resize(outSize);
    if (EVP_PKEY_decrypt(ctx.get(), out.data(), &outSize, in.data(), in.size()) != 1) {
        return kPrivateKeyDecryptFailed;
    }
    out.resize(outSize);
    return kOk;
}

int CSoftwareShareKey::DeriveSecret(const std::vector<unsigned char>& peerSpkiDer, std::vector<unsigned char>& out)
{
    const unsigned char* p = peerSpkiDer.data();
    const PKey peer(d2i_PUBKEY(nullptr, &p, static_cast<long>(peerSpkiDer.size())));
    if (!peer || !IsP256(peer.get())) {
        return kShareNewShadowFailed;
    }
    PkeyCtx ctx(EVP_PKEY_CTX_new(key_.get(), nullptr));
    size_t size = 0;
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 || EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) != 1 ||
        EVP_PKEY_derive(ctx.get(), nullptr, &size) != 1) {
        return kPrivateKeyDecryptFailed;
    }
    out.resize(size);
    if (EVP_PKEY_derive(ctx.get(), out.data(), &size) != 1) {
        return kPrivateKeyDecryptFailed;
    }
    out.resize(size);
    return kOk;
}

PKey DecodePrivateKey(const unsigned char* data, size_t size)
{
    if (data == nullptr || size == 0 || size > INT_MAX) {
        return nullptr;
    }
    Bio bio(BIO_new_mem_buf(data, static_cast<int>(size)));
    if (!bio) {
        return nullptr;
    }
    PKey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (key) {
        return key;
    }
    const unsigned char* p = data;
    return PKey(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(size)));
}

int CSoftwareSealSigner::Sign(const unsigned char* digest, size_t size, std::vector<unsigned char>& cmsDer)
{
    Bio content(BIO_new_mem_buf(digest, static_cast<int>(size)));
    if (!content || !cert_ || !key_) {
        return kSignFinalFailed;
    }
    const std::unique_ptr<CMS_ContentInfo, CCmsFree> cms(
        CMS_sign(cert_.get(), key_.get(), nullptr, content.get(), CMS_BINARY | CMS_NOCERTS | CMS_NOSMIMECAP));
    if (!cms) {
        return kSignFinalFailed;
    }
    const int len = i2d_CMS_ContentInfo(cms.get(), nullptr);
    if (len <= 0) {
        return kSignFinalFailed;
    }
    cmsDer.resize(static_cast<size_t>(len));
    unsigned char* p = cmsDer.data();
    return i2d_CMS_ContentInfo(cms.get(), &p) == len ? kOk : kSignFinalFailed;
}

int VerifySignature(const std::vector<unsigned char>& cmsDer, const std::vector<unsigned char>& signerCertDer,
                    std::array<unsigned char, kDigestSize>& signedDigest)
{
    const unsigned char* p = cmsDer.data();
    const std::unique_ptr<CMS_ContentInfo, CCmsFree> cms(
        d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(cmsDer.size())));
    if (!cms || p != cmsDer.data() + cmsDer.size() || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed ||
        OBJ_obj2nid(CMS_get0_eContentType(cms.get())) != NID_pkcs7_data) {
        return kCreateVerifyHandleFailed;
    }
    Cert signer = DecodeCertificate(signerCertDer.data(), signerCertDer.size());
    std::unique_ptr<STACK_OF(X509), CX509StackFree> certs(sk_X509_new_null());
    if (!signer || !certs || sk_X509_push(certs.get(), signer.get()) <= 0) {
        return kConstructSignCertFailed;
    }
    // Certificates carried inside the signature are covered by nothing: anything but the
    // header's own certificate there would be bytes an attacker may change unnoticed.
    {
        std::unique_ptr<STACK_OF(X509), CX509StackPopFree> carried(CMS_get1_certs(cms.get()));
        for (int i = 0; carried && i < sk_X509_num(carried.get()); ++i) {
            if (X509_cmp(sk_X509_value(carried.get(), i), signer.get()) != 0) {
                return kVerifyFailed;
            }
        }
        std::unique_ptr<STACK_OF(X509_CRL), CX509CrlStackPopFree> crls(CMS_get1_crls(cms.get()));
        if (crls && sk_X509_CRL_num(crls.get()) > 0) {
            return kVerifyFailed;
        }
    }
    Bio out(BIO_new(BIO_s_mem()));
    if (!out) {
        return kOutOfMemory;
    }
    // Only the header's certificate may have signed: certificates carried inside the signature
    // are ignored, and the bidder's certificate chain is the tender's concern, not the file's.
    const int ok = CMS_verify(cms.get(), certs.get(), nullptr, nullptr, out.get(),
                              CMS_BINARY | CMS_NOINTERN | CMS_NO_SIGNER_CERT_VERIFY);
    if (ok != 1) {
        return kVerifyFailed;
    }
    char* content = nullptr;
    const long len = BIO_get_mem_data(out.get(), &content);
    if (len != static_cast<long>(kDigestSize)) {
        return kHashVerifyFailed;
    }
    std::memcpy(signedDigest.data(), content, kDigestSize);
    return kOk;
}

CFileHash::CFileHash() : ctx_(EVP_MD_CTX_new())
{
    ok_ = ctx_ && EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr) == 1;
}

void CFileHash::Update(const unsigned char* data, size_t size)
{
    if (ok_ && size > 0) {
        ok_ = EVP_DigestUpdate(ctx_.get(), data, size) == 1;
    }
}

bool CFileHash::Final(std::array<unsigned char, kDigestSize>& digest)
{
    unsigned int len = 0;
    return ok_ && EVP_DigestFinal_ex(ctx_.get(), digest.data(), &len) == 1 && len == kDigestSize;
}

}  // namespace kelvane::bidx
