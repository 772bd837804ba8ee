#include "BidSealer.h"

#include "AtomicFile.h"
#include "FdWrite.h"
#include "HashThread.h"
#include "OpenSslPtr.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <openssl/x509v3.h>
#include <optional>
#include <set>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvane::bidx {
namespace {

constexpr size_t kReadBlock = 1u << 20;
constexpr size_t kWriteBlock = 16 * kSealedChunkSize;
// Blocks in flight between the encryption and the hash threads: enough that neither side waits on
// the other's jitter, few enough that memory stays a few MiB whatever the file's size.
constexpr size_t kRingBlocks = 4;

// The output file under its temporary name, written block by block as the encryption fills the
// blocks of a small ring. Every byte also goes to the hash threads beside the encryption: the
// signature's (SHA-256 over header and payload) and, when asked, the verification code's (SM3 over
// every byte of the file), so that sealing costs the slowest of them rather than their sum. The
// file is removed unless committed.
class COutput
{
public:
    COutput(const std::string& target, bool withCode)
        : file(std::in_place, target, TemporaryName(target))
        , computeCode(withCode)
    {
    }

    // Into a descriptor the caller owns (a memory file): written from its current offset and
    // never published.
    COutput(int descriptor, bool withCode)
        : givenFd(descriptor)
        , computeCode(withCode)
    {
    }

    int Create()
    {
        // mkostemp makes the file private; a sealed bid is meant to be handed on.
        if (file ? file->Create(0644) != 0 : givenFd < 0) {
            return kOpenFileFailed;
        }
        if (!signatureHash.Ok() || (computeCode && !codeHash.Ok())) {
            return kCreateAlgoParamFailed;
        }
        if (computeCode) {
            codeThread.emplace(codeHash);
        }
        block = ring.Next();
        return kOk;
    }

    // The header: written first and hashed by both, kept until the hashes are done with it.
    int WriteHeader(std::vector<unsigned char> bytes)
    {
        header = std::move(bytes);
        signatureThread.Submit(header.data(), header.size());
        if (codeThread) {
            codeThread->Submit(header.data(), header.size());
        }
        return Write(header.data(), header.size());
    }

    // The block the encryption fills, BlockSize() bytes.
    unsigned char* Block() const { return block; }
    size_t BlockSize() const { return ring.BlockSize(); }

    // Writes the first `size` bytes of the block, hands them to the hashes and moves to the next.
    int WriteBlock(size_t size)
    {
        ring.Submit(size, { &signatureThread, codeThread ? &*codeThread : nullptr });
        const int rc = Write(block, size);
        block = ring.Next();
        return rc;
    }

    // The digest the bidder signs, once the payload is written.
    bool SignedDigest(std::array<unsigned char, kDigestSize>& digest)
    {
        signatureThread.WaitForAll();
        return signatureHash.Final(digest);
    }

    // Writes the signature and the trailer, finishes the code and publishes the file.
    int Commit(std::vector<unsigned char> signatureAndTrailer, CSealResult* result)
    {
        tail = std::move(signatureAndTrailer);
        if (codeThread) {
            codeThread->Submit(tail.data(), tail.size());
        }
        if (const int rc = Write(tail.data(), tail.size()); rc != kOk) {
            return rc;
        }
        std::string code;
        if (codeThread) {
            codeThread->WaitForAll();
            std::array<unsigned char, kDigestSize> digest {};
            if (!codeHash.Final(digest)) {
                return kWriteDataFailed;
            }
            static const char hex[] = "0123456789ABCDEF";
            for (const unsigned char byte : digest) {
                code.push_back(hex[byte >> 4]);
                code.push_back(hex[byte & 0xF]);
            }
        }
        if (const int error = file ? file->Publish(CAtomicFile::EPublish::kNoReplace) : 0; error != 0) {
            return error == EEXIST ? kFileExist : kWriteDataFailed;
        }
        if (result != nullptr) {
            result->fileSize = written;
            result->verificationCode = std::move(code);
        }
        return kOk;
    }

private:
    // A dot name beside the target, so that no listing takes the unfinished file for a bid.
    static std::string TemporaryName(const std::string& target)
    {
        const std::filesystem::path path(target);
        const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
        return (folder / ("." + path.filename().string() + ".XXXXXX")).string();
    }

