#include "PkiSealSigner.h"

#include "PkiPtr.h"

namespace kelvane::bidx {
namespace {

// The PKI library's identifiers: key types, curves, signature algorithms and the search flags of
// a signing key.
constexpr int kAttrKeyType = 4;
constexpr int kAttrCurve = 43;
constexpr int kKeyRsa = 1;
constexpr int kKeyEc = 4;
constexpr int kCurveSm2 = 7;
constexpr int kAlgRsaSha256 = 2;
constexpr int kAlgSm2Sm3 = 25;
constexpr int kAlgEcdsaSha256 = 0;
constexpr int kSignedAttached = 2;
constexpr int kSignedAlgorithm = 3;
constexpr unsigned kSignerFlags = 0x10000000;
constexpr unsigned kSignerUsage = 2;

// Appends one piece of the encoding and frees the library's buffer.
bool Append(int rc, unsigned char* raw, int size, std::vector<unsigned char>& out)
{
    const pki::BytesPtr owned(raw);
    if (rc != QUARNPKI_OK || size < 0 || (size > 0 && raw == nullptr)) {
        return false;
    }
    out.insert(out.end(), raw, raw + size);
    return true;
}

} // namespace

CPkiSealSigner::CPkiSealSigner(const std::vector<unsigned char>& certificate)
    : signerCert(QuarnPKICertNewCert(certificate.data(), static_cast<int>(certificate.size())))
{
    if (!signerCert) {
        return;
    }
    const pki::KeypairPtr keypair(
        QuarnPKICertGetCertKeyPair(signerCert.get(), kSignerFlags, kSignerUsage, nullptr));
    if (!keypair || QuarnPKICertSetCertKeyPair(signerCert.get(), keypair.get()) != QUARNPKI_OK) {
        return;
    }
    int type = 0;
    int curve = 0;
    if (QuarnPKICertGetCertIntegerAttribute(signerCert.get(), kAttrKeyType, &type) != QUARNPKI_OK) {
        return;
    }
    if (type == kKeyRsa) {
        algorithm = kAlgRsaSha256;
    } else if (type == kKeyEc
        && QuarnPKICertGetCertIntegerAttribute(signerCert.get(), kAttrCurve, &curve) == QUARNPKI_OK) {
        algorithm = curve == kCurveSm2 ? kAlgSm2Sm3 : kAlgEcdsaSha256;
    }
}

int CPkiSealSigner::Sign(const unsigned char* digest, size_t size, std::vector<unsigned char>& cmsDer)
{
    if (!Ok()) {
        return kGetKeypairFailed;
    }
    const pki::SignedDataPtr signedData(QuarnPKIMsgNewSignedData(1));
    if (!signedData || QuarnPKIMsgSignedDataSetSignCert(signedData.get(), signerCert.get(), 0) != QUARNPKI_OK
        || QuarnPKIMsgSignedDataSetIntegerAttribute(signedData.get(), kSignedAttached, 0, 1) != QUARNPKI_OK
        || QuarnPKIMsgSignedDataSetIntegerAttribute(signedData.get(), kSignedAlgorithm, 0, algorithm)
            != QUARNPKI_OK) {
        return kCreateSignHandleFailed;
    }
    cmsDer.clear();
    unsigned char* piece = nullptr;
    int length = 0;
    int rc = QuarnPKIMsgSignedDataSignInit(signedData.get(), &piece, &length);
    if (!Append(rc, piece, length, cmsDer)) {
        return kCreateSignHandleFailed;
    }
    rc = QuarnPKIMsgSignedDataSignUpdate(signedData.get(), digest, static_cast<int>(size), &piece, &length);
    if (!Append(rc, piece, length, cmsDer)) {
        return kSignUpdateFailed;
    }
    rc = QuarnPKIMsgSignedDataSignFinal(signedData.get(), &piece, &length);
    return Append(rc, piece, length, cmsDer) ? kOk : kSignFinalFailed;
}

} // namespace kelvane::bidx
