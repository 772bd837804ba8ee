#include "ShareSources.h"

#include <algorithm>
#include <openssl/crypto.h>

namespace kelvane::bidx {

int Contribute(
    const CBidHeader& header, size_t openerIndex, IShareKey& key, std::vector<CContribution>& contributions)
{
    const bool known = std::any_of(contributions.begin(), contributions.end(),
        [&](const CContribution& c) { return c.openerIndex == openerIndex; });
    if (known) {
        return kOk;
    }
    CContribution contribution;
    contribution.openerIndex = openerIndex;
    if (const int rc = UnwrapShare(key, header.openers[openerIndex], header.fileId, contribution.share);
        rc != kOk) {
        return rc;
    }
    contributions.push_back(contribution);
    return kOk;
}

int GatherFromSoftwareKey(const CBidHeader& header, const unsigned char* key, size_t size,
    std::vector<CContribution>& contributions)
{
    PKey pkey = DecodePrivateKey(key, size);
    if (!pkey) {
        return kInvalidParam;
    }
    CSoftwareShareKey shareKey(std::move(pkey));
    for (size_t i = 0; i < header.openers.size(); ++i) {
        if (shareKey.MatchesCertificate(header.openers[i].cert)) {
            return Contribute(header, i, shareKey, contributions);
        }
    }
    return kGetKeypairFailed;
}

bool RecoverPayloadKey(
    const CBidHeader& header, const std::vector<CContribution>& contributions, CKey& payloadKey)
{
    // Hashed once: the custom data may run to megabytes and the loop to thousands of subsets.
    CKeyBinding binding;
    if (MakeKeyBinding(header, binding) != kOk) {
        return false;
    }
    const size_t n = static_cast<size_t>(header.minimum);
    const size_t count = contributions.size();
    std::vector<size_t> pick(n);
    for (size_t i = 0; i < n; ++i) {
        pick[i] = i;
    }
    for (int attempts = 0; attempts < 10000; ++attempts) {
        std::vector<CShare> shares;
        for (const size_t i : pick) {
            shares.push_back(contributions[i].share);
        }
        CKey contentKey;
        std::array<unsigned char, kKeySize> commitment {};
        if (CombineShares(shares, contentKey) == kOk
            && DeriveContentKeys(contentKey, header.fileId, binding, payloadKey, commitment) == kOk
            && CRYPTO_memcmp(commitment.data(), header.commitment.data(), kKeySize) == 0) {
            return true;
        }
        // Next combination in lexicographic order.
        size_t i = n;
        while (i > 0 && pick[i - 1] == count - n + (i - 1)) {
            --i;
        }
        if (i == 0) {
            break;
        }
        ++pick[i - 1];
        for (size_t j = i; j < n; ++j) {
            pick[j] = pick[j - 1] + 1;
        }
    }
    OPENSSL_cleanse(payloadKey.data(), kKeySize);
    return false;
}

} // namespace kelvane::bidx
