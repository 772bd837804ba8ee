// Opener shares from tokens, reached only through the PKI library: it owns the PKCS#11 context,
// the logged-in tokens and the PIN prompt.
#include "PkiPtr.h"
#include "ShareSources.h"

#include <algorithm>
#include <memory>

namespace kelvane::bidx {
namespace {

// The flag words the workstation passes when it looks for an opener's key.
constexpr unsigned kOpenerFlags = 0x40000000;
constexpr unsigned kOpenerUsage = 0x10000001;

class CTokenShareKey final : public IShareKey
{
public:
    explicit CTokenShareKey(void* keypair)
        : tokenKeypair(keypair)
    {
    }

    int OaepDecrypt(const std::vector<unsigned char>& in, std::vector<unsigned char>& out) override
    {
        unsigned char* raw = nullptr;
        int size = 0;
        const int rc = QuarnPKICryptoKeypairDecrypt(
            tokenKeypair.get(), in.data(), static_cast<int>(in.size()), &raw, &size);
        return Take(rc, raw, size, out);
    }

    int DeriveSecret(const std::vector<unsigned char>& peerSpkiDer, std::vector<unsigned char>& out) override
    {
        unsigned char* raw = nullptr;
        int size = 0;
        const int rc = QuarnPKICryptoKeypairDeriveSecret(
            tokenKeypair.get(), peerSpkiDer.data(), static_cast<int>(peerSpkiDer.size()), &raw, &size);
        return Take(rc, raw, size, out);
    }

private:
    // The library wipes its buffer when it is freed; the copy is wiped by the caller.
    static int Take(int rc, unsigned char* raw, int size, std::vector<unsigned char>& out)
    {
        const pki::BytesPtr owned(raw);
        if (rc != QUARNPKI_OK || raw == nullptr || size < 0) {
            return kPrivateKeyDecryptFailed;
        }
        out.assign(raw, raw + size);
        return kOk;
    }

    pki::KeypairPtr tokenKeypair;
};

} // namespace

int GatherFromTokens(const CBidHeader& header, std::vector<CContribution>& contributions)
{
    int firstError = kOk;
    for (size_t i = 0; i < header.openers.size(); ++i) {
        const bool known = std::any_of(contributions.begin(), contributions.end(),
            [&](const CContribution& c) { return c.openerIndex == i; });
        if (known) {
            continue;
        }
        const std::vector<unsigned char>& der = header.openers[i].cert;
        const pki::CertPtr cert(QuarnPKICertNewCert(der.data(), static_cast<int>(der.size())));
        if (!cert) {
            continue;
        }
        // Finding the key matches public objects only; the PIN is asked when the share is opened.
        void* keypair = QuarnPKICertGetCertKeyPair(cert.get(), kOpenerFlags, kOpenerUsage, nullptr);
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
