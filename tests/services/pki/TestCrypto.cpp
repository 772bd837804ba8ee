// Hashes, the SM4 cipher, Base64, library memory and handle checks.
#include "PkiTestUtil.h"
#include "QuarnPKI.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace kelvane::test;

namespace {

std::vector<unsigned char> FromHex(const std::string& hex)
{
    std::vector<unsigned char> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::vector<unsigned char> Digest(int algorithm, const std::string& data, size_t split)
{
    void* device = QuarnPKICryptoGetPseudoDevice();
    void* hash = QuarnPKICryptoNewHash(device, algorithm);
    QuarnPKICryptoFreeDevice(device); // the workstation frees the device at once
    EXPECT_NE(hash, nullptr);
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    EXPECT_EQ(QuarnPKICryptoHashUpdate(hash, p, static_cast<int>(split)), 1);
    EXPECT_EQ(QuarnPKICryptoHashUpdate(hash, p + split, static_cast<int>(data.size() - split)), 1);
    unsigned char* digest = nullptr;
    int length = 0;
    EXPECT_EQ(QuarnPKICryptoHashFinal(hash, &digest, &length), 1);
    QuarnPKICryptoFreeHash(hash);
    return TakeBytes(digest, length);
}

struct HashCase
{
    int algorithm;
    std::string input;
    std::string expected;
};

class HashVectors : public ::testing::TestWithParam<HashCase>
{
};

TEST_P(HashVectors, MatchStandardDigestsWhateverTheSplit)
{
    const HashCase& c = GetParam();
    for (size_t split = 0; split <= c.input.size(); ++split) {
        EXPECT_EQ(Hex(Digest(c.algorithm, c.input, split)), c.expected) << "split " << split;
    }
}

INSTANTIATE_TEST_SUITE_P(Pki, HashVectors,
    ::testing::Values(
        HashCase { 8192, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad" },
        HashCase { 8192, "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855" },
        HashCase { 4096, "abc", "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0" },
        HashCase { 4096, "abcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcd",
            "debe9ff92275b8a138604889c18e5a4d6fdb70e5387e5765293dcba39c0c5732" }));

TEST(PkiHash, RefusesUnknownAlgorithmAndUseAfterFinal)
{
    void* device = QuarnPKICryptoGetPseudoDevice();
    EXPECT_EQ(QuarnPKICryptoNewHash(device, 1234), nullptr);
    EXPECT_EQ(QuarnPKICryptoNewHash(nullptr, 8192), nullptr);
    void* hash = QuarnPKICryptoNewHash(device, 8192);
    QuarnPKICryptoFreeDevice(device);
    unsigned char* digest = nullptr;
    int length = 0;
    ASSERT_EQ(QuarnPKICryptoHashFinal(hash, &digest, &length), 1);
    QuarnPKICryptoFreeMemory(digest);
    EXPECT_NE(QuarnPKICryptoHashUpdate(hash, reinterpret_cast<const unsigned char*>("x"), 1), 1);
    EXPECT_NE(QuarnPKICryptoHashFinal(hash, &digest, &length), 1);
    QuarnPKICryptoFreeHash(hash);
}

// ---- SM4-CBC ------------------------------------------------------------------------------

const std::vector<unsigned char> kKey = FromHex("0123456789abcdeffedcba9876543210");
const std::vector<unsigned char> kZeroIv(16, 0);

std::vector<unsigned char> RunCipher(bool encrypt, int padding, const std::vector<unsigned char>& input,
    size_t chunk, const std::vector<unsigned char>& iv, int* result)
{
    void* cipher = QuarnPKICryptoGetCipherHandle(nullptr, 0x2800000, kKey.data(), 16, iv.data());
    EXPECT_NE(cipher, nullptr);
    EXPECT_EQ(QuarnPKICryptoCipherSetPadding(cipher, padding), 1);
    EXPECT_EQ(QuarnPKICryptoCipherSetEncrypt(cipher, encrypt ? 1 : 0), 1);
    std::vector<unsigned char> output;
    *result = 1;
    for (size_t at = 0; at < input.size() || (at == 0 && input.empty()); at += chunk) {
        const size_t n = std::min(chunk, input.size() - at);
        unsigned char* out = nullptr;
        int outLength = -1;
        if (QuarnPKICryptoCipherUpdate(cipher, input.data() + at, static_cast<int>(n), &out, &outLength)
            != 1) {
            *result = 0;
        }
        const auto piece = TakeBytes(out, outLength);
        output.insert(output.end(), piece.begin(), piece.end());
        if (input.empty()) {
            break;
        }
    }
    unsigned char* out = nullptr;
    int outLength = -1;
    if (QuarnPKICryptoCipherFinal(cipher, &out, &outLength) != 1) {
        *result = 0;
    }
    const auto last = TakeBytes(out, outLength);
    output.insert(output.end(), last.begin(), last.end());
    QuarnPKICryptoFreeCipher(cipher);
    return output;
}

TEST(PkiCipher, Sm4StandardVectorOneBlock)
{
    // The example of the SM4 standard: key and plaintext 0123456789abcdeffedcba9876543210. With a
    // zero IV the first CBC block equals the block cipher's output.
    int result = 0;
    const auto encrypted = RunCipher(true, 1, kKey, 16, kZeroIv, &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(Hex(encrypted), "681edf34d206965e86b3e94f536e4246");
    const auto decrypted = RunCipher(false, 1, encrypted, 16, kZeroIv, &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(decrypted, kKey);
}

TEST(PkiCipher, NewHandleDecryptsWithPkcs7)
{
    const std::vector<unsigned char> iv(16, 0x5a);
    int result = 0;
    const auto encrypted = RunCipher(true, 2, Bytes("rules document"), 64, iv, &result);
    ASSERT_EQ(encrypted.size(), 16u);
    // The rules download never sets a direction: a fresh handle must decrypt.
    void* cipher = QuarnPKICryptoGetCipherHandle(nullptr, 0x2800000, kKey.data(), 16, iv.data());
    ASSERT_EQ(QuarnPKICryptoCipherSetPadding(cipher, 2), 1);
    unsigned char* first = nullptr;
    int firstLength = 0;
    unsigned char* second = nullptr;
    int secondLength = 0;
    ASSERT_EQ(QuarnPKICryptoCipherUpdate(cipher, encrypted.data(), 16, &first, &firstLength), 1);
    ASSERT_EQ(QuarnPKICryptoCipherFinal(cipher, &second, &secondLength), 1);
    auto plain = TakeBytes(first, firstLength);
    const auto tail = TakeBytes(second, secondLength);
    plain.insert(plain.end(), tail.begin(), tail.end());
    EXPECT_EQ(plain, Bytes("rules document"));
    QuarnPKICryptoFreeCipher(cipher);
}

TEST(PkiCipher, RoundTripsEveryLengthAndChunking)
{
    const std::vector<unsigned char> iv(16, 0x11);
    for (const size_t length : { 0u, 1u, 15u, 16u, 17u, 31u, 32u, 100u, 4097u }) {
        std::vector<unsigned char> plain(length);
        for (size_t i = 0; i < length; ++i) {
            plain[i] = static_cast<unsigned char>(i * 7 + 3);
        }
        for (const size_t chunk : { 1u, 5u, 16u, 1000u }) {
            int result = 0;
            const auto encrypted = RunCipher(true, 2, plain, chunk, iv, &result);
            ASSERT_EQ(result, 1);
            EXPECT_EQ(encrypted.size(), (length / 16 + 1) * 16);
            const auto decrypted = RunCipher(false, 2, encrypted, chunk, iv, &result);
            ASSERT_EQ(result, 1);
            EXPECT_EQ(decrypted, plain) << length << "/" << chunk;
        }
    }
}

TEST(PkiCipher, DecryptionFailsOnBadPaddingOrPartialBlock)
{
    const std::vector<unsigned char> iv(16, 0);
    int result = 1;
    // Random-looking data whose last block does not decrypt to valid padding (checked by
    // encrypting without padding a block that ends with 0x00).
    std::vector<unsigned char> block(16, 0x41);
    block[15] = 0;
    const auto encrypted = RunCipher(true, 1, block, 16, iv, &result);
    RunCipher(false, 2, encrypted, 16, iv, &result);
    EXPECT_EQ(result, 0);
    std::vector<unsigned char> partial(encrypted.begin(), encrypted.begin() + 10);
    RunCipher(false, 2, partial, 16, iv, &result);
    EXPECT_EQ(result, 0);
}

TEST(PkiCipher, RefusesBadParametersAndLateSettings)
{
    const std::vector<unsigned char> iv(16, 0);
    EXPECT_EQ(QuarnPKICryptoGetCipherHandle(nullptr, 0x2800000, kKey.data(), 15, iv.data()), nullptr);
    EXPECT_EQ(QuarnPKICryptoGetCipherHandle(nullptr, 0x2800001, kKey.data(), 16, iv.data()), nullptr);
    EXPECT_EQ(QuarnPKICryptoGetCipherHandle(nullptr, 0x2800000, nullptr, 16, iv.data()), nullptr);
    void* cipher = QuarnPKICryptoGetCipherHandle(nullptr, 0x2800000, kKey.data(), 16, iv.data());
    EXPECT_NE(QuarnPKICryptoCipherSetPadding(cipher, 3), 1);
    unsigned char* out = nullptr;
    int outLength = 0;
    ASSERT_EQ(QuarnPKICryptoCipherUpdate(cipher, kKey.data(), 16, &out, &outLength), 1);
    QuarnPKICryptoFreeMemory(out);
    EXPECT_NE(QuarnPKICryptoCipherSetPadding(cipher, 1), 1);
    EXPECT_NE(QuarnPKICryptoCipherSetEncrypt(cipher, 1), 1);
    QuarnPKICryptoFreeCipher(cipher);
}

// ---- Base64 --------------------------------------------------------------------------------

std::string RunBase64(int encode, int flags, const std::string& input, size_t chunk, int* result)
{
    void* b64 = QuarnPKICryptoNewBase64(encode, flags);
    std::string output;
    *result = 1;
    for (size_t at = 0; at < input.size(); at += chunk) {
        unsigned char* out = nullptr;
        int length = 0;
        const size_t n = std::min(chunk, input.size() - at);
        if (QuarnPKICryptoBase64Update(b64, reinterpret_cast<const unsigned char*>(input.data() + at),
                static_cast<int>(n), &out, &length)
            != 1) {
            *result = 0;
        }
        const auto piece = TakeBytes(out, length);
        output.append(piece.begin(), piece.end());
    }
    unsigned char* out = nullptr;
    int length = 0;
    if (QuarnPKICryptoBase64Final(b64, &out, &length) != 1) {
        *result = 0;
    }
    const auto piece = TakeBytes(out, length);
    output.append(piece.begin(), piece.end());
    QuarnPKICryptoFreeBase64(b64);
    return output;
}

TEST(PkiBase64, EncodesAndDecodesRfcVectorsInAnyChunks)
{
    const std::vector<std::pair<std::string, std::string>> vectors
        = { { "", "" }, { "f", "Zg==" }, { "fo", "Zm8=" }, { "foo", "Zm9v" }, { "foob", "Zm9vYg==" },
              { "fooba", "Zm9vYmE=" }, { "foobar", "Zm9vYmFy" } };
    for (const auto& [plain, encoded] : vectors) {
        for (const size_t chunk : { 1u, 2u, 7u }) {
            int result = 0;
            EXPECT_EQ(RunBase64(1, 1, plain, chunk, &result), encoded);
            EXPECT_EQ(result, 1);
            EXPECT_EQ(RunBase64(0, 0, encoded, chunk, &result), plain);
            EXPECT_EQ(result, 1);
        }
    }
}

TEST(PkiBase64, BreaksLinesOnlyWhenAsked)
{
    const std::string data(100, 'x');
    int result = 0;
    const std::string oneLine = RunBase64(1, 1, data, 33, &result);
    EXPECT_EQ(oneLine.find('\n'), std::string::npos);
    const std::string lines = RunBase64(1, 0, data, 33, &result);
    EXPECT_EQ(lines.substr(0, 64), oneLine.substr(0, 64));
    EXPECT_EQ(lines[64], '\n');
    EXPECT_EQ(lines.back(), '\n');
    EXPECT_EQ(RunBase64(0, 0, lines, 10, &result), data);
    EXPECT_EQ(RunBase64(0, 0, " Zm9v\r\nYmFy \n", 3, &result), "foobar");
    EXPECT_EQ(result, 1);
}

TEST(PkiBase64, DecodingRefusesMalformedText)
{
    for (const std::string bad : { "Zg=", "Zm9v!", "Zg==Zg==", "Z===", "Zm9vY", "Zm=v", "Zg===" }) {
        int result = 1;
        RunBase64(0, 0, bad, 1, &result);
        EXPECT_EQ(result, 0) << bad;
        RunBase64(0, 0, bad, 100, &result);
        EXPECT_EQ(result, 0) << bad;
    }
}

// ---- Memory and handles ------------------------------------------------------------------

TEST(PkiMemory, AllocatesZeroedAndRefusesNegative)
{
    EXPECT_EQ(QuarnPKICryptoAllocMemory(-1), nullptr);
    void* empty = QuarnPKICryptoAllocMemory(0);
    EXPECT_NE(empty, nullptr);
    QuarnPKICryptoFreeMemory(empty);
    auto* p = static_cast<unsigned char*>(QuarnPKICryptoAllocMemory(100));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::vector<unsigned char>(p, p + 100), std::vector<unsigned char>(100, 0));
    QuarnPKICryptoFreeMemory(p);
    QuarnPKICryptoFreeMemory(nullptr);
}

TEST(PkiHandles, ForeignAndFreedHandlesAreRefused)
{
    void* device = QuarnPKICryptoGetPseudoDevice();
    void* hash = QuarnPKICryptoNewHash(device, 8192);
    const unsigned char byte = 1;
    unsigned char* out = nullptr;
    int length = 0;
    // A hash passed where a cipher is expected, and a device where a hash is.
    EXPECT_EQ(QuarnPKICryptoCipherUpdate(hash, &byte, 1, &out, &length), QUARNPKI_INVALID_ARGUMENT);
    EXPECT_EQ(QuarnPKICryptoHashUpdate(device, &byte, 1), QUARNPKI_INVALID_ARGUMENT);
    QuarnPKICryptoFreeCipher(hash); // wrong kind: ignored, the hash stays usable
    EXPECT_EQ(QuarnPKICryptoHashUpdate(hash, &byte, 1), 1);
    QuarnPKICryptoFreeHash(hash);
    EXPECT_EQ(QuarnPKICryptoHashUpdate(hash, &byte, 1), QUARNPKI_INVALID_ARGUMENT);
    EXPECT_STRNE(QuarnPKIGetLastError(), "");
    QuarnPKICryptoFreeHash(hash); // a second free is harmless
    EXPECT_EQ(QuarnPKICryptoGetType(device), QUARNPKI_DEVICE_PSEUDO);
    QuarnPKICryptoFreeDevice(device);
}

} // namespace
