// Where an opener's share comes from: the private key on a token reached through the PKI library,
// or a private key held in software.
#pragma once

#include "BidCrypto.h"
#include "BidFormat.h"

#include <cstddef>
#include <vector>

namespace kelvane::bidx {

// One opener's share, gathered once.
struct CContribution
{
    size_t openerIndex = 0;
    CShare share;
};

// Takes the share of every opener whose private key is on a token present now and who has not
// contributed yet.
int GatherFromTokens(const CBidHeader& header, std::vector<CContribution>& contributions);

// Takes the share of the opener whose certificate matches the given private key.
int GatherFromSoftwareKey(const CBidHeader& header, const unsigned char* key, size_t size,
    std::vector<CContribution>& contributions);

// Shared by both: unwraps opener i's share with the given key unless it was gathered already.
int Contribute(
    const CBidHeader& header, size_t openerIndex, IShareKey& key, std::vector<CContribution>& contributions);

} // namespace kelvane::bidx
