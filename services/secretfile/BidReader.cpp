#include "BidReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace kelvane::bidx {
namespace {

// Chunks read per system call: large reads keep the pass near the cipher's own speed, and the
// buffer stays the same size whatever the file's size.
constexpr size_t kChunksPerRead = 16;

}  // namespace

CBidReader::~CBidReader()
{
    if (fd_ >= 0) {
        close(fd_);
    }
}

int CBidReader::ReadAt(uint64_t offset, unsigned char* data, size_t size) const
{
    while (size > 0) {
        const ssize_t n = pread(fd_, data, size, static_cast<off_t>(offset));
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

int CBidReader::Open(const std::string& path)
{
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        return errno == ENOENT ? kFileNotFound : kOpenFileFailed;
    }
    path_ = path;
    struct stat st {};
    if (fstat(fd_, &st) != 0) {
        return kReadFileLenFailed;
    }
    if (!S_ISREG(st.st_mode)) {
        return kOpenFileFailed;
    }
    fileSize_ = static_cast<uint64_t>(st.st_size);
    posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);

    unsigned char prefix[kFixedPrefixSize];
    const size_t prefixSize = fileSize_ < kFixedPrefixSize ? static_cast<size_t>(fileSize_) : kFixedPrefixSize;
    if (ReadAt(0, prefix, prefixSize) != kOk) {
        return kReadFileFlagFailed;
    }
    uint32_t headerSize = 0;
    if (const int rc = ParseFixedPrefix(prefix, prefixSize, headerSize); rc != kOk) {
        return rc;
    }
    if (headerSize > fileSize_) {
        return kReadHeaderFailed;
    }
    headerBytes_.resize(headerSize);
    if (ReadAt(0, headerBytes_.data(), headerSize) != kOk) {
        return kReadHeaderFailed;
    }
    if (const int rc = ParseHeader(headerBytes_.data(), headerBytes_.size(), header_); rc != kOk) {
        return rc;
    }
    if (fileSize_ < headerSize + kTrailerSize) {
        return kFileStructIncorrect;
    }
    unsigned char trailer[kTrailerSize];
    if (ReadAt(fileSize_ - kTrailerSize, trailer, kTrailerSize) != kOk) {
        return kReadDataFailed;
    }
    return ParseTrailer(trailer, fileSize_, headerSize, signatureSize_, payloadSize_);
}

int CBidReader::Verify()
{
    return Pass(nullptr, nullptr);
}

int CBidReader::Decrypt(const CKey& payloadKey, IPlainSink& sink)
{
    return Pass(&payloadKey, &sink);
}

int CBidReader::Pass(const CKey* payloadKey, IPlainSink* sink)
{
    if (fd_ < 0) {
        return kInvalidParam;
    }
    CFileHash hash;
    if (!hash.Ok()) {
        return kOutOfMemory;
    }
    hash.Update(headerBytes_.data(), headerBytes_.size());

    std::unique_ptr<CChunkCipher> cipher;
    if (payloadKey != nullptr) {
        cipher = std::make_unique<CChunkCipher>(false, *payloadKey);
        if (!cipher->Ok()) {
            return kCreateCipherFailed;
        }
    }
    std::vector<unsigned char> buffer(kChunksPerRead * kSealedChunkSize);
    const uint64_t start = headerBytes_.size();
    uint64_t done = 0;
    uint64_t index = 0;
    while (done < payloadSize_) {
        const size_t block = static_cast<size_t>(std::min<uint64_t>(buffer.size(), payloadSize_ - done));
        if (const int rc = ReadAt(start + done, buffer.data(), block); rc != kOk) {
            return rc;
        }
        if (!cipher) {
            hash.Update(buffer.data(), block);
        } else {
            // Hash and decrypt chunk by chunk, while the chunk is still in the cache.
            for (size_t at = 0; at < block; at += kSealedChunkSize) {
                const size_t sealed = std::min(kSealedChunkSize, block - at);
                const bool last = done + at + sealed == payloadSize_;
                unsigned char* data = buffer.data() + at;
                hash.Update(data, sealed);
                const size_t plainSize = sealed - kTagSize;
                // An empty chunk may only stand alone: the writer never ends on one otherwise.
                if (plainSize == 0 && index != 0) {
                    return kFileStructIncorrect;
                }
                if (!cipher->Open(index, last, data, plainSize, data + plainSize)) {
                    return kHashVerifyFailed;
                }
                if (const int rc = sink->Write(data, plainSize); rc != kOk) {
                    return rc;
                }
                ++index;
            }
        }
        done += block;
    }
    if (sink != nullptr) {
        if (const int rc = sink->Finish(); rc != kOk) {
            return rc;
        }
    }
    std::array<unsigned char, kDigestSize> digest{};
    if (!hash.Final(digest)) {
        return kHashVerifyFailed;
    }
    std::vector<unsigned char> signature(signatureSize_);
    if (const int rc = ReadAt(start + payloadSize_, signature.data(), signature.size()); rc != kOk) {
        return rc;
    }
    std::array<unsigned char, kDigestSize> signedDigest{};
    if (const int rc = VerifySignature(signature, header_.signerCert, signedDigest); rc != kOk) {
        return rc;
    }
    return CRYPTO_memcmp(digest.data(), signedDigest.data(), kDigestSize) == 0 ? kOk : kHashVerifyFailed;
}

}  // namespace kelvane::bidx
