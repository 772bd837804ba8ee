#include "OpenerTrust.h"

#include "BidCrypto.h"
#include "CertificateStore.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

namespace kelvane::seal {
namespace {

std::string SettingsAnchorPath()
{
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && *xdg != '\0') {
        return std::string(xdg) + "/QUARN/rmw/bidder-ca.pem";
    }
    const char* home = std::getenv("HOME");
    return home != nullptr && *home != '\0' ? std::string(home) + "/.config/QUARN/rmw/bidder-ca.pem"
                                            : std::string();
}

std::string Day(const ASN1_TIME* time)
{
    struct tm parts
    {
    };
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) {
        return "?";
    }
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &parts);
    return text;
}

} // namespace

std::optional<CTenderAnchors> LoadTenderAnchors(const std::string& commandLineFile, std::string& error)
{
    CTenderAnchors anchors;
    anchors.store.reset(X509_STORE_new());
    if (!anchors.store) {
        error = "out of memory";
        return std::nullopt;
    }
    std::string file = commandLineFile;
    std::string origin = "--tender-ca";
    if (file.empty()) {
        std::error_code ec;
        const std::string settings = SettingsAnchorPath();
        if (!settings.empty() && std::filesystem::exists(settings, ec)) {
            file = settings;
            origin = "the settings folder";
        }
    }
    if (file.empty()) {
        const char* fromEnvironment = std::getenv("KELVANE_BIDDER_CA");
        if (fromEnvironment != nullptr && *fromEnvironment != '\0') {
            file = fromEnvironment;
            origin = "KELVANE_BIDDER_CA";
        }
    }
    if (file.empty()) {
        kelvane::AddSystemCertificates(anchors.store.get());
        anchors.source = "the system's certificate store";
        return anchors;
    }
    if (kelvane::AddCertificateFile(anchors.store.get(), file) == 0) {
        error = "the tender's certificate authority " + file + " (from " + origin
            + ") cannot be read or holds no certificate";
        return std::nullopt;
    }
    // The tender's file is what the bidder was told to trust, whether it holds a root or not.
    X509_STORE_set_flags(anchors.store.get(), X509_V_FLAG_PARTIAL_CHAIN);
    anchors.source = file;
    return anchors;
}

std::string OpenerRefusal(const std::vector<unsigned char>& certificate, const CTenderAnchors& anchors)
{
    const kelvane::bidx::Cert cert = kelvane::bidx::DecodeCertificate(certificate.data(), certificate.size());
    if (!cert) {
        return "its certificate cannot be read";
    }
    const X509StoreCtxPtr ctx(X509_STORE_CTX_new());
    if (!ctx || X509_STORE_CTX_init(ctx.get(), anchors.store.get(), cert.get(), nullptr) != 1) {
        ERR_clear_error();
        return "its certificate cannot be checked (out of memory)";
    }
    const int verified = X509_verify_cert(ctx.get());
    const int error = X509_STORE_CTX_get_error(ctx.get());
    ERR_clear_error();
    if (verified != 1) {
        // Validity errors may concern an authority above the opener.
        const std::string whose = X509_STORE_CTX_get_error_depth(ctx.get()) > 0
            ? "the certificate of its issuer"
            : "its certificate";
        const X509* failed = X509_STORE_CTX_get_current_cert(ctx.get());
        switch (error) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
            return whose + " expired on " + Day(failed != nullptr ? X509_get0_notAfter(failed) : nullptr);
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return whose + " is not valid before "
                + Day(failed != nullptr ? X509_get0_notBefore(failed) : nullptr);
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
            return "its certificate is not issued by the tender's certificate authority (" + anchors.source
                + ")";
        default:
            return std::string("its certificate does not verify against the tender's certificate authority (")
                + anchors.source + "): " + X509_verify_cert_error_string(error);
        }
    }
    // Without a keyUsage extension the key may be used for anything.
    const uint32_t usage = X509_get_key_usage(cert.get());
    if (usage == UINT32_MAX) {
        return {};
    }
    switch (EVP_PKEY_get_base_id(X509_get0_pubkey(cert.get()))) {
    case EVP_PKEY_RSA:
        return (usage & KU_KEY_ENCIPHERMENT) != 0 ? std::string()
                                                  : "its RSA key is not for key encipherment (key usage)";
    case EVP_PKEY_EC:
        return (usage & KU_KEY_AGREEMENT) != 0 ? std::string()
                                               : "its EC key is not for key agreement (key usage)";
    default:
        // The sealer names the key types it can seal to.
        return {};
    }
}

std::string SubjectLine(const std::vector<unsigned char>& certificate)
{
    const kelvane::bidx::Cert cert = kelvane::bidx::DecodeCertificate(certificate.data(), certificate.size());
    const BioPtr bio(BIO_new(BIO_s_mem()));
    if (!cert || !bio
        || X509_NAME_print_ex(
               bio.get(), X509_get_subject_name(cert.get()), 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB)
            < 0) {
        ERR_clear_error();
        return "?";
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string("?");
}

} // namespace kelvane::seal
