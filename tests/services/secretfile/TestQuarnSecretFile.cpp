// The decryptor over files sealed in the test with software keys: threshold, tampering, hostile
// names, sizes and name collisions, and the two-call interface.
#include "BidFormat.h"
#include "SecretFileTestSupport.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <numeric>
#include <openssl/cms.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kelvane::bidx::test {
namespace {

std::vector<unsigned char> Pattern(size_t size, unsigned seed)
{
    std::vector<unsigned char> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<unsigned char>((i * 131 + seed * 7 + (i >> 9)) & 0xFF);
    }
    return bytes;
}

CSealFile MakeInput(const std::filesystem::path& dir, const std::string& name, size_t size, unsigned seed)
{
    const std::filesystem::path source = dir / ("src-" + std::to_string(seed));
    WriteAll(source, Pattern(size, seed));
    return CSealFile { source.string(), name };
}

std::vector<unsigned char> Sm3(const std::vector<unsigned char>& bytes)
{
    std::vector<unsigned char> digest(EVP_MAX_MD_SIZE);
    unsigned int len = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest.data(), &len, EVP_sm3(), nullptr);
    digest.resize(len);
    return digest;
}

class DecryptorTest : public ::testing::Test
{
protected:
    std::filesystem::path Bid(const std::string& name = "acme_P1_L1.bidx") const { return tmp.Path() / name; }
    std::filesystem::path Out() const { return tmp.Path() / "Open"; }

    // A bid of three chunks and a bit, with a file in a subfolder.
    CSealSpec ThreeChunkSpec(int threshold = 2, std::vector<int> openers = { 0, 1, 2 })
    {
        CSealSpec spec;
        spec.threshold = threshold;
        spec.openers = std::move(openers);
        spec.files = { MakeInput(tmp.Path(), "offer.pdf", 3 * kChunkSize + 100, 1),
            MakeInput(tmp.Path(), "annex/prices.xlsx", 5000, 2) };
        return spec;
    }

    int DecryptWith(const std::filesystem::path& bid, const std::vector<int>& openers)
    {
        int rc = 0;
        const Handle h = OpenHandle(bid, Out(), &rc);
        if (rc != 0) {
            return rc;
        }
        for (const int o : openers) {
            if (const int t = TryOpener(h.get(), o); t != 0) {
                return t;
            }
        }
        return QuarnSecretFileDecryptorDecrypt(h.get());
    }

    CTempDir tmp;
};

TEST_F(DecryptorTest, EveryPairOfTwoOfThreeOpensToTheSameBytes)
{
    const CSealSpec spec = ThreeChunkSpec();
    Seal(spec, Bid());
    const std::vector<std::vector<int>> pairs = { { 0, 1 }, { 0, 2 }, { 1, 2 }, { 2, 0 } };
    for (size_t i = 0; i < pairs.size(); ++i) {
        ASSERT_EQ(DecryptWith(Bid(), pairs[i]), 0) << "pair " << i;
    }
    const auto first = ListTree(Out() / "acme_P1_L1");
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].first, "annex/prices.xlsx");
    EXPECT_EQ(first[0].second, Pattern(5000, 2));
    EXPECT_EQ(first[1].first, "offer.pdf");
    EXPECT_EQ(first[1].second, Pattern(3 * kChunkSize + 100, 1));
    for (size_t i = 2; i <= pairs.size(); ++i) {
        EXPECT_EQ(ListTree(Out() / ("acme_P1_L1 (" + std::to_string(i) + ")")), first);
    }
    EXPECT_EQ(CountEntries(Out()), pairs.size()) << "no staging folder may stay behind";
}