    int Write(const unsigned char* data, size_t size)
    {
        written += size;
        return WriteAllToFd(file ? file->Fd() : givenFd, data, size);
    }

    std::optional<CAtomicFile> file;
    int givenFd = -1;
    bool computeCode = false;
    uint64_t written = 0;
    // Everything a hash thread may still be reading is declared before the threads, so that it
    // outlives them on every way out.
    CFileHash signatureHash;
    CFileHash codeHash { EVP_sm3() };
    std::vector<unsigned char> header;
    std::vector<unsigned char> tail;
    CHashRing ring { kRingBlocks, kWriteBlock };
    unsigned char* block = nullptr;
    CHashThread signatureThread { signatureHash };
    std::optional<CHashThread> codeThread;
};

// Cuts the archive stream into chunks, each sealed in place in the output's block. A full chunk is
// held back until more data arrives, because only then is it known not to be the last one.
class CChunker
{
public:
    CChunker(const CKey& payloadKey, COutput& out)
        : cipher(true, payloadKey)
        , output(out)
    {
    }
    bool Ok() const { return cipher.Ok(); }

    int Feed(const unsigned char* data, size_t size)
    {
        while (size > 0) {
            if (filled == kChunkSize) {
                if (const int rc = Emit(false); rc != kOk) {
                    return rc;
                }
            }
            const size_t take = std::min(size, kChunkSize - filled);
            std::memcpy(output.Block() + used + filled, data, take);
            filled += take;
            data += take;
            size -= take;
        }
        return kOk;
    }

    int Finish()
    {
        if (const int rc = Emit(true); rc != kOk) {
            return rc;
        }
        return used > 0 ? output.WriteBlock(used) : kOk;
    }

private:
    int Emit(bool last)
    {
        unsigned char* chunk = output.Block() + used;
        if (!cipher.Seal(index, last, chunk, filled, chunk + filled)) {
            return kCipherFinalFailed;
        }
        used += filled + kTagSize;
        ++index;
        filled = 0;
        if (output.BlockSize() - used >= kSealedChunkSize) {
            return kOk;
        }
        const size_t full = used;
        used = 0;
        return output.WriteBlock(full);
    }

    CChunkCipher cipher;
    COutput& output;
    size_t used = 0; // sealed bytes already in the block
    size_t filled = 0; // plaintext of the chunk in hand, after them
    uint64_t index = 0;
};

int PrepareOpeners(const CSealRequest& request, CBidHeader& header)
{
    if (request.threshold < 1) {
        return kNumberBelowZero;
    }
    if (request.openerCerts.empty() || request.openerCerts.size() > 255) {
        return kCertNumIncorrect;
    }
    if (static_cast<size_t>(request.threshold) > request.openerCerts.size()) {
        return kTotalLessThanMin;
    }
    std::set<std::vector<unsigned char>> seen;
    for (size_t i = 0; i < request.openerCerts.size(); ++i) {
        const std::vector<unsigned char>& encoded = request.openerCerts[i];
        const Cert cert = DecodeCertificate(encoded.data(), encoded.size());
        if (!cert) {
            return kCertFromEncodingFailed;
        }
        // A certificate restricted to signing must not receive a share.
        const uint32_t usage = X509_get_key_usage(cert.get());
        if (usage != UINT32_MAX
            && (usage & (KU_KEY_ENCIPHERMENT | KU_DATA_ENCIPHERMENT | KU_KEY_AGREEMENT)) == 0) {
            return kCertCannotEncrypt;
        }
        COpenerRecord rec;
        rec.cert = CertificateDer(cert.get());
        if (rec.cert.empty()) {
            return kCertFromEncodingFailed;
        }
        if (!seen.insert(rec.cert).second) {
            return kCertExist;
        }
        if (const int rc = WrapMethodForCertificate(rec.cert, rec.method); rc != kOk) {
            return rc;
        }
        rec.shareNumber = static_cast<uint8_t>(i + 1);
        header.openers.push_back(std::move(rec));
    }
    header.total = static_cast<int>(header.openers.size());
    header.minimum = request.threshold;
    return kOk;
}

int CheckFiles(const std::vector<CSealFile>& files, uint64_t& total)
{
    std::set<std::string> names;
    total = 0;
    for (const CSealFile& f : files) {
        if (!IsSafeEntryName(f.name)) {
            return kFileNameFormatError;
        }
        if (!names.insert(f.name).second) {
            return kFileExist;
        }
        struct stat st
        {
        };
        if (stat(f.source.c_str(), &st) != 0) {
            return errno == ENOENT ? kFileNotFound : kOpenFileFailed;
        }
        if (!S_ISREG(st.st_mode)) {
            return kOpenFileFailed;
        }
        total += static_cast<uint64_t>(st.st_size);
    }
    // A file below another entry's name could not be written on opening.
    for (const std::string& name : names) {
        for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1)) {
            if (names.count(name.substr(0, slash)) != 0) {
                return kFileExist;
            }
        }
    }
    return kOk;
}

