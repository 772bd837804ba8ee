#include "BidSealer.h"

#include "AtomicFile.h"
#include "FdWrite.h"
#include "OpenSslPtr.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <openssl/x509v3.h>
#include <set>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvane::bidx {
namespace {

constexpr size_t kReadBlock = 1u << 20;
constexpr size_t kWriteBlock = 16 * kSealedChunkSize;

// The output file under its temporary name: buffered writes, the verification code over every
// byte, and removal unless committed.
class COutput
{
public:
    explicit COutput(const std::string& target)
        : file(target, TemporaryName(target))
    {
    }

    int Create(bool withCode)
    {
        // mkostemp makes the file private; a sealed bid is meant to be handed on.
        if (file.Create(0644) != 0) {
            return kOpenFileFailed;
        }
        computeCode = withCode;
        if (computeCode && (!sm3 || EVP_DigestInit_ex(sm3.get(), EVP_sm3(), nullptr) != 1)) {
            return kCreateAlgoParamFailed;
        }
        buffer.reserve(kWriteBlock);
        return kOk;
    }

    int Write(const unsigned char* data, size_t size)
    {
        if (computeCode && EVP_DigestUpdate(sm3.get(), data, size) != 1) {
            return kWriteDataFailed;
        }
        written += size;
        if (buffer.size() + size > kWriteBlock) {
            if (const int rc = Flush(); rc != kOk) {
                return rc;
            }
        }
        if (size >= kWriteBlock) {
            return WriteAllToFd(file.Fd(), data, size);
        }
        buffer.insert(buffer.end(), data, data + size);
        return kOk;
    }

    int Commit(CSealResult* result)
    {
        if (const int rc = Flush(); rc != kOk) {
            return rc;
        }
        if (const int error = file.Publish(CAtomicFile::EPublish::kNoReplace); error != 0) {
            return error == EEXIST ? kFileExist : kWriteDataFailed;
        }
        if (result != nullptr) {
            result->fileSize = written;
            result->verificationCode.clear();
            if (computeCode) {
                unsigned char digest[EVP_MAX_MD_SIZE];
                unsigned int len = 0;
                if (EVP_DigestFinal_ex(sm3.get(), digest, &len) != 1) {
                    return kWriteDataFailed;
                }
                static const char hex[] = "0123456789ABCDEF";
                for (unsigned int i = 0; i < len; ++i) {
                    result->verificationCode.push_back(hex[digest[i] >> 4]);
                    result->verificationCode.push_back(hex[digest[i] & 0xF]);
                }
            }
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

    int Flush()
    {
        const int rc = WriteAllToFd(file.Fd(), buffer.data(), buffer.size());
        buffer.clear();
        return rc;
    }

    CAtomicFile file;
    bool computeCode = false;
    MdCtxPtr sm3 { EVP_MD_CTX_new() };
    std::vector<unsigned char> buffer;
    uint64_t written = 0;
};

// Cuts the archive stream into chunks. A full chunk is held back until more data arrives, because
// only then is it known not to be the last one.
class CChunker
{
public:
    CChunker(const CKey& payloadKey, COutput& out, CFileHash& hash)
        : cipher(true, payloadKey)
        , output(out)
        , fileHash(hash)
    {
        chunk.resize(kSealedChunkSize);
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
            std::memcpy(chunk.data() + filled, data, take);
            filled += take;
            data += take;
            size -= take;
        }
        return kOk;
    }

    int Finish() { return Emit(true); }

private:
    int Emit(bool last)
    {
        if (!cipher.Seal(index, last, chunk.data(), filled, chunk.data() + filled)) {
            return kCipherFinalFailed;
        }
        const size_t sealed = filled + kTagSize;
        fileHash.Update(chunk.data(), sealed);
        ++index;
        filled = 0;
        return output.Write(chunk.data(), sealed);
    }

    CChunkCipher cipher;
    COutput& output;
    CFileHash& fileHash;
    std::vector<unsigned char> chunk;
    size_t filled = 0;
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

int Seal(const CSealRequest& request, const std::string& outputPath, CSealResult* result,
    const std::function<int(CChunker&)>& writePayload)
{
    if (request.signer == nullptr || outputPath.empty()) {
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

    COutput out(outputPath);
    if (const int rc = out.Create(request.computeVerificationCode); rc != kOk) {
        return rc;
    }
    CFileHash hash;
    CChunker chunker(payloadKey, out, hash);
    if (!hash.Ok() || !chunker.Ok()) {
        return kCreateCipherFailed;
    }
    hash.Update(headerBytes.data(), headerBytes.size());
    if (const int rc = out.Write(headerBytes.data(), headerBytes.size()); rc != kOk) {
        return rc;
    }
    if (const int rc = writePayload(chunker); rc != kOk) {
        return rc;
    }
    if (const int rc = chunker.Finish(); rc != kOk) {
        return rc;
    }
    std::array<unsigned char, kDigestSize> digest {};
    if (!hash.Final(digest)) {
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
    std::vector<unsigned char> trailer;
    PutU32(trailer, static_cast<uint32_t>(signature.size()));
    trailer.insert(trailer.end(), kTrailerMagic.begin(), kTrailerMagic.end());
    if (const int rc = out.Write(signature.data(), signature.size()); rc != kOk) {
        return rc;
    }
    if (const int rc = out.Write(trailer.data(), trailer.size()); rc != kOk) {
        return rc;
    }
    return out.Commit(result);
}

} // namespace

int SealBidFile(const CSealRequest& request, const std::string& outputPath, CSealResult* result)
{
    uint64_t total = 0;
    if (const int rc = CheckFiles(request.files, total); rc != kOk) {
        return rc;
    }
    return Seal(request, outputPath, result, [&](CChunker& chunker) {
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
    return Seal(request, outputPath, nullptr,
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