TEST_F(DecryptorTest, ThreeOfFiveNeedsThreeAndCountsEachOpenerOnce)
{
    Seal(ThreeChunkSpec(3, { 0, 1, 2, 3, 4 }), Bid());
    int rc = 0;
    const Handle h = OpenHandle(Bid(), Out(), &rc);
    ASSERT_EQ(rc, 0);
    int n = 0;
    ASSERT_EQ(QuarnSecretFileDecryptorGetMinNum(h.get(), &n), 0);
    EXPECT_EQ(n, 3);

    ASSERT_EQ(TryOpener(h.get(), 3), 0);
    ASSERT_EQ(TryOpener(h.get(), 3), 0);
    ASSERT_EQ(TryOpener(h.get(), 1), 0);
    ASSERT_EQ(TryOpener(h.get(), 1), 0);
    EXPECT_NE(QuarnSecretFileDecryptorGetStatus(h.get()), 0);
    EXPECT_EQ(QuarnSecretFileDecryptorDecrypt(h.get()), kDecryptConditionNotEnough);
    EXPECT_EQ(CountEntries(Out()), 0u);

    int count = 0;
    ASSERT_EQ(QuarnSecretFileDecryptorGetCrackerNum(h.get(), &count), 0);
    ASSERT_EQ(count, 2);
    for (int i = 0; i < count; ++i) {
        int len = 0;
        ASSERT_EQ(QuarnSecretFileDecryptorGetCrackerCert(h.get(), i, nullptr, &len), 0);
        std::vector<unsigned char> cert(static_cast<size_t>(len));
        ASSERT_EQ(QuarnSecretFileDecryptorGetCrackerCert(h.get(), i, cert.data(), &len), 0);
        EXPECT_EQ(cert, Opener(i == 0 ? 3 : 1).certDer) << "contributors in the order they came";
    }

    ASSERT_EQ(TryOpener(h.get(), 4), 0);
    EXPECT_EQ(QuarnSecretFileDecryptorGetStatus(h.get()), 0);
    EXPECT_EQ(QuarnSecretFileDecryptorDecrypt(h.get()), 0);
    EXPECT_EQ(ListTree(Out() / "acme_P1_L1").size(), 2u);
}

