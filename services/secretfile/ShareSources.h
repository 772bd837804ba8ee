// Where an opener's share comes from: the private key on a token reached through the PKI library,
// or a private key held in software.
#pragma once

#include "BidCrypto.h"
#include "BidFormat.h"
#include "PkiPtr.h"

#include <cstddef>
#include <vector>

namespace kelvane::bidx {

// One opener's share, gathered once.
struct CContribution
{
    size_t openerIndex = 0;
    CShare share;
};

// An opener's private key on a token, through the PKI library (which logs the token in through its
// PIN prompt when the key is first used).
class CTokenShareKey final : public IShareKey
{
public:
    // Takes over a key pair handle of the PKI library.
    explicit CTokenShareKey(void* keypair);
    int OaepDecrypt(const std::vector<unsigned char>& in, std::vector<unsigned char>& out) override;
    int DeriveSecret(const std::vector<unsigned char>& peerSpkiDer, std::vector<unsigned char>& out) override;
    // The PKI library's answer to the last private-key operation (QUARNPKI_OK, QUARNPKI_PIN_INCORRECT,
    // QUARNPKI_NO_PRIVATE_KEY ...): why a share could not be unwrapped.
    int LastPkiResult() const { return lastResult; }

private:
    int Take(int rc, unsigned char* raw, int size, std::vector<unsigned char>& out);

    pki::KeypairPtr tokenKeypair;
    int lastResult = QUARNPKI_OK;
};

// The payload key from the gathered shares, once the file's threshold is reached: with more shares
// than the threshold, a share that was forged into the file must not spoil the others, so every
// subset of n shares is tried until one gives the committed key. False when none does.
bool RecoverPayloadKey(
    const CBidHeader& header, const std::vector<CContribution>& contributions, CKey& payloadKey);

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
