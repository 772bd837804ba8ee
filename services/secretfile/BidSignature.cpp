#include "BidSignature.h"

#include <cstring>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>

namespace kelvane::bidx {

int CSoftwareSealSigner::Sign(const unsigned char* digest, size_t size, std::vector<unsigned char>& cmsDer)
{
    BioPtr content(BIO_new_mem_buf(digest, static_cast<int>(size)));
    if (!content || !signerCert || !signerKey) {
        return kSignFinalFailed;
    }
    const CmsPtr cms(CMS_sign(signerCert.get(), signerKey.get(), nullptr, content.get(),
        CMS_BINARY | CMS_NOCERTS | CMS_NOSMIMECAP));
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
    const CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(cmsDer.size())));
    if (!cms || p != cmsDer.data() + cmsDer.size()
        || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed
        || OBJ_obj2nid(CMS_get0_eContentType(cms.get())) != NID_pkcs7_data) {
        return kCreateVerifyHandleFailed;
    }
    Cert signer = DecodeCertificate(signerCertDer.data(), signerCertDer.size());
    X509StackPtr certs(sk_X509_new_null());
    if (!signer || !certs || sk_X509_push(certs.get(), signer.get()) <= 0) {
        return kConstructSignCertFailed;
    }
    // Certificates carried inside the signature are covered by nothing: anything but the
    // header's own certificate there would be bytes an attacker may change unnoticed.
    {
        X509StackOwningPtr carried(CMS_get1_certs(cms.get()));
        for (int i = 0; carried && i < sk_X509_num(carried.get()); ++i) {
            if (X509_cmp(sk_X509_value(carried.get(), i), signer.get()) != 0) {
                return kVerifyFailed;
            }
        }
        X509CrlStackOwningPtr crls(CMS_get1_crls(cms.get()));
        if (crls && sk_X509_CRL_num(crls.get()) > 0) {
            return kVerifyFailed;
        }
    }
    BioPtr out(BIO_new(BIO_s_mem()));
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

CFileHash::CFileHash(const EVP_MD* digest)
    : ctx(EVP_MD_CTX_new())
{
    ok = ctx && digest != nullptr && EVP_MD_get_size(digest) == static_cast<int>(kDigestSize)
        && EVP_DigestInit_ex(ctx.get(), digest, nullptr) == 1;
}

void CFileHash::Update(const unsigned char* data, size_t size)
{
    if (ok && size > 0) {
        ok = EVP_DigestUpdate(ctx.get(), data, size) == 1;
    }
}

bool CFileHash::Final(std::array<unsigned char, kDigestSize>& digest)
{
    unsigned int len = 0;
    return ok && EVP_DigestFinal_ex(ctx.get(), digest.data(), &len) == 1 && len == kDigestSize;
}

} // namespace kelvane::bidx