TEST_F(DecryptorTest, KeysThatAreNoOpenersAreRefused)
{
    Seal(ThreeChunkSpec(2, { 0, 1, 2 }), Bid());
    int rc = 0;
    const Handle h = OpenHandle(Bid(), Out(), &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(TryOpener(h.get(), 3), kGetKeypairFailed);
    const std::string garbage = "not a key";
    EXPECT_EQ(QuarnSecretFileDecryptorTryKey(h.get(), reinterpret_cast<const unsigned char*>(garbage.data()),
                  static_cast<int>(garbage.size())),
        kInvalidParam);
    int count = -1;
    ASSERT_EQ(QuarnSecretFileDecryptorGetCrackerNum(h.get(), &count), 0);
    EXPECT_EQ(count, 0);
}

// Where each damage is caught, and with which code. A code at "open" means CreateHandle refuses;
// otherwise Verify and Decrypt (without Verify before it) must both refuse with theirs.
struct CDamage
{
    const char* name;
    std::function<void(std::vector<unsigned char>&, const CLayout&)> apply;
    int openCode;
    int verifyCode;
    int decryptCode;
};

std::vector<unsigned char> Chunk(const std::vector<unsigned char>& f, const CLayout& l, size_t i)
{
    const size_t at = l.headerSize + i * kSealedChunkSize;
    const size_t end = std::min(at + kSealedChunkSize, l.headerSize + l.payloadSize);
    return std::vector<unsigned char>(f.begin() + static_cast<long>(at), f.begin() + static_cast<long>(end));
}

// Cuts the payload after `keep` bytes and puts the signature and trailer back behind it.
void CutPayload(std::vector<unsigned char>& f, const CLayout& l, size_t keep)
{
    const std::vector<unsigned char> tail(
        f.end() - static_cast<long>(l.signatureSize + kTrailerSize), f.end());
    f.resize(l.headerSize + keep);
    f.insert(f.end(), tail.begin(), tail.end());
}

// Offset of a field inside the header, found by parsing it.
size_t CustomDataOffset(const std::vector<unsigned char>& f)
{
    return kFixedPrefixSize + kFileIdSize + kKeySize + 4 + GetU32(f.data() + kFixedPrefixSize + 48) + 4;
}

const std::vector<CDamage>& Damages()
{
    static const std::vector<CDamage> damages = {
        { "magic", [](auto& f, auto&) { f[0] ^= 1; }, kFileFlagInvalid, 0, 0 },
        { "version", [](auto& f, auto&) { f[9] ^= 1; }, kFileFlagInvalid, 0, 0 },
        { "algorithm", [](auto& f, auto&) { f[10] = 7; }, kNotSupportAlgo, 0, 0 },
        { "header length", [](auto& f, auto&) { f[17] ^= 1; }, kReadHeaderContentFailed, 0, 0 },
        { "key commitment", [](auto& f, auto&) { f[kFixedPrefixSize + kFileIdSize] ^= 1; }, 0,
            kHashVerifyFailed, kShareComposeFailed },
        // The keys bind signer and custom data: Decrypt finds no key for them before reading on.
        { "signer certificate signature",
            [](auto& f, auto&) {
                f[kFixedPrefixSize + 48 + 4 + GetU32(f.data() + kFixedPrefixSize + 48) - 1] ^= 1;
            },
            0, kHashVerifyFailed, kShareComposeFailed },
        { "custom data", [](auto& f, auto&) { f[CustomDataOffset(f) + 9] ^= 1; }, 0, kHashVerifyFailed,
            kShareComposeFailed },
        { "second chunk", [](auto& f, auto& l) { f[l.headerSize + kSealedChunkSize + 77] ^= 1; }, 0,
            kHashVerifyFailed, kHashVerifyFailed },
        { "last tag", [](auto& f, auto& l) { f[l.headerSize + l.payloadSize - 1] ^= 1; }, 0,
            kHashVerifyFailed, kHashVerifyFailed },
        { "signature value", [](auto& f, auto&) { f[f.size() - kTrailerSize - 2] ^= 1; }, 0, kVerifyFailed,
            kVerifyFailed },
        { "trailer magic", [](auto& f, auto&) { f[f.size() - 1] ^= 1; }, kFileStructIncorrect, 0, 0 },
        { "cut inside a chunk", [](auto& f, auto& l) { f.resize(l.headerSize + kSealedChunkSize + 500); },
            kFileStructIncorrect, 0, 0 },
        { "cut at a chunk boundary", [](auto& f, auto& l) { f.resize(l.headerSize + 2 * kSealedChunkSize); },
            kFileStructIncorrect, 0, 0 },
        { "chunks dropped, signature kept", [](auto& f, auto& l) { CutPayload(f, l, 2 * kSealedChunkSize); },
            0, kHashVerifyFailed, kHashVerifyFailed },
        { "tail of a chunk dropped, signature kept",
            [](auto& f, auto& l) { CutPayload(f, l, l.payloadSize - 40); }, 0, kHashVerifyFailed,
            kHashVerifyFailed },
        { "chunks swapped",
            [](auto& f, auto& l) {
                const auto a = Chunk(f, l, 0);
                const auto b = Chunk(f, l, 1);
                std::copy(b.begin(), b.end(), f.begin() + static_cast<long>(l.headerSize));
                std::copy(a.begin(), a.end(), f.begin() + static_cast<long>(l.headerSize + kSealedChunkSize));
            },
            0, kHashVerifyFailed, kHashVerifyFailed },
        { "chunk appended",
            [](auto& f, auto& l) {
                const auto extra = Chunk(f, l, 1);
                f.insert(
                    f.begin() + static_cast<long>(l.headerSize + l.payloadSize), extra.begin(), extra.end());
            },
            0, kHashVerifyFailed, kHashVerifyFailed },
    };
    return damages;
}

TEST_F(DecryptorTest, DamageIsRefusedWithItsCodeAndWritesNothing)
{
    Seal(ThreeChunkSpec(), Bid("good.bidx"));
    const std::vector<unsigned char> good = ReadAll(Bid("good.bidx"));
    const CLayout layout = LayoutOf(good);
    ASSERT_EQ(layout.chunkCount, 4u);
    for (const CDamage& d : Damages()) {
        SCOPED_TRACE(d.name);
        std::vector<unsigned char> bad = good;
        d.apply(bad, layout);
        WriteAll(Bid("bad.bidx"), bad);
        int rc = 0;
        {
            const Handle h = OpenHandle(Bid("bad.bidx"), Out(), &rc);
            EXPECT_EQ(rc, d.openCode);
            if (rc != 0) {
                EXPECT_EQ(h.get(), nullptr);
                continue;
            }
            EXPECT_EQ(QuarnSecretFileDecryptorVerify(h.get()), d.verifyCode);
        }
        EXPECT_EQ(DecryptWith(Bid("bad.bidx"), { 0, 1 }), d.decryptCode);
        EXPECT_EQ(CountEntries(Out()), 0u);
    }
    EXPECT_EQ(DecryptWith(Bid("good.bidx"), { 0, 1 }), 0) << "the pristine file still opens";
}

TEST_F(DecryptorTest, ForgedShareIsCaughtByTheCommitmentAndRoutedAround)
{
    Seal(ThreeChunkSpec(), Bid());
    // The bidder seals a share for opener C that does not lie on the key's polynomial.
    ResignWithHeader(Bid(), [](CBidHeader& header) {
        CKey bogus;
        RandomBytes(bogus.data(), kKeySize);
        COpenerRecord& rec = header.openers[2];
        const CSharePlain plain = MakeSharePlain(header.fileId, rec.shareNumber, bogus);
        ASSERT_EQ(WrapShare(rec.cert, rec.method, header.fileId, rec.shareNumber, plain, rec.wrapped), 0);
    });
    int rc = 0;
    {
        const Handle h = OpenHandle(Bid(), Out(), &rc);
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(QuarnSecretFileDecryptorVerify(h.get()), 0) << "the bidder signed it";
    }
    EXPECT_EQ(DecryptWith(Bid(), { 0, 2 }), kShareComposeFailed);
    EXPECT_EQ(DecryptWith(Bid(), { 2, 1 }), kShareComposeFailed);
    EXPECT_EQ(CountEntries(Out()), 0u);
    EXPECT_EQ(DecryptWith(Bid(), { 2, 0, 1 }), 0) << "two honest shares among three still open";
}

TEST_F(DecryptorTest, ShareMovedToAnotherSlotIsRefused)
{
    Seal(ThreeChunkSpec(2, { 0, 2, 4 }), Bid());
    // A share that names another slot than the one it sits in, as copying shares between slots
    // would leave it.
    ResignWithHeader(Bid(), [](CBidHeader& header) {
        CKey y;
        const CSharePlain plain = MakeSharePlain(header.fileId, header.openers[0].shareNumber, y);
        COpenerRecord& rec = header.openers[2];
        ASSERT_EQ(WrapShare(rec.cert, rec.method, header.fileId, rec.shareNumber, plain, rec.wrapped), 0);
    });
    int rc = 0;
    const Handle h = OpenHandle(Bid(), Out(), &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(TryOpener(h.get(), 4), kShareNewShadowFailed);
    EXPECT_NE(QuarnSecretFileDecryptorGetStatus(h.get()), 0);
}

// Certificates inside the signature are signed by nothing: only the header's own may be there.
TEST_F(DecryptorTest, SignatureMayCarryNoCertificateButTheSigners)
{
    Seal(ThreeChunkSpec(), Bid("good.bidx"));
    const std::vector<unsigned char> good = ReadAll(Bid("good.bidx"));
    const CLayout layout = LayoutOf(good);
    const auto withCert = [&](const std::vector<unsigned char>& certDer) {
        const std::vector<unsigned char> signature(
            good.end() - static_cast<long>(layout.signatureSize + kTrailerSize),
            good.end() - static_cast<long>(kTrailerSize));
        const unsigned char* p = signature.data();
        CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(signature.size()));
        const Cert cert = DecodeCertificate(certDer.data(), certDer.size());
        EXPECT_EQ(CMS_add1_cert(cms, cert.get()), 1);
        unsigned char* der = nullptr;
        const int len = i2d_CMS_ContentInfo(cms, &der);
        std::vector<unsigned char> file(
            good.begin(), good.begin() + static_cast<long>(layout.headerSize + layout.payloadSize));
        file.insert(file.end(), der, der + len);
        PutU32(file, static_cast<uint32_t>(len));
        file.insert(file.end(), kTrailerMagic.begin(), kTrailerMagic.end());
        OPENSSL_free(der);
        CMS_ContentInfo_free(cms);
        WriteAll(Bid("resigned.bidx"), file);
        int rc = 0;
        const Handle h = OpenHandle(Bid("resigned.bidx"), Out(), &rc);
        EXPECT_EQ(rc, 0);
        return QuarnSecretFileDecryptorVerify(h.get());
    };
    EXPECT_EQ(withCert(Bidder().certDer), 0);
    EXPECT_EQ(withCert(Opener(0).certDer), kVerifyFailed);
}

// Archives with hostile or broken entries, sealed as they are.
std::vector<unsigned char> Entry(const std::string& name, const std::string& content)
{
    std::vector<unsigned char> out = EncodeEntryHeader(name, content.size());
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

std::vector<unsigned char> Archive(const std::vector<std::vector<unsigned char>>& entries, bool end = true)
{
    std::vector<unsigned char> out;
    for (const auto& e : entries) {
        out.insert(out.end(), e.begin(), e.end());
    }
    if (end) {
        out.push_back(kEntryEnd);
    }
    return out;
}

TEST_F(DecryptorTest, HostileAndBrokenArchivesAreRefusedAndLeaveNoTrace)
{
    const std::string longName = std::string(300, 'a');
    std::string deep;
    for (int i = 0; i < 120; ++i) {
        deep += "abcdefghi/";
    }
    deep += "x";
    const struct
    {
        const char* name;
        std::vector<unsigned char> archive;
        int code;
    } cases[] = {
        { "parent", Archive({ Entry("ok.txt", "fine"), Entry("../escape.txt", "x") }), kFileNameFormatError },
        { "inner parent", Archive({ Entry("a/../../escape.txt", "x") }), kFileNameFormatError },
        { "absolute", Archive({ Entry("/tmp/kelvane-escape.txt", "x") }), kFileNameFormatError },
        { "nul", Archive({ Entry(std::string("a\0b", 3), "x") }), kFileNameFormatError },
        { "backslash", Archive({ Entry("..\\escape.txt", "x") }), kFileNameFormatError },
        { "drive", Archive({ Entry("C:escape.txt", "x") }), kFileNameFormatError },
        { "empty component", Archive({ Entry("a//b", "x") }), kFileNameFormatError },
        { "dot", Archive({ Entry("./a", "x") }), kFileNameFormatError },
        { "long component", Archive({ Entry(longName, "x") }), kFileNameFormatError },
        { "long path", Archive({ Entry(deep, "x") }), kFileNameFormatError },
        { "duplicate", Archive({ Entry("a.txt", "1"), Entry("a.txt", "2") }), kFileExist },
        { "file under a file", Archive({ Entry("a", "1"), Entry("a/b", "2") }), kFileExist },
        { "file over a folder", Archive({ Entry("a/b", "1"), Entry("a", "2") }), kFileExist },
        { "no end mark", Archive({ Entry("a.txt", "1") }, false), kFileStructIncorrect },
        { "bytes after the end mark",
            [] {
                auto a = Archive({ Entry("a.txt", "1") });
                a.push_back(kEntryFile);
                return a;
            }(),
            kFileStructIncorrect },
        { "file cut short",
            [] {
                auto a = Archive({ Entry("a.txt", "12345") }, false);
                a.resize(a.size() - 2);
                return a;
            }(),
            kFileStructIncorrect },
        { "unknown entry kind", std::vector<unsigned char> { 9, 0 }, kFileStructIncorrect },
    };
    CSoftwareSealSigner signer = MakeSigner(Bidder());
    const CSealRequest request = MakeRequest(CSealSpec {}, signer);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(Bid());
        ASSERT_EQ(SealRawPayload(request, c.archive, Bid().string()), 0);
        EXPECT_EQ(DecryptWith(Bid(), { 0, 1 }), c.code);
        EXPECT_EQ(CountEntries(Out()), 0u);
        EXPECT_FALSE(std::filesystem::exists(tmp.Path() / "escape.txt"));
        EXPECT_FALSE(std::filesystem::exists("/tmp/kelvane-escape.txt"));
    }
}

TEST_F(DecryptorTest, SizesAroundChunkBoundariesRoundTrip)
{
    const size_t sizes[]
        = { 0, 1, kChunkSize - 20, kChunkSize - 1, kChunkSize, kChunkSize + 1, 2 * kChunkSize };
    for (const size_t size : sizes) {
        SCOPED_TRACE(size);
        const std::string name = "s" + std::to_string(size) + ".bidx";
        CSealSpec spec;
        spec.files = { MakeInput(tmp.Path(), "data.bin", size, static_cast<unsigned>(size % 251)) };
        Seal(spec, Bid(name));
        ASSERT_EQ(DecryptWith(Bid(name), { 1, 2 }), 0);
        const auto tree = ListTree(Out() / ("s" + std::to_string(size)));
        ASSERT_EQ(tree.size(), 1u);
        EXPECT_EQ(tree[0].second, Pattern(size, static_cast<unsigned>(size % 251)));
    }
}

TEST_F(DecryptorTest, EmptyBidOpensToAnEmptyFolder)
{
    CSealSpec spec;
    Seal(spec, Bid("empty.bidx"));
    ASSERT_EQ(DecryptWith(Bid("empty.bidx"), { 0, 1 }), 0);
    EXPECT_TRUE(std::filesystem::is_directory(Out() / "empty"));
    EXPECT_EQ(CountEntries(Out() / "empty"), 0u);
}

TEST_F(DecryptorTest, SameFileNameInTwoBidsAndASecondOpeningKeepTheFirst)
{
    CSealSpec a;
    a.files = { MakeInput(tmp.Path(), "offer.pdf", 1000, 11) };
    CSealSpec b;
    b.files = { MakeInput(tmp.Path(), "offer.pdf", 2000, 12) };
    Seal(a, Bid("alpha_P1_L1.bidx"));
    Seal(b, Bid("beta_P1_L1.bidx"));
    ASSERT_EQ(DecryptWith(Bid("alpha_P1_L1.bidx"), { 0, 1 }), 0);
    ASSERT_EQ(DecryptWith(Bid("beta_P1_L1.bidx"), { 0, 1 }), 0);
    EXPECT_EQ(ReadAll(Out() / "alpha_P1_L1" / "offer.pdf"), Pattern(1000, 11));
    EXPECT_EQ(ReadAll(Out() / "beta_P1_L1" / "offer.pdf"), Pattern(2000, 12));

    // The operator edits the first result; opening the bid again must not touch it.
    WriteAll(Out() / "alpha_P1_L1" / "offer.pdf", { 'e', 'd', 'i', 't' });
    ASSERT_EQ(DecryptWith(Bid("alpha_P1_L1.bidx"), { 1, 2 }), 0);
    EXPECT_EQ(
        ReadAll(Out() / "alpha_P1_L1" / "offer.pdf"), (std::vector<unsigned char> { 'e', 'd', 'i', 't' }));
    EXPECT_EQ(ReadAll(Out() / "alpha_P1_L1 (2)" / "offer.pdf"), Pattern(1000, 11));
}

TEST_F(DecryptorTest, TwoCallReadsAndBadArguments)
{
    Seal(ThreeChunkSpec(), Bid());
    int rc = 0;
    const Handle h = OpenHandle(Bid(), Out(), &rc);
    ASSERT_EQ(rc, 0);
    int len = 0;
    ASSERT_EQ(QuarnSecretFileDecryptorGetSignCert(h.get(), nullptr, &len), 0);
    std::vector<unsigned char> cert(static_cast<size_t>(len));
    int shortLen = len - 1;
    EXPECT_EQ(QuarnSecretFileDecryptorGetSignCert(h.get(), cert.data(), &shortLen), kInvalidParam);
    ASSERT_EQ(QuarnSecretFileDecryptorGetSignCert(h.get(), cert.data(), &len), 0);
    EXPECT_EQ(cert, Bidder().certDer);

    ASSERT_EQ(QuarnSecretFileDecryptorGetCustomData(h.get(), nullptr, &len), 0);
    std::vector<unsigned char> custom(static_cast<size_t>(len));
    ASSERT_EQ(QuarnSecretFileDecryptorGetCustomData(h.get(), custom.data(), &len), 0);
    EXPECT_EQ(custom, MakeRulesCustomData(CSealSpec {}.rules));

    // The openers the bid was sealed to, in the header's order, whether they took part or not.
    int m = 0;
    ASSERT_EQ(QuarnSecretFileDecryptorGetOpenerNum(h.get(), &m), 0);
    ASSERT_EQ(m, 3);
    for (int i = 0; i < m; ++i) {
        ASSERT_EQ(QuarnSecretFileDecryptorGetOpenerCert(h.get(), i, nullptr, &len), 0);
        std::vector<unsigned char> opener(static_cast<size_t>(len));
        ASSERT_EQ(QuarnSecretFileDecryptorGetOpenerCert(h.get(), i, opener.data(), &len), 0);
        EXPECT_EQ(opener, Opener(i).certDer);
    }
    EXPECT_EQ(QuarnSecretFileDecryptorGetOpenerCert(h.get(), m, nullptr, &len), kInvalidParam);
    EXPECT_EQ(QuarnSecretFileDecryptorGetOpenerCert(h.get(), -1, nullptr, &len), kInvalidParam);
    EXPECT_EQ(QuarnSecretFileDecryptorGetOpenerNum(h.get(), nullptr), kInvalidParam);
    EXPECT_EQ(QuarnSecretFileDecryptorGetOpenerNum(nullptr, &m), kInvalidParam);

    EXPECT_EQ(QuarnSecretFileDecryptorGetCrackerCert(h.get(), 0, nullptr, &len), kInvalidParam);
    EXPECT_EQ(QuarnSecretFileDecryptorGetCrackerCert(h.get(), -1, nullptr, &len), kInvalidParam);
    EXPECT_EQ(QuarnSecretFileDecryptorVerify(nullptr), kInvalidParam);
    EXPECT_EQ(QuarnSecretFileDecryptorGetStatus(nullptr), kInvalidParam);
    EXPECT_EQ(QuarnSecretFileDecryptorReleaseHandle(nullptr), kInvalidParam);

    CQuarnFileDecryptor* stale = nullptr;
    ASSERT_EQ(QuarnSecretFileDecryptorCreateHandle(&stale, Bid().c_str()), 0);
    EXPECT_EQ(QuarnSecretFileDecryptorReleaseHandle(stale), 0);
    EXPECT_EQ(QuarnSecretFileDecryptorReleaseHandle(stale), kInvalidParam) << "a released handle is refused";
    EXPECT_EQ(QuarnSecretFileDecryptorVerify(stale), kInvalidParam);

    CQuarnFileDecryptor* untouched = nullptr;
    EXPECT_EQ(QuarnSecretFileDecryptorCreateHandle(&untouched, (tmp.Path() / "missing.bidx").c_str()),
        kFileNotFound);
    EXPECT_EQ(untouched, nullptr);
    WriteAll(Bid("short.bidx"), { 'K', 'V' });
    EXPECT_EQ(
        QuarnSecretFileDecryptorCreateHandle(&untouched, Bid("short.bidx").c_str()), kReadFileFlagFailed);
    WriteAll(Bid("text.bidx"), std::vector<unsigned char>(100, 'x'));
    EXPECT_EQ(QuarnSecretFileDecryptorCreateHandle(&untouched, Bid("text.bidx").c_str()), kFileFlagInvalid);

    const Handle noFolder = OpenHandle(Bid(), "", &rc);
    EXPECT_EQ(rc, kInvalidParam);
}

// A FIFO, a device or a folder under a bid's name is refused at once (7): opening must neither
// wait for a writer nor read an endless device. Each attempt runs in a child that is killed at
// the deadline, so a regression fails instead of hanging the suite.
TEST_F(DecryptorTest, NonRegularFilesAreRefusedAtOnce)
{
    ASSERT_EQ(mkfifo(Bid("fifo.bidx").c_str(), 0600), 0);
    std::filesystem::create_symlink("/dev/zero", Bid("zero.bidx"));
    std::filesystem::create_directory(Bid("x.bidx"));
    for (const char* name : { "fifo.bidx", "zero.bidx", "x.bidx" }) {
        SCOPED_TRACE(name);
        const std::string path = Bid(name).string();
        const auto started = std::chrono::steady_clock::now();
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            CQuarnFileDecryptor* h = nullptr;
            _exit(QuarnSecretFileDecryptorCreateHandle(&h, path.c_str()));
        }
        int status = 0;
        pid_t done = 0;
        while ((done = waitpid(pid, &status, WNOHANG)) == 0
            && std::chrono::steady_clock::now() - started < std::chrono::seconds(1)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (done == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "CreateHandle still busy after a second";
            continue;
        }
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), kOpenFileFailed);
    }
}

