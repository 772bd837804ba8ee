// Certificates and public keys.
#include "PkiHandles.h"
#include "QuarnPKI.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <openssl/asn1.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

using namespace quarnpki;

namespace {

// A certificate is at most a few KiB; anything much larger is not one.
constexpr int kMaxCertificateInput = 1 << 20;

// Certificates decoded from DER lately, by their bytes: an opening reads the same openers'
// certificates from every bid, and OpenSSL 3 decodes a certificate's key anew each time.
constexpr size_t kKeptDecodings = 32;
std::mutex decodedMutex;
std::map<std::string, X509Ptr>& Decoded()
{
    static auto* decoded = std::make_unique<std::map<std::string, X509Ptr>>().release();
    return *decoded;
}

X509Ptr ParseDer(const unsigned char* data, size_t length)
{
    std::string bytes(reinterpret_cast<const char*>(data), length);
    {
        const std::lock_guard lock(decodedMutex);
        if (const auto it = Decoded().find(bytes); it != Decoded().end()) {
            return ShareCertificate(it->second.get());
        }
    }
    const unsigned char* p = data;
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(length)));
    // Trailing bytes after the certificate mean it is not the certificate we were given.
    if (cert && p != data + length) {
        cert.reset();
    }
    if (cert) {
        X509Ptr kept = ShareCertificate(cert.get());
        const std::lock_guard lock(decodedMutex);
        if (Decoded().size() >= kKeptDecodings) {
            Decoded().clear();
        }
        if (kept) {
            Decoded().emplace(std::move(bytes), std::move(kept));
        }
    }
    return cert;
}

X509Ptr ParseCertificate(const unsigned char* data, size_t length)
{
    if (length > 0 && data[0] == 0x30) {
        return ParseDer(data, length);
    }
    const std::string_view text(reinterpret_cast<const char*>(data), length);
    if (text.find("-----BEGIN") != std::string_view::npos) {
        BioPtr bio(BIO_new_mem_buf(data, static_cast<int>(length)));
        return X509Ptr(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    }
    // Base64 text of DER, as the rules document carries it; a trailing zero byte is allowed.
    std::string_view trimmed = text;
    while (!trimmed.empty() && trimmed.back() == '\0') {
        trimmed.remove_suffix(1);
    }
    std::vector<unsigned char> der;
    if (!DecodeBase64Text(trimmed, der) || der.empty() || der[0] != 0x30) {
        return nullptr;
    }
    return ParseDer(der.data(), der.size());
}

std::string NameEntry(const X509_NAME* name, int nid)
{
    const int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index < 0) {
        return {};
    }
    const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, value);
    const OpenSslMemoryPtr<unsigned char> owned(utf8);
    if (length < 0) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(utf8), static_cast<size_t>(length));
}

std::string NameLine(const X509_NAME* name)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0) {
        return {};
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(length));
}

std::string TimeText(const ASN1_TIME* time)
{
    struct tm parts
    {
    };
    if (ASN1_TIME_to_tm(time, &parts) != 1) {
        return {};
    }
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02dZ", parts.tm_year + 1900, parts.tm_mon + 1,
        parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return text;
}

std::string Fingerprint(X509* cert)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(cert, EVP_sha256(), md, &length) != 1) {
        return {};
    }
    return HexUpper(md, length);
}

// The key type and curve of the workstation's numbering.
void KeyKind(EVP_PKEY* key, int& type, int& curve)
{
    type = -1;
    curve = -1;
    if (key == nullptr) {
        return;
    }
    if (EVP_PKEY_is_a(key, "RSA")) {
        type = QUARNPKI_KEY_TYPE_RSA;
        return;
    }
    if (EVP_PKEY_is_a(key, "SM2")) {
        type = QUARNPKI_KEY_TYPE_EC;
        curve = QUARNPKI_CURVE_SM2;
        return;
    }
    if (!EVP_PKEY_is_a(key, "EC")) {
        return;
    }
    type = QUARNPKI_KEY_TYPE_EC;
    char group[80] = {};
    size_t groupLength = 0;
    if (EVP_PKEY_get_utf8_string_param(key, "group", group, sizeof group, &groupLength) != 1) {
        curve = 0;
        return;
    }
    const int nid = OBJ_sn2nid(group) != NID_undef ? OBJ_sn2nid(group) : EC_curve_nist2nid(group);
    switch (nid) {
    case NID_X9_62_prime256v1:
        curve = QUARNPKI_CURVE_P256;
        break;
    case NID_secp384r1:
        curve = 2;
        break;
    case NID_secp521r1:
        curve = 3;
        break;
    case NID_sm2:
        curve = QUARNPKI_CURVE_SM2;
        break;
    default:
        curve = 0;
        break;
    }
}

} // namespace

