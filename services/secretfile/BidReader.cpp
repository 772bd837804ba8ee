#include "BidReader.h"

#include "FdWrite.h"
#include "HashThread.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace kelvane::bidx {
namespace {

// Chunks read per system call: large reads keep the pass near the cipher's own speed, and the
// buffer stays the same size whatever the file's size.
constexpr size_t kChunksPerRead = 16;
// Blocks in flight between the reading and the hash threads of a verification.
constexpr size_t kVerifyRing = 3;

} // namespace

CBidReader::~CBidReader()
{
    if (fd >= 0) {
        close(fd);
    }
}

int CBidReader::ReadAt(uint64_t offset, unsigned char* data, size_t size) const
{
    while (size > 0) {
        const ssize_t n = pread(fd, data, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return kReadDataContentFailed;
        }
        data += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return kOk;
}

size_t CBidReader::ReadSize() const
{
    return static_cast<size_t>(
        std::max<uint64_t>(1, std::min<uint64_t>(payloadSize, kChunksPerRead * kSealedChunkSize)));
}

unsigned char* CBidReader::Scratch(size_t size)
{
    if (scratchSize < size) {
        scratch.reset();
        scratch = std::make_unique_for_overwrite<unsigned char[]>(size);
        scratchSize = size;
    }
    return scratch.get();
}

int CBidReader::Open(const std::string& path)
{
    // A FIFO, a device or a folder under a bid's name is refused at once (7), never read.
    struct stat st
    {
    };
    if (const int rc = OpenInputFile(path.c_str(), &fd, &st); rc != kOk) {
        return rc;
    }
    filePath = path;
    fileSize = static_cast<uint64_t>(st.st_size);
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    unsigned char prefix[kFixedPrefixSize];
    const size_t prefixSize = fileSize < kFixedPrefixSize ? static_cast<size_t>(fileSize) : kFixedPrefixSize;
    if (ReadAt(0, prefix, prefixSize) != kOk) {
        return kReadFileFlagFailed;
    }
    uint32_t headerSize = 0;
    if (const int rc = ParseFixedPrefix(prefix, prefixSize, headerSize); rc != kOk) {
        return rc;
    }
    if (headerSize > fileSize) {
        return kReadHeaderFailed;
    }
    headerBytes.resize(headerSize);
    if (ReadAt(0, headerBytes.data(), headerSize) != kOk) {
        return kReadHeaderFailed;
    }
    if (const int rc = ParseHeader(headerBytes.data(), headerBytes.size(), header); rc != kOk) {
        return rc;
    }
    if (fileSize < headerSize + kTrailerSize) {
        return kFileStructIncorrect;
    }
    if (ReadAt(fileSize - kTrailerSize, trailerBytes.data(), kTrailerSize) != kOk) {
        return kReadDataFailed;
    }
    return ParseTrailer(trailerBytes.data(), fileSize, headerSize, signatureSize, payloadSize);
}

int CBidReader::Verify()
{
    return Pass(nullptr, nullptr, nullptr);
}

int CBidReader::VerifyWithCode(std::optional<std::array<unsigned char, kDigestSize>>& code)
{
    code.reset();
    return Pass(nullptr, nullptr, &code);
}

int CBidReader::Decrypt(const CKey& payloadKey, IPlainSink& sink)
{
    return Pass(&payloadKey, &sink, nullptr);
}

int CBidReader::Pass(
    const CKey* payloadKey, IPlainSink* sink, std::optional<std::array<unsigned char, kDigestSize>>* code)
{
    if (fd < 0) {
        return kInvalidParam;
    }
    CFileHash hash;
    CFileHash codeHash(EVP_sm3());
    if (!hash.Ok() || (code != nullptr && !codeHash.Ok())) {
        return kOutOfMemory;
    }
    std::vector<unsigned char> signature(signatureSize);
    if (payloadKey == nullptr) {
        if (const int rc = HashFile(hash, code != nullptr ? &codeHash : nullptr, signature); rc != kOk) {
            return rc;
        }
    } else {
        hash.Update(headerBytes.data(), headerBytes.size());
        if (const int rc = DecryptPayload(*payloadKey, *sink, hash); rc != kOk) {
            return rc;
        }
        if (const int rc = ReadAt(headerBytes.size() + payloadSize, signature.data(), signature.size());
            rc != kOk) {
            return rc;
        }
    }
    // The code is had once every byte was read, so that a wrong signature still shows it.
    if (std::array<unsigned char, kDigestSize> codeDigest {}; code != nullptr && codeHash.Final(codeDigest)) {
        *code = codeDigest;
    }
    std::array<unsigned char, kDigestSize> digest {};
    if (!hash.Final(digest)) {
        return kHashVerifyFailed;
    }
    std::array<unsigned char, kDigestSize> signedDigest {};
    if (const int verified = VerifySignature(signature, header.signerCert, signedDigest); verified != kOk) {
        return verified;
    }
    return CRYPTO_memcmp(digest.data(), signedDigest.data(), kDigestSize) == 0 ? kOk : kHashVerifyFailed;
}

int CBidReader::HashFile(CFileHash& hash, CFileHash* codeHash, std::vector<unsigned char>& signature)
{
    // This thread reads; the signature's hash and the code's each run on a thread of their own.
    // The blocks are no larger than the payload, and no more than it fills: a small bid costs
    // small buffers.
    const size_t blockSize = ReadSize();
    const auto blocks = static_cast<size_t>(
        std::clamp<uint64_t>((payloadSize + blockSize - 1) / blockSize, 1, kVerifyRing));
    CHashRing ring(blocks, blockSize);
    CHashThread hasher(hash);
    std::optional<CHashThread> coder;
    if (codeHash != nullptr) {
        coder.emplace(*codeHash);
    }
    CHashThread* const code = coder ? &*coder : nullptr;
    hasher.Submit(headerBytes.data(), headerBytes.size());
    if (code != nullptr) {
        code->Submit(headerBytes.data(), headerBytes.size());
    }
    const uint64_t start = headerBytes.size();
    for (uint64_t done = 0; done < payloadSize;) {
        unsigned char* const buffer = ring.Next();
        const size_t block = static_cast<size_t>(std::min<uint64_t>(ring.BlockSize(), payloadSize - done));
        if (const int rc = ReadAt(start + done, buffer, block); rc != kOk) {
            return rc;
        }
        ring.Submit(block, { &hasher, code });
        done += block;
    }
    if (const int rc = ReadAt(start + payloadSize, signature.data(), signature.size()); rc != kOk) {
        return rc;
    }
    hasher.WaitForAll();
    if (code != nullptr) {
        code->Submit(signature.data(), signature.size());
        code->Submit(trailerBytes.data(), trailerBytes.size());
        code->WaitForAll();
    }
    return kOk;
}

int CBidReader::DecryptPayload(const CKey& payloadKey, IPlainSink& sink, CFileHash& hash)
{
    CChunkCipher cipher(false, payloadKey);
    if (!cipher.Ok()) {
        return kCreateCipherFailed;
    }
    // The hash runs on its own thread over the ciphertext while this one decrypts; each buffer of
    // the ring is read again only once the hash is done with it.
    // A bid of a few reads needs no more buffers than reads.
    constexpr uint64_t kRing = 3;
    const size_t readSize = ReadSize();
    const auto ringSize = static_cast<size_t>(std::min(kRing, (payloadSize + readSize - 1) / readSize));
    unsigned char* const ring = Scratch(ringSize * readSize + std::min(kChunkSize, readSize));
    unsigned char* const plain = ring + ringSize * readSize;
    CHashThread hasher(hash);
    const uint64_t start = headerBytes.size();
    uint64_t done = 0;
    uint64_t index = 0;
    uint64_t blocks = 0;
    while (done < payloadSize) {
        unsigned char* const buffer = ring + (blocks % ringSize) * readSize;
        if (blocks >= ringSize) {
            hasher.WaitFor(blocks - ringSize + 1);
        }
        const size_t block = static_cast<size_t>(std::min<uint64_t>(readSize, payloadSize - done));
        if (const int rc = ReadAt(start + done, buffer, block); rc != kOk) {
            return rc;
        }
        hasher.Submit(buffer, block);
        ++blocks;
        for (size_t at = 0; at < block; at += kSealedChunkSize) {
            const size_t sealed = std::min(kSealedChunkSize, block - at);
            const bool last = done + at + sealed == payloadSize;
            const unsigned char* data = buffer + at;
            const size_t plainSize = sealed - kTagSize;
            // An empty chunk may only stand alone: the writer never ends on one otherwise.
            if (plainSize == 0 && index != 0) {
                return kFileStructIncorrect;
            }
            if (!cipher.Open(index, last, data, plain, plainSize, data + plainSize)) {
                return kHashVerifyFailed;
            }
            if (const int rc = sink.Write(plain, plainSize); rc != kOk) {
                return rc;
            }
            ++index;
        }
        done += block;
    }
    hasher.WaitFor(blocks);
    return sink.Finish();
}

} // namespace kelvane::bidx
