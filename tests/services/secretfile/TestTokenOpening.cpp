// Opening with the openers' keys on SoftHSM tokens, through the PKI library: tokens come and go
// through the forwarding module, PINs come from the token set's PIN file.
#include "BidFormat.h"
#include "PkiSealSigner.h"
#include "SecretFileTestSupport.h"
#include "TestTokenSet.h"

#include <gtest/gtest.h>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

namespace kelvane::bidx::test {
namespace {

using kelvane::test::CertUsage;
using kelvane::test::CTestTokenSet;
using kelvane::test::Request;
namespace kt = kelvane::test;

std::string Label(int opener)
{
    return "开标人 Opener " + std::to_string(opener);
}

CTestTokenSet& Tokens()
{
    static CTestTokenSet set = [] {
        CTestTokenSet s;
        for (int i = 1; i <= 5; ++i) {
            const kt::KeyKind kind = i % 2 == 1 ? kt::KeyKind::Rsa2048 : kt::KeyKind::P256;
            s.AddToken(Label(i), std::to_string(100000 + i),
                { Request("Opener " + std::to_string(i), kind, CertUsage::Encryption) });
        }
        s.AddToken(
            "Bidder Key", "424242", { Request("Token_Bidder.Co", kt::KeyKind::P256, CertUsage::Signature) });
        s.Activate(true);
        return s;
    }();
    return set;
}

const std::vector<unsigned char>& OpenerCert(int opener)
{
    return Tokens().Token(Label(opener)).keys[0].certDer;
}

// Only the openers listed have their tokens inserted.
void Present(const std::set<int>& openers)
{
    for (int i = 1; i <= 5; ++i) {
        if (openers.count(i) != 0) {
            Tokens().PutBack(Label(i));
        } else {
            Tokens().Pull(Label(i));
        }
    }
}

class TokenOpeningTest : public ::testing::Test
{
protected:
    void SetUp() override { Tokens(); }

    // Sealed with the bidder's key on its token.
    void SealTo(const std::vector<int>& openers, int threshold, const std::filesystem::path& bid)
    {
        const std::filesystem::path input = tmp.Path() / "offer.bin";
        std::vector<unsigned char> content(kChunkSize * 2 + 333);
        for (size_t i = 0; i < content.size(); ++i) {
            content[i] = static_cast<unsigned char>(i % 253);
        }
        WriteAll(input, content);
        const std::vector<unsigned char>& bidderCert = Tokens().Token("Bidder Key").keys[0].certDer;
        CPkiSealSigner signer(bidderCert);
        ASSERT_TRUE(signer.Ok());
        CSealRequest request;
        request.signerCert = bidderCert;
        request.signer = &signer;
        request.customData = MakeRulesCustomData({ 'r' });
        request.threshold = threshold;
        for (const int o : openers) {
            request.openerCerts.push_back(OpenerCert(o));
        }
        request.files = { { input.string(), "offer.bin" } };
        ASSERT_EQ(SealBidFile(request, bid.string(), nullptr), 0);
    }

    std::vector<std::vector<unsigned char>> Contributors(CQuarnFileDecryptor* h)
    {
        int count = 0;
        EXPECT_EQ(QuarnSecretFileDecryptorGetCrackerNum(h, &count), 0);
        std::vector<std::vector<unsigned char>> certs;
        for (int i = 0; i < count; ++i) {
            int len = 0;
            EXPECT_EQ(QuarnSecretFileDecryptorGetCrackerCert(h, i, nullptr, &len), 0);
            std::vector<unsigned char> cert(static_cast<size_t>(len));
            EXPECT_EQ(QuarnSecretFileDecryptorGetCrackerCert(h, i, cert.data(), &len), 0);
            certs.push_back(cert);
        }
        std::sort(certs.begin(), certs.end());
        return certs;
    }

