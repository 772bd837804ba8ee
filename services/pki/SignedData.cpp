// CMS SignedData in DER, signed with a token key or a software key.
#include "PkiHandles.h"
#include "QuarnPKI.h"
#include "TokenLayer.h"

#include <openssl/cms.h>
#include <openssl/err.h>

using namespace quarnpki;

namespace {

// Operation records are small; a cap keeps a runaway caller from filling memory.
constexpr size_t kMaxSignedContent = 64u << 20;

class CSignedDataHandle final : public CHandle
{
public:
    CSignedDataHandle()
        : CHandle(HandleKind::SignedData)
    {
    }

    X509Ptr signer;
    std::shared_ptr<const CKeyMaterial> keypair;
    bool attached = false;
    int algorithm = -1; // not set: chosen from the key
    bool started = false;
    bool finished = false;
    std::vector<unsigned char> content;
};

// The digest for the algorithm, or nullptr when it does not fit the key.
const EVP_MD* DigestFor(int algorithm, EVP_PKEY* key)
{
    switch (algorithm) {
    case QUARNPKI_ALG_SHA256_RSA:
        return EVP_PKEY_is_a(key, "RSA") ? EVP_sha256() : nullptr;
    case QUARNPKI_ALG_ECDSA_SHA256:
        return EVP_PKEY_is_a(key, "EC") ? EVP_sha256() : nullptr;
    case QUARNPKI_ALG_SM2_SM3:
        return EVP_PKEY_is_a(key, "SM2") ? EVP_sm3() : nullptr;
    default:
        return nullptr;
    }
}

int DefaultAlgorithm(EVP_PKEY* key)
{
    if (EVP_PKEY_is_a(key, "RSA")) {
        return QUARNPKI_ALG_SHA256_RSA;
    }
    return EVP_PKEY_is_a(key, "SM2") ? QUARNPKI_ALG_SM2_SM3 : QUARNPKI_ALG_ECDSA_SHA256;
}

int Sign(CSignedDataHandle& sd, EVP_PKEY* key, std::vector<unsigned char>& der)
{
    const EVP_MD* md = DigestFor(sd.algorithm, X509_get0_pubkey(sd.signer.get()));
    BioPtr data(BIO_new_mem_buf(sd.content.data(), static_cast<int>(sd.content.size())));
    const unsigned int flags
        = CMS_BINARY | CMS_PARTIAL | (sd.attached ? 0u : static_cast<unsigned int>(CMS_DETACHED));
    CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
    CMS_SignerInfo* signer = cms ? CMS_add1_signer(cms.get(), sd.signer.get(), key, md, CMS_BINARY) : nullptr;
    if (signer != nullptr && sd.algorithm == QUARNPKI_ALG_SM2_SM3) {
        // OpenSSL's CMS does not name SM2 signatures by itself: without SM2-with-SM3 set here
        // the signature stays empty. The signer ID is OpenSSL's default, as its verifiers use.
        X509_ALGOR* signatureAlgorithm = nullptr;
        CMS_SignerInfo_get0_algs(signer, nullptr, nullptr, nullptr, &signatureAlgorithm);
        X509_ALGOR_set0(signatureAlgorithm, OBJ_nid2obj(NID_SM2_with_SM3), V_ASN1_UNDEF, nullptr);
    }
    if (signer == nullptr || !data || CMS_final(cms.get(), data.get(), nullptr, CMS_BINARY) != 1) {
        SetOpenSslError("signing failed");
        return QUARNPKI_FAILED;
    }
    const int length = i2d_CMS_ContentInfo(cms.get(), nullptr);
    if (length <= 0) {
        SetOpenSslError("signed data cannot be encoded");
        return QUARNPKI_FAILED;
    }
    der.resize(static_cast<size_t>(length));
    unsigned char* p = der.data();
    i2d_CMS_ContentInfo(cms.get(), &p);
    return QUARNPKI_OK;
}

} // namespace

