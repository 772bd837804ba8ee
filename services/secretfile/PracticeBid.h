// A practice bid for the openers' drill: sealed as every bid is, to the tender's openers with its
// threshold, but into a memory file that never reaches the disk, signed by a throwaway key that
// nobody trusts, and opened again in memory with the shares the openers' tokens unwrap.
#pragma once

#include "ShareSources.h"

#include <cstddef>
#include <vector>

namespace kelvane::bidx {

class CPracticeBid
{
public:
    CPracticeBid() = default;
    // Closes the memory file: nothing of the bid is left.
    ~CPracticeBid();
    CPracticeBid(const CPracticeBid&) = delete;
    CPracticeBid& operator=(const CPracticeBid&) = delete;

    // Seals payload to the openers' certificates (DER, PEM or Base64 text) with the threshold and
    // reads the bid's header back: kOk or the sealer's or reader's code.
    int Seal(const std::vector<std::vector<unsigned char>>& openerCerts, int threshold,
        const std::vector<unsigned char>& payload);
    // After Seal: the header as the opening reads it (the openers in the certificates' order).
    const CBidHeader& Header() const { return header; }

    // Unwraps the share of the opener at openerIndex with key: kOk, or the share's code.
    int Unwrap(size_t openerIndex, IShareKey& key);
    size_t SharesTaken() const { return contributions.size(); }

    // Recovers the payload key from the shares taken of the openers named (their indexes) and
    // decrypts the payload in memory: kOk with payload, kDecryptConditionNotEnough below the
    // threshold, kShareComposeFailed when the shares do not give the sealed key, or the reader's
    // code.
    int Open(const std::vector<size_t>& openerIndexes, std::vector<unsigned char>& payload);

private:
    int fd = -1;
    CBidHeader header;
    std::vector<CContribution> contributions;
};

} // namespace kelvane::bidx
