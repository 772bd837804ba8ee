#include "PracticeBid.h"

#include "BidReader.h"
#include "BidSealer.h"

#include <algorithm>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/x509.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace kelvane::bidx {
namespace {

constexpr char kEntryName[] = "practice.bin";

// The signer of a practice bid: a P-256 key made for it and a certificate it signs itself, valid
// for a day. The drill never checks the signer, but the format wants a signature.
int MakeThrowawaySigner(PKey& key, Cert& cert)
{
    key.reset(EVP_EC_gen("P-256"));
    cert.reset(X509_new());
    if (!key || !cert) {
        return kGenerateRandomFailed;
    }
    X509_NAME* name = X509_get_subject_name(cert.get());
    const bool made = X509_set_version(cert.get(), 2) == 1
        && ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1) == 1
        && X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) != nullptr
        && X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400) != nullptr
        && X509_NAME_add_entry_by_txt(
               name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("practice bid"), -1, -1, 0)
            == 1
        && X509_set_issuer_name(cert.get(), name) == 1 && X509_set_pubkey(cert.get(), key.get()) == 1
        && X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
    return made ? kOk : kCreateSignHandleFailed;
}

// Keeps the plaintext in memory.
class CMemorySink final : public IPlainSink
{
public:
    explicit CMemorySink(std::vector<unsigned char>& into)
        : bytes(into)
    {
    }
    int Write(const unsigned char* data, size_t size) override
    {
        bytes.insert(bytes.end(), data, data + size);
        return kOk;
    }
    int Finish() override { return kOk; }

private:
    std::vector<unsigned char>& bytes;
};

} // namespace

CPracticeBid::~CPracticeBid()
{
    if (fd >= 0) {
        close(fd);
    }
}

int CPracticeBid::Seal(const std::vector<std::vector<unsigned char>>& openerCerts, int threshold,
    const std::vector<unsigned char>& payload)
{
    if (fd >= 0) {
        return kInvalidParam;
    }
    PKey key;
    Cert cert;
    if (const int rc = MakeThrowawaySigner(key, cert); rc != kOk) {
        return rc;
    }
    CSealRequest request;
    request.signerCert = CertificateDer(cert.get());
    CSoftwareSealSigner signer(std::move(cert), std::move(key));
    request.signer = &signer;
    request.threshold = threshold;
    request.openerCerts = openerCerts;
    request.computeVerificationCode = false;

    std::vector<unsigned char> archive = EncodeEntryHeader(kEntryName, payload.size());
    archive.insert(archive.end(), payload.begin(), payload.end());
    archive.push_back(kEntryEnd);

    fd = memfd_create("kelvane-practice-bid", MFD_CLOEXEC);
    if (fd < 0) {
        return kOpenFileFailed;
    }
    if (const int rc = SealRawPayloadInto(request, archive, fd); rc != kOk) {
        return rc;
    }
    CBidReader reader;
    if (const int rc = reader.Open("/proc/self/fd/" + std::to_string(fd)); rc != kOk) {
        return rc;
    }
    header = reader.Header();
    return kOk;
}

int CPracticeBid::Unwrap(size_t openerIndex, IShareKey& key)
{
    if (fd < 0 || openerIndex >= header.openers.size()) {
        return kInvalidParam;
    }
    return Contribute(header, openerIndex, key, contributions);
}

int CPracticeBid::Open(const std::vector<size_t>& openerIndexes, std::vector<unsigned char>& payload)
{
    payload.clear();
    if (fd < 0) {
        return kInvalidParam;
    }
    std::vector<CContribution> taken;
    for (const CContribution& contribution : contributions) {
        if (std::find(openerIndexes.begin(), openerIndexes.end(), contribution.openerIndex)
            != openerIndexes.end()) {
            taken.push_back(contribution);
        }
    }
    if (taken.size() < static_cast<size_t>(header.minimum)) {
        return kDecryptConditionNotEnough;
    }
    CKey payloadKey;
    if (!RecoverPayloadKey(header, taken, payloadKey)) {
        return kShareComposeFailed;
    }
    CBidReader reader;
    if (const int rc = reader.Open("/proc/self/fd/" + std::to_string(fd)); rc != kOk) {
        return rc;
    }
    std::vector<unsigned char> archive;
    CMemorySink sink(archive);
    if (const int rc = reader.Decrypt(payloadKey, sink); rc != kOk) {
        return rc;
    }
    // The one entry the drill sealed, then the end mark.
    const size_t entrySize = EncodeEntryHeader(kEntryName, 0).size();
    if (archive.size() < entrySize + 1) {
        return kFileStructIncorrect;
    }
    const std::vector<unsigned char> entry = EncodeEntryHeader(kEntryName, archive.size() - entrySize - 1);
    if (!std::equal(entry.begin(), entry.end(), archive.begin()) || archive.back() != kEntryEnd) {
        return kFileStructIncorrect;
    }
    payload.assign(archive.begin() + static_cast<std::ptrdiff_t>(entry.size()), archive.end() - 1);
    OPENSSL_cleanse(archive.data(), archive.size());
    return kOk;
}

} // namespace kelvane::bidx
