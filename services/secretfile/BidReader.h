// Reading side of a sealed bid file: the structure checks at open, the one-pass verification, and
// the streaming decryption of the payload into a sink.
#pragma once

#include "BidCrypto.h"
#include "BidFormat.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kelvane::bidx {

// Receives the payload's plaintext in order, chunk by chunk.
class IPlainSink
{
public:
    virtual ~IPlainSink() = default;
    virtual int Write(const unsigned char* data, size_t size) = 0;
    // The last chunk has been written; the plaintext must be complete here.
    virtual int Finish() = 0;
};

class CBidReader
{
public:
    CBidReader() = default;
    CBidReader(const CBidReader&) = delete;
    CBidReader& operator=(const CBidReader&) = delete;
    ~CBidReader();

    // Opens the file and checks the header and the trailer. The file stays open, so later passes
    // read the very file that was checked even if its path is moved or replaced meanwhile.
    int Open(const std::string& path);
    const CBidHeader& Header() const { return header; }
    const std::string& Path() const { return filePath; }

    // Hashes header and payload and checks the bidder's signature over the digest.
    int Verify();
    // As Verify, and in the same read, on a thread of its own, the SM3 digest of every byte read:
    // header, payload, signature and trailer, the very bytes the signature was checked over (the
    // file's verification code). The code is set whenever the whole file was read and hashed,
    // whatever the signature check gave; a file that changes meanwhile cannot give another code.
    int VerifyWithCode(std::optional<std::array<unsigned char, kDigestSize>>& code);

    // Decrypts every chunk into the sink, then checks the signature as Verify does. A failure at
    // any point is returned at once; the sink must then discard what it was given.
    int Decrypt(const CKey& payloadKey, IPlainSink& sink);

    uint64_t PayloadSize() const { return payloadSize; }

private:
    int Pass(const CKey* payloadKey, IPlainSink* sink,
        std::optional<std::array<unsigned char, kDigestSize>>* code);
    int HashFile(CFileHash& hash, CFileHash* codeHash, std::vector<unsigned char>& signature);
    int DecryptPayload(const CKey& payloadKey, IPlainSink& sink, CFileHash& hash);
    int ReadAt(uint64_t offset, unsigned char* data, size_t size) const;

    int fd = -1;
    std::string filePath;
    std::vector<unsigned char> headerBytes;
    std::array<unsigned char, kTrailerSize> trailerBytes {};
    CBidHeader header;
    uint64_t fileSize = 0;
    uint64_t payloadSize = 0;
    uint32_t signatureSize = 0;

    // Bytes per read of the payload: a few chunks, or the whole payload when it is smaller.
    size_t ReadSize() const;
    // At least size bytes of room for a pass, kept for the next pass and never cleared: every
    // byte is read or decrypted into before it is used.
    unsigned char* Scratch(size_t size);

    std::unique_ptr<unsigned char[]> scratch;
    size_t scratchSize = 0;
};

} // namespace kelvane::bidx
