#include "ShareSources.h"

#include <algorithm>

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

} // namespace kelvane::bidx
