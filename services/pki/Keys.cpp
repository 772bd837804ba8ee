// Key pairs on tokens and in software: finding them, and the private-key operations that the
// sealed bid files need (RSA-OAEP and ECDH).
#include "PkiHandles.h"
#include "QuarnPKI.h"
#include "TokenLayer.h"

#include <cstring>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/params.h>
#include <openssl/rsa.h>

using namespace quarnpki;

namespace {

// An RSA-2048 ciphertext is 256 bytes; anything beyond a 16384-bit key is not one of ours.
constexpr int kMaxAsymmetricInput = 2048;

int OaepDecrypt(EVP_PKEY* key, const unsigned char* in, size_t inLength, std::vector<unsigned char>& plain)
{
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
    size_t length = 0;
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1
        || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) != 1
        || EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), EVP_sha256()) != 1
        || EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), EVP_sha256()) != 1
        || EVP_PKEY_decrypt(ctx.get(), nullptr, &length, in, inLength) != 1) {
        SetOpenSslError("RSA-OAEP decryption cannot start");
        return QUARNPKI_FAILED;
    }
    plain.assign(length, 0);
    if (EVP_PKEY_decrypt(ctx.get(), plain.data(), &length, in, inLength) != 1) {
        OPENSSL_cleanse(plain.data(), plain.size());
        plain.clear();
        SetOpenSslError("RSA-OAEP decryption failed");
        return QUARNPKI_FAILED;
    }
    plain.resize(length);
    return QUARNPKI_OK;
}

int Derive(EVP_PKEY* key, EVP_PKEY* peer, std::vector<unsigned char>& secret)
{
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
    size_t length = 0;
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 || EVP_PKEY_derive_set_peer(ctx.get(), peer) != 1
        || EVP_PKEY_derive(ctx.get(), nullptr, &length) != 1) {
        SetOpenSslError("ECDH cannot start");
        return QUARNPKI_FAILED;
    }
    secret.assign(length, 0);
    if (EVP_PKEY_derive(ctx.get(), secret.data(), &length) != 1) {
        SetOpenSslError("ECDH failed");
        return QUARNPKI_FAILED;
    }
    secret.resize(length);
    return QUARNPKI_OK;
}

// The peer key of a share: a P-256 SubjectPublicKeyInfo with an uncompressed point, the one form
// a sealer writes, is built from its point; OpenSSL 3.0's d2i_PUBKEY searches its decoders at every
// call and costs several times more. Any other encoding goes through d2i_PUBKEY. The point is
// checked to lie on the curve either way.
PkeyPtr PeerKeyFromDer(const unsigned char* der, int length)
{
    static constexpr unsigned char kP256Prefix[]
        = { 0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a,
              0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00 };
    constexpr int kPointLength = 65;
    if (length == static_cast<int>(sizeof kP256Prefix) + kPointLength
        && std::memcmp(der, kP256Prefix, sizeof kP256Prefix) == 0) {
        char group[] = "prime256v1";
        OSSL_PARAM params[] = { OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
            OSSL_PARAM_construct_octet_string(
                OSSL_PKEY_PARAM_PUB_KEY, const_cast<unsigned char*>(der + sizeof kP256Prefix), kPointLength),
            OSSL_PARAM_construct_end() };
        const PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
        EVP_PKEY* key = nullptr;
        if (ctx && EVP_PKEY_fromdata_init(ctx.get()) == 1
            && EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params) == 1) {
            return PkeyPtr(key);
        }
        ERR_clear_error();
        return nullptr;
    }
    const unsigned char* p = der;
    PkeyPtr key(d2i_PUBKEY(nullptr, &p, length));
    if (!key || p != der + length) {
        ERR_clear_error();
        return nullptr;
    }
    return key;
}

bool IsP256(EVP_PKEY* key)
{
    char group[64] = {};
    size_t length = 0;
    return EVP_PKEY_is_a(key, "EC")
        && EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &length) == 1
        && (std::string_view(group) == "prime256v1" || std::string_view(group) == "P-256");
}

} // namespace