int SealFileContent(const CSealFile& file, CChunker& chunker, std::vector<unsigned char>& block,
    uint64_t& done, uint64_t total, const CSealRequest& request)
{
    // Checked before already; a FIFO put in the file's place since must not block the run.
    int fd = -1;
    struct stat st
    {
    };
    if (const int rc = OpenInputFile(file.source.c_str(), &fd, &st); rc != kOk) {
        return rc;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    const std::vector<unsigned char> entry = EncodeEntryHeader(file.name, size);
    int rc = chunker.Feed(entry.data(), entry.size());
    uint64_t left = size;
    while (rc == kOk && left > 0) {
        const ssize_t n = read(fd, block.data(), static_cast<size_t>(std::min<uint64_t>(block.size(), left)));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            rc = kReadDataFailed; // the file shrank while it was sealed
            break;
        }
        left -= static_cast<uint64_t>(n);
        done += static_cast<uint64_t>(n);
        rc = chunker.Feed(block.data(), static_cast<size_t>(n));
        if (rc == kOk && request.progress && !request.progress(done, total)) {
            rc = kSealCancelled;
        }
    }
    // A file that grew meanwhile would be sealed cut short: refuse it.
    if (rc == kOk) {
        unsigned char probe = 0;
        if (read(fd, &probe, 1) != 0) {
            rc = kReadDataFailed;
        }
    }
    close(fd);
    return rc;
}

