#include "BidCertificates.h"

#include <cctype>
#include <climits>
#include <cstring>
#include <map>
#include <mutex>
#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <string>
#include <string_view>

namespace kelvane::bidx {

Cert DecodeDerCertificate(const unsigned char* data, size_t size)
{
    if (data == nullptr || size == 0 || size > INT_MAX) {
        return nullptr;
    }
    // OpenSSL 3 sets up a key decoder for every certificate it decodes, and an opening meets the
    // same openers' and bidders' certificates in bid after bid: each is decoded once and shared
    // (a certificate is not changed once decoded).
    static std::mutex mutex;
    static std::map<std::vector<unsigned char>, Cert> decoded;
    constexpr size_t kKept = 64;
    std::vector<unsigned char> der(data, data + size);
    {
        const std::lock_guard lock(mutex);
        if (const auto found = decoded.find(der); found != decoded.end()) {
            X509_up_ref(found->second.get());
            return Cert(found->second.get());
        }
    }
    const unsigned char* p = data;
    Cert cert(d2i_X509(nullptr, &p, static_cast<long>(size)));
    if (!cert || p != data + size) {
        return nullptr;
    }
    const std::lock_guard lock(mutex);
    if (decoded.size() >= kKept) {
        decoded.clear();
    }
    X509_up_ref(cert.get());
    decoded.emplace(std::move(der), Cert(cert.get()));
    return cert;
}

Cert DecodeCertificate(const unsigned char* data, size_t size)
{
    if (data == nullptr || size == 0 || size > INT_MAX) {
        return nullptr;
    }
    if (Cert cert = DecodeDerCertificate(data, size)) {
        return cert;
    }
    Cert cert;
    BioPtr bio(BIO_new_mem_buf(data, static_cast<int>(size)));
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
    const int decoded = EVP_DecodeBlock(
        der.data(), reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (decoded <= 0) {
        return nullptr;
    }
    // EVP_DecodeBlock counts the padding as data bytes.
    size_t length = static_cast<size_t>(decoded);
    for (size_t i = text.size(); i > 0 && text[i - 1] == '=' && length > 0; --i) {
        --length;
    }
    return DecodeDerCertificate(der.data(), length);
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
    return DecodeDerCertificate(der.data(), der.size()) != nullptr;
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
    return EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &len) == 1
        && std::strcmp(group, "prime256v1") == 0;
}

PKey DecodePrivateKey(const unsigned char* data, size_t size)
{
    if (data == nullptr || size == 0 || size > INT_MAX) {
        return nullptr;
    }
    BioPtr bio(BIO_new_mem_buf(data, static_cast<int>(size)));
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

} // namespace kelvane::bidx
