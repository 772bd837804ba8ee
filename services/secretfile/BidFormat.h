// Layout of a sealed bid file (.bidx): constants, the parsed header, and the checks that need no
// key. Files sealed in this version must keep opening: the test vectors pin this layout down.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane::bidx {

// Result codes shared with the opening program's result-code table of the decryptor.
enum Code : int
{
    kOk = 0,
    kOutOfMemory = 1,
    kInvalidParam = 2,
    kCertExist = 3,
    kCertCannotEncrypt = 4,
    kNotSupportAlgo = 6,
    kOpenFileFailed = 7,
    kReadFileLenFailed = 8,
    kReadFileFlagFailed = 9,
    kFileFlagInvalid = 10,
    kReadHeaderFailed = 13,
    kReadHeaderContentFailed = 14,
    kReadDataContentFailed = 16,
    kWriteDataFailed = 18,
    kReadDataFailed = 19,
    kConstructSignCertFailed = 20,
    kCreateVerifyHandleFailed = 22,
    kVerifyFailed = 23,
    kNoCustomData = 27,
    kFileNotFound = 28,
    kFileExist = 29,
    kCreateCipherFailed = 32,
    kCipherFinalFailed = 34,
    kDecryptConditionNotEnough = 35,
    kFileNameFormatError = 36,
    kTotalLessThanMin = 37,
    kCertNumIncorrect = 38,
    kNumberBelowZero = 40,
    kGetKeypairFailed = 44,
    kCreateSignHandleFailed = 45,
    kSignUpdateFailed = 46,
    kSignFinalFailed = 47,
    kGenerateRandomFailed = 49,
    kCreateAlgoParamFailed = 50,
    kAsymEncryptFailed = 51,
    kPrivateKeyDecryptFailed = 52,
    kCertFromEncodingFailed = 53,
    kShareDivideFailed = 56,
    kKdfFailed = 57,
    kShareNewShadowFailed = 58,
    kShareComposeFailed = 59,
    kFileStructIncorrect = 64,
    kHashVerifyFailed = 65,
};

inline constexpr std::array<unsigned char, 8> kMagic = { 'K', 'V', 'B', 'I', 'D', 'X', '\r', '\n' };
inline constexpr std::array<unsigned char, 4> kTrailerMagic = { 'K', 'V', 'S', 'G' };
// Version 2 binds the signer certificate and the custom data into the key schedule (BidKeySchedule.h);
// version 1 files, whose keys bind neither, are refused as foreign (10).
inline constexpr uint16_t kVersion = 2;
inline constexpr uint8_t kAeadAes256Gcm = 1;
inline constexpr uint8_t kHashSha256 = 1;
inline constexpr uint8_t kSharingShamirGf256 = 1;
inline constexpr uint8_t kChunkLog2 = 16;

inline constexpr size_t kChunkSize = size_t { 1 } << kChunkLog2; // plaintext bytes of a full chunk
inline constexpr size_t kTagSize = 16;
inline constexpr size_t kSealedChunkSize = kChunkSize + kTagSize;
inline constexpr size_t kFileIdSize = 16;
inline constexpr size_t kKeySize = 32;
inline constexpr size_t kDigestSize = 32;
inline constexpr size_t kFixedPrefixSize = 18; // magic .. header length
inline constexpr size_t kTrailerSize = 8; // signature length + trailer magic

inline constexpr uint32_t kMaxHeaderSize = 16u << 20;
inline constexpr uint32_t kMaxSignatureSize = 1u << 20;
inline constexpr uint32_t kMaxCustomDataSize = 8u << 20;
inline constexpr uint32_t kMaxSignerCertSize = 64u << 10;
inline constexpr size_t kMaxNameSize = 1024;
inline constexpr size_t kMaxNameComponentSize = 255;

// Share of an opener: the file id and the share number bind it to one slot of one file.
inline constexpr size_t kSharePlainSize = kFileIdSize + 1 + kKeySize;

enum class WrapMethod : uint8_t
{
    RsaOaepSha256 = 1,
    EcdhP256HkdfAesGcm = 2,
};

struct COpenerRecord
{
    uint8_t shareNumber = 0;
    WrapMethod method = WrapMethod::RsaOaepSha256;
    std::vector<unsigned char> cert; // DER
    std::vector<unsigned char> wrapped; // the encrypted share
};

struct CBidHeader
{
    std::array<unsigned char, kFileIdSize> fileId {};
    std::array<unsigned char, kKeySize> commitment {};
    std::vector<unsigned char> signerCert; // DER
    std::vector<unsigned char> customData;
    int total = 0; // m
    int minimum = 0; // n
    std::vector<COpenerRecord> openers;
};

// The fixed prefix: checks magic, version and algorithm ids and gives the whole header's length.
int ParseFixedPrefix(const unsigned char* data, size_t size, uint32_t& headerSize);

// A whole header (prefix included), exactly headerSize bytes. Certificates are checked to parse
// and to carry a key that fits their wrap method.
int ParseHeader(const unsigned char* data, size_t size, CBidHeader& header);

int SerializeHeader(const CBidHeader& header, std::vector<unsigned char>& out);

// The trailer at the end of the file gives the signature's length. Given the file size and the
// header size it yields where the payload ends; the payload must hold at least one chunk.
int ParseTrailer(const unsigned char trailer[kTrailerSize], uint64_t fileSize, uint64_t headerSize,
    uint32_t& signatureSize, uint64_t& payloadSize);

// Whether a name from the payload may become a path below the bid's own folder.
bool IsSafeEntryName(std::string_view name);

// Payload archive entries: kind, name, size, then the file's bytes. A kind of 0 ends the archive.
inline constexpr uint8_t kEntryEnd = 0;
inline constexpr uint8_t kEntryFile = 1;
std::vector<unsigned char> EncodeEntryHeader(std::string_view name, uint64_t size);

void PutU16(std::vector<unsigned char>& out, uint16_t v);
void PutU32(std::vector<unsigned char>& out, uint32_t v);
void PutU64(std::vector<unsigned char>& out, uint64_t v);
uint16_t GetU16(const unsigned char* p);
uint32_t GetU32(const unsigned char* p);
uint64_t GetU64(const unsigned char* p);

} // namespace kelvane::bidx
