// Opener shares from tokens, reached only through the PKI library: it owns the PKCS#11 context,
// the logged-in tokens and the PIN prompt.
#include "PkiPtr.h"
#include "ShareSources.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

namespace kelvane::bidx {
namespace {

// The flag words the workstation passes when it looks for an opener's key.
constexpr unsigned kOpenerFlags = 0x40000000;
constexpr unsigned kOpenerUsage = 0x10000001;

// The openers' certificates are the same in every bid of a tender. One certificate handle each is
// kept for the process and remembers the key pair found for it, so that the next bid asks only
// whether that key's token is still present instead of listing every token again; a key whose
// token went away is looked for afresh.
class COpenerKeys
{
public:
    static COpenerKeys& Instance()
    {
        // Never destroyed: the handles belong to the PKI library, which may be gone at exit.
        static COpenerKeys* keys = new COpenerKeys;
        return *keys;
    }

    // A new key pair handle for the certificate's key on a present token, or null.
    void* Find(const std::vector<unsigned char>& der)
    {
        const std::lock_guard lock(mutex);
        auto it = certificates.find(der);
        if (it == certificates.end()) {
            // Bounded: a workstation opens the bids of a few tenders per run.
            if (certificates.size() >= kMaxKept) {
                certificates.clear();
            }
            pki::CertPtr cert(QuarnPKICertNewCert(der.data(), static_cast<int>(der.size())));
            if (!cert) {
                return nullptr;
            }
            it = certificates.emplace(der, std::move(cert)).first;
        }
        // Finding the key matches public objects only; the PIN is asked when the share is opened.
        void* keypair = QuarnPKICertGetCertKeyPair(it->second.get(), kOpenerFlags, kOpenerUsage, nullptr);
        if (keypair != nullptr) {
            QuarnPKICertSetCertKeyPair(it->second.get(), keypair);
        }
        return keypair;
    }

private:
    static constexpr size_t kMaxKept = 64;

    std::mutex mutex;
    std::map<std::vector<unsigned char>, pki::CertPtr> certificates;
};

} // namespace

CTokenShareKey::CTokenShareKey(void* keypair)
    : tokenKeypair(keypair)
{
}

int CTokenShareKey::OaepDecrypt(const std::vector<unsigned char>& in, std::vector<unsigned char>& out)
{
    unsigned char* raw = nullptr;
    int size = 0;
    const int rc = QuarnPKICryptoKeypairDecrypt(
        tokenKeypair.get(), in.data(), static_cast<int>(in.size()), &raw, &size);
    return Take(rc, raw, size, out);
}

int CTokenShareKey::DeriveSecret(
    const std::vector<unsigned char>& peerSpkiDer, std::vector<unsigned char>& out)
{
    unsigned char* raw = nullptr;
    int size = 0;
    const int rc = QuarnPKICryptoKeypairDeriveSecret(
        tokenKeypair.get(), peerSpkiDer.data(), static_cast<int>(peerSpkiDer.size()), &raw, &size);
    return Take(rc, raw, size, out);
}

int CTokenShareKey::Take(int rc, unsigned char* raw, int size, std::vector<unsigned char>& out)
{
    // The library wipes its buffer when it is freed; the copy is wiped by the caller.
    const pki::BytesPtr owned(raw);
    lastResult = rc;
    if (rc != QUARNPKI_OK || raw == nullptr || size < 0) {
        return kPrivateKeyDecryptFailed;
    }
    out.assign(raw, raw + size);
    return kOk;
}

int GatherFromTokens(const CBidHeader& header, std::vector<CContribution>& contributions)
{
    int firstError = kOk;
    for (size_t i = 0; i < header.openers.size(); ++i) {
        const bool known = std::any_of(contributions.begin(), contributions.end(),
            [&](const CContribution& c) { return c.openerIndex == i; });
        if (known) {
            continue;
        }
        void* keypair = COpenerKeys::Instance().Find(header.openers[i].cert);
        if (keypair == nullptr) {
            continue;
        }
        CTokenShareKey key(keypair);
        if (const int rc = Contribute(header, i, key, contributions); rc != kOk && firstError == kOk) {
            firstError = rc;
        }
    }
    if (firstError != kOk) {
        return firstError;
    }
    return contributions.empty() ? kGetKeypairFailed : kOk;
}

} // namespace kelvane::bidx
