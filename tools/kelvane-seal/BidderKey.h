// The bidder's private key from a file, unlocked with its passphrase when it has one, and held to
// the bidder's certificate before anything is sealed: a key that does not belong to the
// certificate would otherwise be noticed only when the signature is made, after the whole bid.
#pragma once

#include "OpenSslPtr.h"

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <string>
#include <vector>

namespace kelvane::seal {

struct CBidderKeyResult
{
    PkeyPtr key;
    std::string error; // why there is no key
};

// Reads a PEM or DER private key (PKCS#8, encrypted or not, or a traditional PEM key). The
// passphrase, when the key needs one, is read from passphraseFile when given (its first line),
// else asked once on the terminal (/dev/tty, else standard input), not echoed.
CBidderKeyResult LoadBidderKey(const std::string& keyFile, const std::string& passphraseFile);

// Whether key is the private key of the certificate's public key.
bool KeyBelongsTo(const EVP_PKEY* key, const X509* certificate);

} // namespace kelvane::seal