extern "C" {

void* QuarnPKICertGetCertKeyPair(void* cert, unsigned int flags, unsigned int usage, void* device)
{
    (void)flags;
    (void)usage;
    return Guarded<void*>(nullptr, [&]() -> void* {
        const auto* c = LookupAs<CCertHandle>(cert, HandleKind::Cert);
        if (c == nullptr) {
            return nullptr;
        }
        const CDeviceHandle* d = nullptr;
        if (device != nullptr && (d = LookupAs<CDeviceHandle>(device, HandleKind::Device)) == nullptr) {
            return nullptr;
        }
        // A software key attached to the certificate is always reachable; a token key attached
        // to it is reachable while its token is present, which one question to its slot tells
        // (a pulled token is noticed without listing every token and its objects again). Without
        // it the key is looked for on the present tokens.
        if (c->keypair && d == nullptr && IsTokenPresent(*c->keypair)) {
            return Publish(std::make_unique<CKeypairHandle>(c->keypair));
        }
        auto found = FindTokenKeypair(X509_get0_pubkey(c->x509.get()), d);
        if (!found) {
            return nullptr;
        }
        return Publish(std::make_unique<CKeypairHandle>(std::move(found)));
    });
}

int QuarnPKICertFindOnTokens(void* cert, int* found, char** tokenLabel, int* pinState)
{
    return Guarded(QUARNPKI_FAILED, [&] {
        const auto* c = LookupAs<CCertHandle>(cert, HandleKind::Cert);
        if (c == nullptr || found == nullptr) {
            return QUARNPKI_INVALID_ARGUMENT;
        }
        std::vector<std::string> present;
        if (!PresentTokenLabels(present)) {
            return QUARNPKI_FAILED;
        }
        std::string label;
        int state = 0;
        *found = CertificateOnTokens(c->x509.get(), label, state);
        if (pinState != nullptr) {
            *pinState = state;
        }
        if (tokenLabel != nullptr) {
            *tokenLabel = nullptr;
            if (*found != QUARNPKI_CERT_NOT_ON_TOKEN) {
                return HandOutText(label, tokenLabel);
            }
        }
        return QUARNPKI_OK;
    });
}

int QuarnPKICryptoFindDevice(int type, const char* serial, int flags, void** device)
{
    (void)flags;
    return Guarded(QUARNPKI_FAILED, [&] {
        if (device == nullptr || serial == nullptr) {
            return QUARNPKI_INVALID_ARGUMENT;
        }
        *device = nullptr;
        if (type == QUARNPKI_DEVICE_PSEUDO) {
            *device = QuarnPKICryptoGetPseudoDevice();
            return *device != nullptr ? QUARNPKI_OK : QUARNPKI_FAILED;
        }
        std::string label;
        if (type != QUARNPKI_DEVICE_TOKEN || !FindPresentToken(serial, label)) {
            return QUARNPKI_FAILED;
        }
        *device = Publish(std::make_unique<CDeviceHandle>(QUARNPKI_DEVICE_TOKEN, label, serial));
        return QUARNPKI_OK;
    });
}

int QuarnPKICryptoGetKeypairCount(void* device, int* count)
{
    return Guarded(QUARNPKI_FAILED, [&] {
        const auto* d = LookupAs<CDeviceHandle>(device, HandleKind::Device);
        if (d == nullptr || count == nullptr) {
            return QUARNPKI_INVALID_ARGUMENT;
        }
        if (d->type != QUARNPKI_DEVICE_TOKEN) {
            *count = 0;
            return QUARNPKI_OK;
        }
        std::string label;
        if (!FindPresentToken(d->serial, label)) {
            return QUARNPKI_TOKEN_ABSENT;
        }
        *count = static_cast<int>(TokenKeypairs(*d).size());
        return QUARNPKI_OK;
    });
}

void* QuarnPKICryptoGetKeypair(void* device, int index)
{
    return Guarded<void*>(nullptr, [&]() -> void* {
        const auto* d = LookupAs<CDeviceHandle>(device, HandleKind::Device);
        if (d == nullptr || d->type != QUARNPKI_DEVICE_TOKEN) {
            return nullptr;
        }
        auto keypairs = TokenKeypairs(*d);
        if (index < 0 || index >= static_cast<int>(keypairs.size())) {
            SetError("no key pair with that index");
            return nullptr;
        }
        return Publish(std::make_unique<CKeypairHandle>(std::move(keypairs[static_cast<size_t>(index)])));
    });
}

int QuarnPKICryptoKeypairDecrypt(
    void* keypair, const unsigned char* in, int inLength, unsigned char** out, int* outLength)
{
    return Guarded(QUARNPKI_FAILED, [&] {
        const auto* k = LookupAs<CKeypairHandle>(keypair, HandleKind::Keypair);
        if (k == nullptr || in == nullptr || inLength <= 0 || inLength > kMaxAsymmetricInput || out == nullptr
            || outLength == nullptr) {
            return QUARNPKI_INVALID_ARGUMENT;
        }
        if (!EVP_PKEY_is_a(k->key->publicKey.get(), "RSA")) {
            SetError("RSA-OAEP needs an RSA key pair");
            return QUARNPKI_FAILED;
        }
        std::vector<unsigned char> plain;
        const int rc = WithPrivateKey(*k->key,
            [&](EVP_PKEY* key) { return OaepDecrypt(key, in, static_cast<size_t>(inLength), plain); });
        const int handed = rc == QUARNPKI_OK ? HandOut(plain, out, outLength) : rc;
        OPENSSL_cleanse(plain.data(), plain.size());
        return handed;
    });
}

int QuarnPKICryptoKeypairDeriveSecret(
    void* keypair, const unsigned char* peerPublicKeyDer, int peerLength, unsigned char** out, int* outLength)
{
    return Guarded(QUARNPKI_FAILED, [&] {
        const auto* k = LookupAs<CKeypairHandle>(keypair, HandleKind::Keypair);
        if (k == nullptr || peerPublicKeyDer == nullptr || peerLength <= 0 || peerLength > kMaxAsymmetricInput
            || out == nullptr || outLength == nullptr) {
            return QUARNPKI_INVALID_ARGUMENT;
        }
        const PkeyPtr peer = PeerKeyFromDer(peerPublicKeyDer, peerLength);
        if (!peer) {
            SetError("the peer key is not a DER SubjectPublicKeyInfo");
            return QUARNPKI_FAILED;
        }
        if (!IsP256(k->key->publicKey.get()) || !IsP256(peer.get())) {
            SetError("ECDH needs P-256 keys on both sides");
            return QUARNPKI_FAILED;
        }
        std::vector<unsigned char> secret;
        const int rc
            = WithPrivateKey(*k->key, [&](EVP_PKEY* key) { return Derive(key, peer.get(), secret); });
        const int handed = rc == QUARNPKI_OK ? HandOut(secret, out, outLength) : rc;
        OPENSSL_cleanse(secret.data(), secret.size());
        return handed;
    });
}

} // extern "C"