TEST_F(DecryptorTest, HeaderWithoutCustomDataReportsIt)
{
    CSealSpec spec;
    spec.rules.clear();
    CSoftwareSealSigner signer = MakeSigner(Bidder());
    CSealRequest request = MakeRequest(spec, signer);
    request.customData.clear();
    ASSERT_EQ(SealBidFile(request, Bid().string(), nullptr), 0);
    int rc = 0;
    const Handle h = OpenHandle(Bid(), Out(), &rc);
    ASSERT_EQ(rc, 0);
    int len = 0;
    EXPECT_EQ(QuarnSecretFileDecryptorGetCustomData(h.get(), nullptr, &len), kNoCustomData);
}

} // namespace
} // namespace kelvane::bidx::test

namespace kelvane::bidx::test {

// The code a report shows comes from the very read that verified the file: a file replaced, grown
// or altered after it was opened cannot lend it the code of other bytes than those verified.
TEST_F(DecryptorTest, VerificationCodeIsThatOfTheBytesVerified)
{
    namespace fs = std::filesystem;
    const auto patch = [](const fs::path& path, uint64_t offset, const std::vector<unsigned char>& bytes) {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(static_cast<std::streamoff>(offset));
        file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    };
    const struct
    {
        const char* change;
        std::function<void(const fs::path& bid, const fs::path& other)> apply;
        int expected;
        bool codeOfOriginal; // else of the file as it is now; none for a file that cannot be read through
    } cases[] = {
        { "none", [](const fs::path&, const fs::path&) {}, 0, true },
        { "replaced by another bid",
            [](const fs::path& bid, const fs::path& other) { fs::rename(other, bid); }, 0, true },
        { "grown",
            [&](const fs::path& bid, const fs::path&) {
                patch(bid, fs::file_size(bid), { 1, 2, 3 });
            },
            0, true },
        { "altered in the payload, past the first blocks",
            [&](const fs::path& bid, const fs::path&) {
                patch(bid, 4u << 20, { 0xEE, 0xEE });
            },
            kHashVerifyFailed, false },
        { "cut short", [](const fs::path& bid, const fs::path&) { fs::resize_file(bid, 3u << 20); },
            kReadDataContentFailed, false },
    };
    CSealSpec spec;
    // More blocks than the reading ring holds.
    spec.files = { MakeInput(tmp.Path(), "offer.pdf", (5u << 20) + 3, 1) };
    for (const auto& c : cases) {
        fs::remove(Bid());
        fs::remove(Bid("other.bidx"));
        Seal(spec, Bid());
        Seal(spec, Bid("other.bidx"));
        const std::vector<unsigned char> original = ReadAll(Bid());
        int rc = 0;
        const Handle h = OpenHandle(Bid(), Out(), &rc);
        ASSERT_EQ(rc, 0) << c.change;
        c.apply(Bid(), Bid("other.bidx"));
        std::vector<unsigned char> code(kDigestSize);
        int length = static_cast<int>(code.size());
        EXPECT_EQ(QuarnSecretFileDecryptorVerifyWithCode(h.get(), code.data(), &length), c.expected)
            << c.change;
        if (c.expected == kReadDataContentFailed) {
            EXPECT_EQ(length, 0) << c.change;
            continue;
        }
        ASSERT_EQ(length, static_cast<int>(kDigestSize)) << c.change;
        EXPECT_EQ(code, Sm3(c.codeOfOriginal ? original : ReadAll(Bid()))) << c.change;
    }
}

} // namespace kelvane::bidx::test