namespace quarnpki {

// Whether the certificate's key usage allows the purpose ("signature", "encryption", "any").
bool CertAllowsPurpose(X509* cert, std::string_view purpose)
{
    const uint32_t usage = X509_get_key_usage(cert);
    if (purpose == "signature") {
        return (usage & (KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION)) != 0;
    }
    if (purpose == "encryption") {
        return (usage & (KU_KEY_ENCIPHERMENT | KU_KEY_AGREEMENT | KU_DATA_ENCIPHERMENT)) != 0;
    }
    return true;
}

std::string CertFingerprint(X509* cert)
{
    return Fingerprint(cert);
}
std::string CertCommonName(X509* cert)
{
    return NameEntry(X509_get_subject_name(cert), NID_commonName);
}

} // namespace quarnpki

extern "C" {

void* QuarnPKICertNewCert(const unsigned char* data, int length)
{
    return Guarded<void*>(nullptr, [&]() -> void* {
        if (data == nullptr || length <= 0 || length > kMaxCertificateInput) {
            SetError("no certificate bytes");
            return nullptr;
        }
        X509Ptr cert = ParseCertificate(data, static_cast<size_t>(length));
        ERR_clear_error();
        if (!cert) {
            SetError("not a certificate in DER, PEM or Base64");
            return nullptr;
        }
        return Publish(std::make_unique<CCertHandle>(std::move(cert)));
    });
}

void* QuarnPKICertDupCert(void* cert)
{
    return Guarded<void*>(nullptr, [&]() -> void* {
        const auto* c = LookupAs<CCertHandle>(cert, HandleKind::Cert);
        if (c == nullptr) {
            return nullptr;
        }
        X509Ptr copy = ShareCertificate(c->x509.get());
        if (!copy) {
            return nullptr;
        }
        auto handle = std::make_unique<CCertHandle>(std::move(copy));
        handle->keypair = c->keypair;
        handle->objectLabel = c->objectLabel;
        return Publish(std::move(handle));
    });
}

void QuarnPKICertFreeCert(void* cert)
{
    Release(cert, HandleKind::Cert);
}

int QuarnPKICertGetCertStringAttribute(void* cert, int attribute, char** value, int* length)
{
    return Guarded(QUARNPKI_FAILED, [&] {
        const auto* c = LookupAs<CCertHandle>(cert, HandleKind::Cert);
        if (c == nullptr || value == nullptr) {
            return QUARNPKI_INVALID_ARGUMENT;
        }
        X509* x = c->x509.get();
        std::string text;
        switch (attribute) {
        case QUARNPKI_CERT_SUBJECT:
            text = NameLine(X509_get_subject_name(x));
            break;
        case QUARNPKI_CERT_ISSUER:
            text = NameLine(X509_get_issuer_name(x));
            break;
        case QUARNPKI_CERT_SERIAL: {
            const BignumPtr serial(ASN1_INTEGER_to_BN(X509_get0_serialNumber(x), nullptr));
            if (serial) {
                const OpenSslMemoryPtr<char> hex(BN_bn2hex(serial.get()));
                text = hex ? hex.get() : "";
            }
            break;
        }
        case QUARNPKI_CERT_NOT_BEFORE:
            text = TimeText(X509_get0_notBefore(x));
            break;
        case QUARNPKI_CERT_NOT_AFTER:
            text = TimeText(X509_get0_notAfter(x));
            break;
        case QUARNPKI_CERT_COMMON_NAME:
            text = NameEntry(X509_get_subject_name(x), NID_commonName);
            break;
        case QUARNPKI_CERT_ORGANIZATION:
            text = NameEntry(X509_get_subject_name(x), NID_organizationName);
            break;
        case QUARNPKI_CERT_SHA256_FINGERPRINT:
            text = Fingerprint(x);
            break;
        case QUARNPKI_CERT_TOKEN_LABEL:
            text = c->keypair != nullptr && c->keypair->OnToken() ? c->keypair->tokenLabel : "";
            break;
        case QUARNPKI_CERT_TOKEN_OBJECT_LABEL:
            text = c->objectLabel;
            break;
        default:
            SetError("unknown string attribute");
            return QUARNPKI_INVALID_ARGUMENT;
        }
        if (text.empty()) {
            SetError("the certificate has no such value");
            return QUARNPKI_FAILED;
        }
        return HandOutText(text, value, length);
    });
}

int QuarnPKICertGetCertIntegerAttribute(void* cert, int attribute, int* value)
{
    return Guarded(QUARNPKI_FAILED, [&] {
        const auto* c = LookupAs<CCertHandle>(cert, HandleKind::Cert);
        if (c == nullptr || value == nullptr) {
            return QUARNPKI_INVALID_ARGUMENT;
        }
        EVP_PKEY* key = X509_get0_pubkey(c->x509.get());
        int type = -1;
        int curve = -1;
        KeyKind(key, type, curve);
        switch (attribute) {
        case QUARNPKI_CERT_KEY_TYPE:
            *value = type;
            break;
        case QUARNPKI_CERT_KEY_CURVE:
            *value = curve;
            break;
        case QUARNPKI_CERT_KEY_BITS:
            *value = key != nullptr ? EVP_PKEY_get_bits(key) : -1;
            break;
        case QUARNPKI_CERT_KEY_USAGE: {
            const uint32_t usage = X509_get_key_usage(c->x509.get());
            *value = usage == UINT32_MAX ? -1 : static_cast<int>(usage);
            break;
        }
        default:
            SetError("unknown integer attribute");
            return QUARNPKI_INVALID_ARGUMENT;
        }
        return QUARNPKI_OK;
    });
}

void* QuarnPKICertGetCertPublicKey(void* cert, int form)
{
    return Guarded<void*>(nullptr, [&]() -> void* {
        const auto* c = LookupAs<CCertHandle>(cert, HandleKind::Cert);
        if (c == nullptr) {
            return nullptr;
        }
        if (form != QUARNPKI_PUBLIC_KEY_SPKI_DER) {
            SetError("unknown public key form");
            return nullptr;
        }
        PkeyPtr key(X509_get_pubkey(c->x509.get()));
        if (!key) {
            SetOpenSslError("the certificate's public key cannot be read");
            return nullptr;
        }
        return Publish(std::make_unique<CPublicKeyHandle>(std::move(key)));
    });
}

int QuarnPKICertGetCertEncoded(void* cert, unsigned char** der, int* length)
{
    return Guarded(QUARNPKI_FAILED, [&] {
        const auto* c = LookupAs<CCertHandle>(cert, HandleKind::Cert);
        if (c == nullptr) {
            return QUARNPKI_INVALID_ARGUMENT;
        }
        unsigned char* encoded = nullptr;
        const int size = i2d_X509(c->x509.get(), &encoded);
        const OpenSslMemoryPtr<unsigned char> owned(encoded);
        if (size <= 0) {
            SetOpenSslError("certificate encoding failed");
            return QUARNPKI_FAILED;
        }
        return HandOut(encoded, static_cast<size_t>(size), der, length);
    });
}

int QuarnPKICertSetCertKeyPair(void* cert, void* keypair)
{
    return Guarded(QUARNPKI_FAILED, [&] {
        auto* c = LookupAs<CCertHandle>(cert, HandleKind::Cert);
        const auto* k = LookupAs<CKeypairHandle>(keypair, HandleKind::Keypair);
        if (c == nullptr || k == nullptr) {
            return QUARNPKI_INVALID_ARGUMENT;
        }
        if (EVP_PKEY_eq(X509_get0_pubkey(c->x509.get()), k->key->publicKey.get()) != 1) {
            SetError("the key pair does not belong to the certificate");
            return QUARNPKI_FAILED;
        }
        c->keypair = k->key;
        return QUARNPKI_OK;
    });
}

// ---- Public keys and key pairs --------------------------------------------------------------

void* QuarnPKICryptoGetPublicKeyFromKeypair(void* keypair)
{
    return Guarded<void*>(nullptr, [&]() -> void* {
        const auto* k = LookupAs<CKeypairHandle>(keypair, HandleKind::Keypair);
        if (k == nullptr) {
            return nullptr;
        }
        EVP_PKEY* key = k->key->publicKey.get();
        if (EVP_PKEY_up_ref(key) != 1) {
            return nullptr;
        }
        return Publish(std::make_unique<CPublicKeyHandle>(PkeyPtr(key)));
    });
}

int QuarnPKICryptoPublicKeyEqual(void* publicKey1, void* publicKey2)
{
    return Guarded(0, [&] {
        const auto* a = LookupAs<CPublicKeyHandle>(publicKey1, HandleKind::PublicKey);
        const auto* b = LookupAs<CPublicKeyHandle>(publicKey2, HandleKind::PublicKey);
        if (a == nullptr || b == nullptr) {
            return 0;
        }
        return EVP_PKEY_eq(a->key.get(), b->key.get()) == 1 ? 1 : 0;
    });
}

int QuarnPKICryptoGetPublicKeyEncoded(void* publicKey, unsigned char** der, int* length)
{
    return Guarded(QUARNPKI_FAILED, [&] {
        const auto* k = LookupAs<CPublicKeyHandle>(publicKey, HandleKind::PublicKey);
        if (k == nullptr) {
            return QUARNPKI_INVALID_ARGUMENT;
        }
        const std::vector<unsigned char> encoded = PublicKeyDer(k->key.get());
        if (encoded.empty()) {
            SetOpenSslError("public key encoding failed");
            return QUARNPKI_FAILED;
        }
        return HandOut(encoded, der, length);
    });
}

void* QuarnPKICryptoGetDeviceHandleFromKeypair(void* keypair)
{
    return Guarded<void*>(nullptr, [&]() -> void* {
        const auto* k = LookupAs<CKeypairHandle>(keypair, HandleKind::Keypair);
        if (k == nullptr) {
            return nullptr;
        }
        if (!k->key->OnToken()) {
            return Publish(std::make_unique<CDeviceHandle>(QUARNPKI_DEVICE_SOFTWARE_KEY, "", "software"));
        }
        return Publish(
            std::make_unique<CDeviceHandle>(QUARNPKI_DEVICE_TOKEN, k->key->tokenLabel, k->key->tokenSerial));
    });
}

void QuarnPKICryptoFreeKeypair(void* keypair)
{
    Release(keypair, HandleKind::Keypair);
}
void QuarnPKICryptoFreePublicKey(void* publicKey)
{
    Release(publicKey, HandleKind::PublicKey);
}

void* QuarnPKICryptoNewSoftwareKeypair(const unsigned char* key, int length)
{
    return Guarded<void*>(nullptr, [&]() -> void* {
        if (key == nullptr || length <= 0) {
            SetError("no key bytes");
            return nullptr;
        }
        BioPtr bio(BIO_new_mem_buf(key, length));
        PkeyPtr privateKey;
        if (bio
            && std::string_view(reinterpret_cast<const char*>(key), static_cast<size_t>(length))
                    .find("-----BEGIN")
                != std::string_view::npos) {
            privateKey.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
        } else {
            const unsigned char* p = key;
            privateKey.reset(d2i_AutoPrivateKey(nullptr, &p, length));
        }
        if (!privateKey) {
            SetOpenSslError("not an unencrypted private key in PEM or DER");
            return nullptr;
        }
        const std::vector<unsigned char> spki = PublicKeyDer(privateKey.get());
        const unsigned char* p = spki.data();
        PkeyPtr publicKey(spki.empty() ? nullptr : d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size())));
        if (!publicKey) {
            SetOpenSslError("the key's public part cannot be read");
            return nullptr;
        }
        auto material = std::make_shared<CKeyMaterial>();
        material->publicKey = std::move(publicKey);
        material->softwareKey = std::move(privateKey);
        return Publish(std::make_unique<CKeypairHandle>(std::move(material)));
    });
}

} // extern "C"
