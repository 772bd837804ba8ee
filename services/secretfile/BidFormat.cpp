#include "BidFormat.h"

#include "BidCrypto.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace kelvane::bidx {

void PutU16(std::vector<unsigned char>& out, uint16_t v)
{
    out.push_back(static_cast<unsigned char>(v >> 8));
    out.push_back(static_cast<unsigned char>(v));
}

void PutU32(std::vector<unsigned char>& out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<unsigned char>(v >> shift));
    }
}

void PutU64(std::vector<unsigned char>& out, uint64_t v)
{
    for (int shift = 56; shift >= 0; shift -= 8) {
        out.push_back(static_cast<unsigned char>(v >> shift));
    }
}

uint16_t GetU16(const unsigned char* p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t GetU32(const unsigned char* p)
{
    return (uint32_t { p[0] } << 24) | (uint32_t { p[1] } << 16) | (uint32_t { p[2] } << 8)
        | uint32_t { p[3] };
}

uint64_t GetU64(const unsigned char* p)
{
    return (uint64_t { GetU32(p) } << 32) | GetU32(p + 4);
}

int ParseFixedPrefix(const unsigned char* data, size_t size, uint32_t& headerSize)
{
    if (size < kMagic.size()) {
        return kReadFileFlagFailed;
    }
    if (std::memcmp(data, kMagic.data(), kMagic.size()) != 0) {
        return kFileFlagInvalid;
    }
    if (size < kFixedPrefixSize) {
        return kReadHeaderFailed;
    }
    if (GetU16(data + 8) != kVersion) {
        return kFileFlagInvalid;
    }
    if (data[10] != kAeadAes256Gcm || data[11] != kHashSha256 || data[12] != kSharingShamirGf256
        || data[13] != kChunkLog2) {
        return kNotSupportAlgo;
    }
    headerSize = GetU32(data + 14);
    if (headerSize < kFixedPrefixSize || headerSize > kMaxHeaderSize) {
        return kReadHeaderContentFailed;
    }
    return kOk;
}

namespace {

// Bounds-checked reading of the header's fields; any overrun makes the header malformed.
class CCursor
{
public:
    CCursor(const unsigned char* data, size_t size)
        : start(data)
        , length(size)
    {
    }

    bool Take(size_t n, const unsigned char*& p)
    {
        if (n > length - pos) {
            return false;
        }
        p = start + pos;
        pos += n;
        return true;
    }
    bool Bytes(size_t n, std::vector<unsigned char>& out)
    {
        const unsigned char* p = nullptr;
        if (!Take(n, p)) {
            return false;
        }
        out.assign(p, p + n);
        return true;
    }
    bool U8(uint8_t& v)
    {
        const unsigned char* p = nullptr;
        if (!Take(1, p)) {
            return false;
        }
        v = p[0];
        return true;
    }
    bool U16(uint16_t& v)
    {
        const unsigned char* p = nullptr;
        if (!Take(2, p)) {
            return false;
        }
        v = GetU16(p);
        return true;
    }
    bool U32(uint32_t& v)
    {
        const unsigned char* p = nullptr;
        if (!Take(4, p)) {
            return false;
        }
        v = GetU32(p);
        return true;
    }
    bool AtEnd() const { return pos == length; }

private:
    const unsigned char* start;
    size_t length;
    size_t pos = 0;
};

} // namespace

int ParseHeader(const unsigned char* data, size_t size, CBidHeader& header)
{
    uint32_t headerSize = 0;
    if (const int rc = ParseFixedPrefix(data, size, headerSize); rc != kOk) {
        return rc;
    }
    if (size != headerSize) {
        return kReadHeaderFailed;
    }
    CCursor cur(data + kFixedPrefixSize, size - kFixedPrefixSize);
    const unsigned char* p = nullptr;
    if (!cur.Take(kFileIdSize, p)) {
        return kReadHeaderContentFailed;
    }
    std::copy(p, p + kFileIdSize, header.fileId.begin());
    if (!cur.Take(kKeySize, p)) {
        return kReadHeaderContentFailed;
    }
    std::copy(p, p + kKeySize, header.commitment.begin());

    uint32_t signerSize = 0;
    if (!cur.U32(signerSize) || signerSize == 0 || signerSize > kMaxSignerCertSize
        || !cur.Bytes(signerSize, header.signerCert)) {
        return kReadHeaderContentFailed;
    }
    if (!IsParsableCertificate(header.signerCert)) {
        return kConstructSignCertFailed;
    }
    uint32_t customSize = 0;
    if (!cur.U32(customSize) || customSize > kMaxCustomDataSize
        || !cur.Bytes(customSize, header.customData)) {
        return kReadHeaderContentFailed;
    }

    uint8_t m = 0;
    uint8_t n = 0;
    if (!cur.U8(m) || !cur.U8(n)) {
        return kReadHeaderContentFailed;
    }
    if (n == 0) {
        return kNumberBelowZero;
    }
    if (m < n) {
        return kTotalLessThanMin;
    }
    header.total = m;
    header.minimum = n;
    header.openers.clear();
    std::set<uint8_t> numbers;
    std::set<std::vector<unsigned char>> certs;
    for (int i = 0; i < m; ++i) {
        COpenerRecord rec;
        uint8_t method = 0;
        uint16_t certSize = 0;
        uint16_t wrappedSize = 0;
        if (!cur.U8(rec.shareNumber) || !cur.U8(method) || !cur.U16(certSize)
            || !cur.Bytes(certSize, rec.cert) || !cur.U16(wrappedSize)
            || !cur.Bytes(wrappedSize, rec.wrapped)) {
            return kReadHeaderContentFailed;
        }
        // Shamir's scheme needs distinct, non-zero x coordinates; libgfshare does not check this.
        if (rec.shareNumber == 0 || !numbers.insert(rec.shareNumber).second) {
            return kReadHeaderContentFailed;
        }
        if (!certs.insert(rec.cert).second) {
            return kCertExist;
        }
        if (method != static_cast<uint8_t>(WrapMethod::RsaOaepSha256)
            && method != static_cast<uint8_t>(WrapMethod::EcdhP256HkdfAesGcm)) {
            return kNotSupportAlgo;
        }
        rec.method = static_cast<WrapMethod>(method);
        WrapMethod certMethod {};
        if (const int rc = WrapMethodForCertificate(rec.cert, certMethod); rc != kOk) {
            return rc == kNotSupportAlgo ? rc : kCertFromEncodingFailed;
        }
        if (certMethod != rec.method) {
            return kNotSupportAlgo;
        }
        header.openers.push_back(std::move(rec));
    }
    if (!cur.AtEnd()) {
        return kReadHeaderContentFailed;
    }
    return kOk;
}

int SerializeHeader(const CBidHeader& header, std::vector<unsigned char>& out)
{
    if (header.minimum < 1) {
        return kNumberBelowZero;
    }
    if (header.total < header.minimum) {
        return kTotalLessThanMin;
    }
    if (header.total > 255 || static_cast<size_t>(header.total) != header.openers.size()) {
        return kCertNumIncorrect;
    }
    if (header.signerCert.empty() || header.signerCert.size() > kMaxSignerCertSize
        || header.customData.size() > kMaxCustomDataSize) {
        return kInvalidParam;
    }
    out.assign(kMagic.begin(), kMagic.end());
    PutU16(out, kVersion);
    out.push_back(kAeadAes256Gcm);
    out.push_back(kHashSha256);
    out.push_back(kSharingShamirGf256);
    out.push_back(kChunkLog2);
    PutU32(out, 0); // header length, filled in below
    out.insert(out.end(), header.fileId.begin(), header.fileId.end());
    out.insert(out.end(), header.commitment.begin(), header.commitment.end());
    PutU32(out, static_cast<uint32_t>(header.signerCert.size()));
    out.insert(out.end(), header.signerCert.begin(), header.signerCert.end());
    PutU32(out, static_cast<uint32_t>(header.customData.size()));
    out.insert(out.end(), header.customData.begin(), header.customData.end());
    out.push_back(static_cast<unsigned char>(header.total));
    out.push_back(static_cast<unsigned char>(header.minimum));
    for (const COpenerRecord& rec : header.openers) {
        if (rec.cert.size() > 0xFFFF || rec.wrapped.size() > 0xFFFF) {
            return kInvalidParam;
        }
        out.push_back(rec.shareNumber);
        out.push_back(static_cast<unsigned char>(rec.method));
        PutU16(out, static_cast<uint16_t>(rec.cert.size()));
        out.insert(out.end(), rec.cert.begin(), rec.cert.end());
        PutU16(out, static_cast<uint16_t>(rec.wrapped.size()));
        out.insert(out.end(), rec.wrapped.begin(), rec.wrapped.end());
    }
    if (out.size() > kMaxHeaderSize) {
        return kInvalidParam;
    }
    const uint32_t size = static_cast<uint32_t>(out.size());
    for (int i = 0; i < 4; ++i) {
        out[14 + i] = static_cast<unsigned char>(size >> (24 - 8 * i));
    }
    return kOk;
}

int ParseTrailer(const unsigned char trailer[kTrailerSize], uint64_t fileSize, uint64_t headerSize,
    uint32_t& signatureSize, uint64_t& payloadSize)
{
    if (std::memcmp(trailer + 4, kTrailerMagic.data(), kTrailerMagic.size()) != 0) {
        return kFileStructIncorrect;
    }
    signatureSize = GetU32(trailer);
    if (signatureSize == 0 || signatureSize > kMaxSignatureSize) {
        return kFileStructIncorrect;
    }
    const uint64_t fixed = headerSize + signatureSize + kTrailerSize;
    if (fileSize < fixed + kTagSize) {
        return kFileStructIncorrect;
    }
    payloadSize = fileSize - fixed;
    // Every chunk carries a tag, so a remainder shorter than a tag cannot be a chunk.
    const uint64_t rest = payloadSize % kSealedChunkSize;
    if (rest != 0 && rest < kTagSize) {
        return kFileStructIncorrect;
    }
    return kOk;
}

bool IsSafeEntryName(std::string_view name)
{
    if (name.empty() || name.size() > kMaxNameSize || name.front() == '/') {
        return false;
    }
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        // Backslash and colon are separators or drive marks elsewhere; control bytes hide tricks.
        if (u < 0x20 || u == 0x7F || c == '\\' || c == ':') {
            return false;
        }
    }
    size_t start = 0;
    while (start <= name.size()) {
        const size_t slash = name.find('/', start);
        const size_t end = slash == std::string_view::npos ? name.size() : slash;
        const std::string_view part = name.substr(start, end - start);
        if (part.empty() || part == "." || part == ".." || part.size() > kMaxNameComponentSize) {
            return false;
        }
        if (slash == std::string_view::npos) {
            break;
        }
        start = slash + 1;
    }
    return true;
}

std::vector<unsigned char> EncodeEntryHeader(std::string_view name, uint64_t size)
{
    std::vector<unsigned char> out;
    out.reserve(1 + 2 + name.size() + 8);
    out.push_back(kEntryFile);
    PutU16(out, static_cast<uint16_t>(name.size()));
    out.insert(out.end(), name.begin(), name.end());
    PutU64(out, size);
    return out;
}

} // namespace kelvane::bidx