extern "C" {

void* QuarnPKIMsgNewSignedData(int mode)
{
    return Guarded<void*>(nullptr, [&]() -> void* {
        if (mode != 1) {
            SetError("only signing is supported");
            return nullptr;
        }
        return Publish(std::make_unique<CSignedDataHandle>());
    });
}

int QuarnPKIMsgSignedDataSetSignCert(void* signedData, void* cert, int flags)
{
    (void)flags;
    return Guarded(QUARNPKI_FAILED, [&] {
        auto* sd = LookupAs<CSignedDataHandle>(signedData, HandleKind::SignedData);
        const auto* c = LookupAs<CCertHandle>(cert, HandleKind::Cert);
        if (sd == nullptr || c == nullptr) {
            return QUARNPKI_INVALID_ARGUMENT;
        }
        if (sd->started) {
            SetError("the signer must be set before signing starts");
            return QUARNPKI_FAILED;
        }
        X509Ptr copy = ShareCertificate(c->x509.get());
        if (!copy) {
            return QUARNPKI_FAILED;
        }
        sd->signer = std::move(copy);
        sd->keypair = c->keypair;
        return QUARNPKI_OK;
    });
}

int QuarnPKIMsgSignedDataSetIntegerAttribute(void* signedData, int attribute, int reserved, int value)
{
    (void)reserved;
    return Guarded(QUARNPKI_FAILED, [&] {
        auto* sd = LookupAs<CSignedDataHandle>(signedData, HandleKind::SignedData);
        if (sd == nullptr) {
            return QUARNPKI_INVALID_ARGUMENT;
        }
        if (sd->started) {
            SetError("attributes must be set before signing starts");
            return QUARNPKI_FAILED;
        }
        switch (attribute) {
        case QUARNPKI_SIGNED_ATTACHED:
            sd->attached = value != 0;
            return QUARNPKI_OK;
        case QUARNPKI_SIGNED_ALGORITHM:
            if (value != QUARNPKI_ALG_SHA256_RSA && value != QUARNPKI_ALG_ECDSA_SHA256
                && value != QUARNPKI_ALG_SM2_SM3) {
                SetError("unknown signature algorithm");
                return QUARNPKI_INVALID_ARGUMENT;
            }
            sd->algorithm = value;
            return QUARNPKI_OK;
        default:
            SetError("unknown signed-data attribute");
            return QUARNPKI_INVALID_ARGUMENT;
        }
    });
}

int QuarnPKIMsgSignedDataSignInit(void* signedData, unsigned char** out, int* outLength)
{
    return Guarded(QUARNPKI_FAILED, [&] {
        auto* sd = LookupAs<CSignedDataHandle>(signedData, HandleKind::SignedData);
        if (sd == nullptr) {
            return QUARNPKI_INVALID_ARGUMENT;
        }
        if (!sd->signer) {
            SetError("no signer certificate");
            return QUARNPKI_FAILED;
        }
        if (sd->started) {
            SetError("signing already started");
            return QUARNPKI_FAILED;
        }
        EVP_PKEY* key = X509_get0_pubkey(sd->signer.get());
        if (sd->algorithm < 0) {
            sd->algorithm = DefaultAlgorithm(key);
        }
        if (DigestFor(sd->algorithm, key) == nullptr) {
            SetError("the signature algorithm does not fit the signer's key");
            return QUARNPKI_FAILED;
        }
        sd->started = true;
        // DER needs every length before the content: the whole message comes out of the final
        // call, and the first two pieces are empty.
        return HandOut(nullptr, 0, out, outLength);
    });
}

int QuarnPKIMsgSignedDataSignUpdate(
    void* signedData, const unsigned char* in, int inLength, unsigned char** out, int* outLength)
{
    return Guarded(QUARNPKI_FAILED, [&] {
        auto* sd = LookupAs<CSignedDataHandle>(signedData, HandleKind::SignedData);
        if (sd == nullptr || inLength < 0 || (in == nullptr && inLength > 0)) {
            return QUARNPKI_INVALID_ARGUMENT;
        }
        if (!sd->started || sd->finished) {
            SetError("signing is not under way");
            return QUARNPKI_FAILED;
        }
        if (sd->content.size() + static_cast<size_t>(inLength) > kMaxSignedContent) {
            SetError("content too large to sign");
            return QUARNPKI_FAILED;
        }
        sd->content.insert(sd->content.end(), in, in + inLength);
        return HandOut(nullptr, 0, out, outLength);
    });
}

int QuarnPKIMsgSignedDataSignFinal(void* signedData, unsigned char** out, int* outLength)
{
    return Guarded(QUARNPKI_FAILED, [&] {
        auto* sd = LookupAs<CSignedDataHandle>(signedData, HandleKind::SignedData);
        if (sd == nullptr || out == nullptr || outLength == nullptr) {
            return QUARNPKI_INVALID_ARGUMENT;
        }
        if (!sd->started || sd->finished) {
            SetError("signing is not under way");
            return QUARNPKI_FAILED;
        }
        sd->finished = true;
        std::shared_ptr<const CKeyMaterial> keypair = sd->keypair;
        if (!keypair) {
            bool privateKeyMissing = false;
            keypair = FindTokenKeypair(X509_get0_pubkey(sd->signer.get()), nullptr, &privateKeyMissing);
            if (privateKeyMissing) {
                return QUARNPKI_NO_PRIVATE_KEY;
            }
            if (!keypair) {
                SetError("the signer's private key is on no present token");
                return QUARNPKI_TOKEN_ABSENT;
            }
        }
        std::vector<unsigned char> der;
        const int rc = WithPrivateKey(*keypair, [&](EVP_PKEY* key) { return Sign(*sd, key, der); });
        return rc == QUARNPKI_OK ? HandOut(der, out, outLength) : rc;
    });
}

void QuarnPKIMsgFreeSignedData(void* signedData)
{
    Release(signedData, HandleKind::SignedData);
}

} // extern "C"