    CTempDir tmp;
};

TEST_F(TokenOpeningTest, TwoOfThreeNeedsTwoTokensAndEveryPairOpensTheSameBytes)
{
    const std::filesystem::path bid = tmp.Path() / "b_P_L.bidx";
    SealTo({ 1, 2, 3 }, 2, bid);
    const std::filesystem::path out = tmp.Path() / "Open";
    {
        Present({ 2 });
        int rc = 0;
        const Handle h = OpenHandle(bid, out, &rc);
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(QuarnSecretFileDecryptorVerify(h.get()), 0) << "verifying needs no token";
        EXPECT_EQ(QuarnSecretFileDecryptorTry(h.get()), 0);
        EXPECT_EQ(QuarnSecretFileDecryptorTry(h.get()), 0);
        EXPECT_NE(QuarnSecretFileDecryptorGetStatus(h.get()), 0);
        EXPECT_EQ(Contributors(h.get()), (std::vector<std::vector<unsigned char>> { OpenerCert(2) }))
            << "the same token tried twice counts once";
        EXPECT_EQ(QuarnSecretFileDecryptorDecrypt(h.get()), kDecryptConditionNotEnough);
        EXPECT_EQ(CountEntries(out), 0u);

        Present({ 3 });
        EXPECT_EQ(QuarnSecretFileDecryptorTry(h.get()), 0);
        EXPECT_EQ(QuarnSecretFileDecryptorGetStatus(h.get()), 0) << "shares gathered one by one accumulate";
        auto expected = std::vector<std::vector<unsigned char>> { OpenerCert(2), OpenerCert(3) };
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(Contributors(h.get()), expected);
    }
    const std::vector<std::set<int>> pairs = { { 1, 2 }, { 1, 3 }, { 2, 3 } };
    std::vector<std::pair<std::string, std::vector<unsigned char>>> first;
    for (size_t i = 0; i < pairs.size(); ++i) {
        SCOPED_TRACE(i);
        Present(pairs[i]);
        int rc = 0;
        const Handle h = OpenHandle(bid, out, &rc);
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(QuarnSecretFileDecryptorTry(h.get()), 0);
        ASSERT_EQ(QuarnSecretFileDecryptorDecrypt(h.get()), 0);
        const std::string folder = i == 0 ? "b_P_L" : "b_P_L (" + std::to_string(i + 1) + ")";
        const auto tree = ListTree(out / folder);
        ASSERT_EQ(tree.size(), 1u);
        if (i == 0) {
            first = tree;
        } else {
            EXPECT_EQ(tree, first);
        }
    }
}

TEST_F(TokenOpeningTest, ThreeOfFiveOpensWithAnyThreeAndNotWithTwo)
{
    const std::filesystem::path bid = tmp.Path() / "five.bidx";
    SealTo({ 1, 2, 3, 4, 5 }, 3, bid);
    const std::filesystem::path out = tmp.Path() / "Open";
    {
        Present({ 4, 5 });
        int rc = 0;
        const Handle h = OpenHandle(bid, out, &rc);
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(QuarnSecretFileDecryptorTry(h.get()), 0);
        EXPECT_NE(QuarnSecretFileDecryptorGetStatus(h.get()), 0);
        EXPECT_EQ(QuarnSecretFileDecryptorDecrypt(h.get()), kDecryptConditionNotEnough);
    }
    for (const std::set<int>& three :
        { std::set<int> { 1, 2, 3 }, std::set<int> { 1, 4, 5 }, std::set<int> { 2, 3, 5 } }) {
        Present(three);
        int rc = 0;
        const Handle h = OpenHandle(bid, out, &rc);
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(QuarnSecretFileDecryptorTry(h.get()), 0);
        EXPECT_EQ(Contributors(h.get()).size(), 3u);
        EXPECT_EQ(QuarnSecretFileDecryptorDecrypt(h.get()), 0);
    }
    EXPECT_EQ(CountEntries(out), 3u);
}

TEST_F(TokenOpeningTest, NoOpenerTokenGivesNoKey)
{
    const std::filesystem::path bid = tmp.Path() / "none.bidx";
    SealTo({ 1, 2, 3 }, 2, bid);
    Present({ 4, 5 });
    int rc = 0;
    const Handle h = OpenHandle(bid, tmp.Path() / "Open", &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(QuarnSecretFileDecryptorTry(h.get()), kGetKeypairFailed);
}

// Damage and a forged share are caught the same way when the shares come from tokens.
TEST_F(TokenOpeningTest, TamperingAndForgedSharesAreRefusedWithTokens)
{
    const std::filesystem::path bid = tmp.Path() / "t.bidx";
    const std::filesystem::path out = tmp.Path() / "Open";
    CSealSpec spec;
    std::vector<unsigned char> content(kChunkSize + 10, 0x61);
    WriteAll(tmp.Path() / "in.bin", content);
    spec.files = { { (tmp.Path() / "in.bin").string(), "in.bin" } };
    CSoftwareSealSigner signer = MakeSigner(Bidder());
    CSealRequest request = MakeRequest(spec, signer);
    request.openerCerts = { OpenerCert(1), OpenerCert(2), OpenerCert(3) };
    ASSERT_EQ(SealBidFile(request, bid.string(), nullptr), 0);
    const std::vector<unsigned char> good = ReadAll(bid);
    const auto decryptWith = [&](const std::set<int>& tokens) {
        Present(tokens);
        int rc = 0;
        const Handle h = OpenHandle(bid, out, &rc);
        if (rc != 0) {
            return rc;
        }
        if (const int tried = QuarnSecretFileDecryptorTry(h.get()); tried != 0) {
            return tried;
        }
        return QuarnSecretFileDecryptorDecrypt(h.get());
    };

    std::vector<unsigned char> flipped = good;
    flipped[LayoutOf(good).headerSize + 5000] ^= 0x04;
    WriteAll(bid, flipped);
    EXPECT_EQ(decryptWith({ 1, 2 }), kHashVerifyFailed);
    EXPECT_EQ(CountEntries(out), 0u);

    WriteAll(bid, good);
    ResignWithHeader(bid, [](CBidHeader& header) {
        CKey bogus;
        bogus.bytes.fill(0x5A);
        COpenerRecord& rec = header.openers[2];
        ASSERT_EQ(WrapShare(rec.cert, rec.method, header.fileId, rec.shareNumber,
                      MakeSharePlain(header.fileId, rec.shareNumber, bogus), rec.wrapped),
            0);
    });
    EXPECT_EQ(decryptWith({ 1, 3 }), kShareComposeFailed);
    EXPECT_EQ(CountEntries(out), 0u);
    EXPECT_EQ(decryptWith({ 1, 2, 3 }), 0) << "the two honest shares among three open it";
    EXPECT_EQ(ReadAll(out / "t" / "in.bin"), content);
}

// The bidder's tool, run as a program on token-held openers' certificates, makes a bid that the
// opening opens with the tokens.
TEST_F(TokenOpeningTest, BidFromTheSealingToolOpensWithTokens)
{
    std::string rules = "<bidenv><source><projectname>P</projectname><opentime>2026-01-01 10:00:00</opentime>"
                        "<organization>O</organization><encalog>e</encalog><hashalog>h</hashalog>"
                        "<rules><rule><m>3</m><n>2</n><openers>";
    for (int i = 1; i <= 3; ++i) {
        rules += "<opener><cert>" + Tokens().Token(Label(i)).keys[0].certPem
            + "</cert><participate>YES</participate></opener>";
    }
    rules += "</openers></rule></rules></source></bidenv>";
    WriteAll(tmp.Path() / "rules.xml", std::vector<unsigned char>(rules.begin(), rules.end()));
    const std::string& certPem = Tokens().Token("Bidder Key").keys[0].certPem;
    WriteAll(tmp.Path() / "bidder.pem", std::vector<unsigned char>(certPem.begin(), certPem.end()));
    WriteAll(tmp.Path() / "letter.txt", { 'b', 'i', 'd' });
    const std::string& caPem = Tokens().Ca().CertPem();
    WriteAll(tmp.Path() / "ca.pem", std::vector<unsigned char>(caPem.begin(), caPem.end()));
    std::filesystem::create_directories(tmp.Path() / "bids");

    const std::string seal = std::string(KELVANE_BINARY_DIR) + "/bin/kelvane-seal";
    const pid_t pid = fork();
    if (pid == 0) {
        execl(seal.c_str(), seal.c_str(), "--rules", (tmp.Path() / "rules.xml").c_str(), "--project", "P9",
            "--package", "L2", "--cert", (tmp.Path() / "bidder.pem").c_str(), "--key-on-token", "--tender-ca",
            (tmp.Path() / "ca.pem").c_str(), "--output-dir", (tmp.Path() / "bids").c_str(), "--quiet",
            (tmp.Path() / "letter.txt").c_str(), nullptr);
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    const std::filesystem::path bid = tmp.Path() / "bids" / "Token-Bidder-Co_P9_L2.bidx";
    Present({ 1, 3 });
    int rc = 0;
    const Handle h = OpenHandle(bid, tmp.Path() / "Open", &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(QuarnSecretFileDecryptorVerify(h.get()), 0);
    EXPECT_EQ(QuarnSecretFileDecryptorTry(h.get()), 0);
    ASSERT_EQ(QuarnSecretFileDecryptorDecrypt(h.get()), 0);
    EXPECT_EQ(ReadAll(tmp.Path() / "Open" / "Token-Bidder-Co_P9_L2" / "letter.txt"),
        (std::vector<unsigned char> { 'b', 'i', 'd' }));
}

} // namespace
} // namespace kelvane::bidx::test