// makeOutput gives the output, a file or a descriptor, once the header is ready.
template <typename MakeOutput>
int Seal(const CSealRequest& request, const MakeOutput& makeOutput, CSealResult* result,
    const std::function<int(CChunker&)>& writePayload)
{
    if (request.signer == nullptr) {
        return kInvalidParam;
    }
    CBidHeader header;
    const Cert signerCert = DecodeCertificate(request.signerCert.data(), request.signerCert.size());
    if (!signerCert) {
        return kConstructSignCertFailed;
    }
    header.signerCert = CertificateDer(signerCert.get());
    header.customData = request.customData;
    if (const int rc = PrepareOpeners(request, header); rc != kOk) {
        return rc;
    }

    CKey contentKey;
    CKey payloadKey;
    if (RandomBytes(header.fileId.data(), header.fileId.size()) != kOk
        || RandomBytes(contentKey.data(), kKeySize) != kOk) {
        return kGenerateRandomFailed;
    }
    // The signer certificate and the custom data are in the header by now: the keys bind them.
    CKeyBinding binding;
    if (const int rc = MakeKeyBinding(header, binding); rc != kOk) {
        return rc;
    }
    if (const int rc = DeriveContentKeys(contentKey, header.fileId, binding, payloadKey, header.commitment);
        rc != kOk) {
        return rc;
    }
    std::vector<CKey> shares;
    if (const int rc = SplitContentKey(contentKey, header.total, header.minimum, shares); rc != kOk) {
        return rc;
    }
    for (COpenerRecord& rec : header.openers) {
        const CSharePlain plain
            = MakeSharePlain(header.fileId, rec.shareNumber, shares[rec.shareNumber - 1u]);
        if (const int rc
            = WrapShare(rec.cert, rec.method, header.fileId, rec.shareNumber, plain, rec.wrapped);
            rc != kOk) {
            return rc;
        }
    }
    std::vector<unsigned char> headerBytes;
    if (const int rc = SerializeHeader(header, headerBytes); rc != kOk) {
        return rc;
    }

    COutput out = makeOutput();
    if (const int rc = out.Create(); rc != kOk) {
        return rc;
    }
    CChunker chunker(payloadKey, out);
    if (!chunker.Ok()) {
        return kCreateCipherFailed;
    }
    if (const int rc = out.WriteHeader(std::move(headerBytes)); rc != kOk) {
        return rc;
    }
    if (const int rc = writePayload(chunker); rc != kOk) {
        return rc;
    }
    if (const int rc = chunker.Finish(); rc != kOk) {
        return rc;
    }
    std::array<unsigned char, kDigestSize> digest {};
    if (!out.SignedDigest(digest)) {
        return kSignFinalFailed;
    }
    std::vector<unsigned char> signature;
    if (const int rc = request.signer->Sign(digest.data(), digest.size(), signature); rc != kOk) {
        return rc;
    }
    if (signature.empty() || signature.size() > kMaxSignatureSize) {
        return kSignFinalFailed;
    }
    // A signature by another key than the header's certificate would only fail on opening day.
    std::array<unsigned char, kDigestSize> signedDigest {};
    if (VerifySignature(signature, header.signerCert, signedDigest) != kOk
        || CRYPTO_memcmp(signedDigest.data(), digest.data(), kDigestSize) != 0) {
        return kSignFinalFailed;
    }
    const auto signatureSize = static_cast<uint32_t>(signature.size());
    std::vector<unsigned char> tail = std::move(signature);
    PutU32(tail, signatureSize);
    tail.insert(tail.end(), kTrailerMagic.begin(), kTrailerMagic.end());
    return out.Commit(std::move(tail), result);
}

auto ToFile(const std::string& outputPath, const CSealRequest& request)
{
    return [&outputPath, &request] { return COutput(outputPath, request.computeVerificationCode); };
}

} // namespace

int SealBidFile(const CSealRequest& request, const std::string& outputPath, CSealResult* result)
{
    uint64_t total = 0;
    if (const int rc = CheckFiles(request.files, total); rc != kOk) {
        return rc;
    }
    if (outputPath.empty()) {
        return kInvalidParam;
    }
    return Seal(request, ToFile(outputPath, request), result, [&](CChunker& chunker) {
        std::vector<unsigned char> block(kReadBlock);
        uint64_t done = 0;
        for (const CSealFile& file : request.files) {
            if (const int rc = SealFileContent(file, chunker, block, done, total, request); rc != kOk) {
                return rc;
            }
        }
        const unsigned char end = kEntryEnd;
        return chunker.Feed(&end, 1);
    });
}

int SealRawPayload(
    const CSealRequest& request, const std::vector<unsigned char>& archive, const std::string& outputPath)
{
    if (outputPath.empty()) {
        return kInvalidParam;
    }
    return Seal(request, ToFile(outputPath, request), nullptr,
        [&](CChunker& chunker) { return chunker.Feed(archive.data(), archive.size()); });
}

int SealRawPayloadInto(const CSealRequest& request, const std::vector<unsigned char>& archive, int fd)
{
    return Seal(
        request, [&] { return COutput(fd, false); }, nullptr,
        [&](CChunker& chunker) { return chunker.Feed(archive.data(), archive.size()); });
}

std::vector<unsigned char> MakeRulesCustomData(const std::vector<unsigned char>& rules)
{
    std::vector<unsigned char> out = { 'R', 'U', 'L', 'F' };
    PutU32(out, static_cast<uint32_t>(rules.size()));
    out.insert(out.end(), rules.begin(), rules.end());
    return out;
}

} // namespace kelvane::bidx
