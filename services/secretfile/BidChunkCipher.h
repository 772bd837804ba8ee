// The payload's chunk cipher: each chunk of the archive stream sealed on its own with the payload
// key (BidKeySchedule.h), so that a bid file is opened in one streaming pass and a cut, reordered
// or swapped chunk fails its tag.
#pragma once

#include "BidFormat.h"
#include "BidKeySchedule.h"
#include "OpenSslPtr.h"

#include <cstddef>
#include <cstdint>

namespace kelvane::bidx {

// AES-256-GCM over one chunk: sealing in place, opening into another buffer. The nonce is the chunk index and
// the last-chunk flag, so a chunk decrypts only at its own position and only the true last chunk passes as
// last.
class CChunkCipher
{
public:
    CChunkCipher(bool encrypt, const CKey& key);
    bool Ok() const { return ctx != nullptr; }
    bool Seal(uint64_t index, bool last, unsigned char* data, size_t size, unsigned char tag[kTagSize]);
    bool Open(uint64_t index, bool last, const unsigned char* in, unsigned char* out, size_t size,
        const unsigned char tag[kTagSize]);

private:
    bool Start(uint64_t index, bool last);
    CipherCtxPtr ctx;
    bool encrypting;
};

} // namespace kelvane::bidx
