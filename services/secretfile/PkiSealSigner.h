// The bidder's signature made through the PKI library, with the private key of the bidder's
// certificate on a token (the PIN is asked when the signature is made).
#pragma once

#include "BidCrypto.h"
#include "PkiPtr.h"

#include <memory>
#include <vector>

namespace kelvane::bidx {

class CPkiSealSigner final : public ISealSigner
{
public:
    // certificate: DER, PEM or Base64 text. Ok() is false when no present token holds its key.
    explicit CPkiSealSigner(const std::vector<unsigned char>& certificate);
    bool Ok() const { return signerCert != nullptr && algorithm >= 0; }
    int Sign(const unsigned char* digest, size_t size, std::vector<unsigned char>& cmsDer) override;

private:
    pki::CertPtr signerCert;
    int algorithm = -1;
};

} // namespace kelvane::bidx
