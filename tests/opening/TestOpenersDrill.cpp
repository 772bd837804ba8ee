// The openers' drill on the opening tests' tender: real tokens (one pulled, one without its key, one
// whose certificate expires before the opening, one with a wrong PIN, one renewed since the rules
// were published), the rules server and the log service on loopback.
#include "OpeningBench.h"
#include "app/LanguageCatalogue.h"
#include "app/TextConversion.h"
#include "audit/OperatorSignature.h"
#include "opening/OpenersDrill.h"
#include "tests/support/ScriptedPrompt.h"

#include <QuarnPKI.h>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <openssl/evp.h>
#include <sstream>

namespace fs = std::filesystem;
using namespace kelvane::test;

namespace {

constexpr char kNoKey[] = "Opener D";
constexpr char kExpiring[] = "Opener E";
constexpr char kWrongPin[] = "Opener W";
constexpr char kRenewed[] = "Opener R";
// In the rules in place of the renewed opener's certificate on its token.
constexpr char kRenewedOld[] = "Opener R (old)";

CTestCertRequest Encryption(const std::string& name)
{
    return Request(name, KeyKind::P256, CertUsage::Encryption);
}

std::string& OldRenewedCert()
{
    static std::string text;
    return text;
}

COpeningBench& Bench()
{
    return COpeningBench::Get([](CTestTokenSet& tokens) {
        tokens.AddCertificateOnlyToken(kNoKey, "555555", { Encryption("开标人 D") });
        CTestCertRequest expiring = Encryption("开标人 E");
        expiring.validToSeconds = 600; // the opening is an hour away
        tokens.AddToken(kExpiring, "666666", { expiring });
        tokens.AddToken(
            kWrongPin, "777777", { Request("开标人 W", KeyKind::Rsa2048, CertUsage::Encryption) });
        tokens.AddToken(kRenewed, "888888", { Encryption("开标人 R") });
        OldRenewedCert() = CertBase64(tokens.Ca().Issue(Encryption("开标人 R")).certDer);
    });
}

std::wstring Text(const char* key)
{
    return CLanguageCatalogue::Instance().GetText(key);
}

// The catalogue text with each "%d" filled in turn.
std::wstring Filled(const char* key, std::vector<int> numbers)
{
    std::wstring text = Text(key);
    for (const int number : numbers)
        text.replace(text.find(L"%d"), 2, std::to_wstring(number));
    return text;
}

// Every file below folder with the SHA-256 of its bytes, the local log's folder left out.
std::map<std::string, std::string> Listing(const fs::path& folder)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const std::string path = entry.path().string();
        if (path.find("/logs/") != std::string::npos || !entry.is_regular_file())
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        const std::string content = bytes.str();
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_Digest(content.data(), content.size(), digest, &length, EVP_sha256(), nullptr);
        files[path] = std::string(reinterpret_cast<char*>(digest), length);
    }
    return files;
}

class CLines : public CMsgOutput
{
public:
    void Output(const std::wstring& text, int) override { lines.push_back(text); }
    std::vector<std::wstring> lines;
};

class OpenersDrill : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { Bench(); }

    void SetUp() override
    {
        bench.FreezeAt(0);
        root = bench.folder / ("drill-" + std::to_string(++runNumber));
        fs::create_directories(root / "work" / kProject / "L1");
        setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
        const fs::path file = root / "config" / "QUARN" / "rmw" / "Setting.ini";
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::trunc)
            << "[BidRuleFileURL]\nurl=" << bench.services.Url("/rules")
            << "\n[TimeStampURL]\nurl=" << bench.services.Url("/tsa")
            << "\n[LogService]\nIsSumbitLog=true\n[LogSubmitURL]\nurl=" << bench.services.Url("/log")
            << "\n[LocalLog]\nIsWriteLocalLog=true\n[WorkingDir]\npath=" << (root / "work").string() << "\n";
        SetAuditPrompt(&auditPrompt);
        ASSERT_EQ(CheckOperatorCert(std::chrono::milliseconds(0)), 1);
        firstRecord = bench.Records().size();
    }

    void TearDown() override
    {
        SetAuditPrompt(nullptr);
        for (const char* label : { kOpenerA, kOpenerB, kOpenerC })
            bench.tokens.PutBack(label);
    }

    std::string Cert(const std::string& label) const
    {
        return label == kRenewedOld ? OldRenewedCert() : bench.OpenerCertText(label);
    }

    const CDrillReport& Drill(const std::vector<std::string>& openers, int threshold)
    {
        std::vector<std::string> certs;
        for (const std::string& label : openers)
            certs.push_back(Cert(label));
        bench.WriteRulesFor(static_cast<int>(openers.size()), threshold, certs);
        return drill.Run(Utf8ToWide(kProject));
    }

    COpeningBench& bench = Bench();
    fs::path root;
    size_t firstRecord = 0;
    CScriptedPrompt auditPrompt;
    CScriptedPrompt prompt { {}, IDOK };
    CLines output;
    COpenersDrill drill { prompt, &output };
    static inline int runNumber = 0;
};

TEST_F(OpenersDrill, ReportsEachOpenerAndWhetherTheOpeningCanProceed)
{
    struct CCase
    {
        const char* what;
        std::vector<std::string> openers;
        int threshold;
        const char* pulled; // a token taken out for the drill
        int ready;
        bool canProceed;
        // The one opener not ready, and the reason the report gives for it.
        const char* failing;
        const char* reasonKey;
    };
    const std::vector<CCase> cases = {
        { "all ready", { kOpenerA, kOpenerB, kOpenerC }, 2, nullptr, 3, true, nullptr, nullptr },
        { "one absent, at the threshold", { kOpenerA, kOpenerB, kOpenerC }, 2, kOpenerB, 2, true, "开标人 B",
            "drill_token_absent" },
        { "one absent, below the threshold", { kOpenerA, kOpenerB, kOpenerC }, 3, kOpenerB, 2, false,
            "开标人 B", "drill_token_absent" },
        { "certificate without its key", { kOpenerA, kNoKey }, 2, nullptr, 1, false, "开标人 D",
            "drill_no_key" },
        { "certificate expires before the opening", { kOpenerA, kExpiring }, 2, nullptr, 1, false, "开标人 E",
            "drill_cert_expired" },
        { "renewed certificate", { kOpenerC, kRenewedOld }, 2, nullptr, 1, false, "开标人 R",
            "drill_cert_renewed" },
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.pulled != nullptr)
            bench.tokens.Pull(c.pulled);
        const size_t first = bench.Records().size();
        const CDrillReport& report = Drill(c.openers, c.threshold);
        if (c.pulled != nullptr)
            bench.tokens.PutBack(c.pulled);

        ASSERT_EQ(report.end, CDrillEnd::Completed) << WideToUtf8(report.failure);
        EXPECT_EQ(report.openers.size(), c.openers.size());
        EXPECT_EQ(report.readyCount, c.ready);
        EXPECT_EQ(report.canProceed, c.canProceed);
        EXPECT_EQ(report.practiceOpened, c.ready >= c.threshold)
            << "decrypted in memory from the ready shares";
        for (const COpenerDrill& opener : report.openers) {
            const bool failing = c.failing != nullptr && opener.name == Utf8ToWide(c.failing);
            EXPECT_EQ(opener.Ready(), !failing)
                << WideToUtf8(opener.name) << ": " << WideToUtf8(opener.reason);
            if (failing) {
                EXPECT_NE(opener.reason.find(Text(c.reasonKey)), std::wstring::npos)
                    << WideToUtf8(opener.reason);
            }
        }
        const int total = static_cast<int>(c.openers.size());
        EXPECT_EQ(
            report.verdict.rfind(c.canProceed
                    ? Filled("drill_verdict_ready", { c.ready, total, c.threshold })
                    : Filled("drill_verdict_missing", { c.ready, total, c.threshold, c.threshold - c.ready }),
                0),
            0u)
            << WideToUtf8(report.verdict);
        EXPECT_EQ(output.lines.back(), report.verdict);
        // One record of the whole drill.
        const auto records = bench.RecordsSince(first);
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].message.rfind("开标人演练：", 0), 0u) << records[0].message;
    }
}

TEST_F(OpenersDrill, TriesAWrongPinOnceAndReportsIt)
{
    // The PIN file gives the wrong PIN; the token says one more wrong PIN would lock it.
    const std::string pins = bench.tokens.PinFilePath();
    std::ifstream in(pins);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    const size_t at = all.find(std::string(kWrongPin) + "\t777777");
    ASSERT_NE(at, std::string::npos);
    std::string wrong = all;
    wrong.replace(at, std::string(kWrongPin).size() + 7, std::string(kWrongPin) + "\t000000");
    std::ofstream(pins, std::ios::trunc) << wrong;
    bench.tokens.SetFinalTry(kWrongPin);
    const int loginsBefore = CTestTokenSet::LoginCalls(kWrongPin);

    for (int run = 0; run < 2; ++run) {
        const CDrillReport& report = Drill({ kOpenerA, kWrongPin }, 2);
        ASSERT_EQ(report.openers.size(), 2u);
        const COpenerDrill& opener = report.openers[1];
        EXPECT_TRUE(opener.present && opener.certFound);
        EXPECT_FALSE(opener.shareUnwrapped);
        EXPECT_FALSE(opener.keyPresent.has_value()) << "a token not logged in cannot tell";
        EXPECT_NE(opener.reason.find(Text("drill_wrong_pin")), std::wstring::npos)
            << WideToUtf8(opener.reason);
        EXPECT_NE(opener.pinState & QUARNPKI_PIN_STATE_FINAL_TRY, 0);
        EXPECT_FALSE(report.canProceed);
    }
    EXPECT_EQ(CTestTokenSet::LoginCalls(kWrongPin) - loginsBefore, 1) << "one try, never repeated";
    std::ofstream(pins, std::ios::trunc) << all;
}

TEST_F(OpenersDrill, LeavesTheWorkspaceAsItWas)
{
    // A real bid in the package: the drill never reads, moves or writes it.
    const std::string rules = bench.WriteRules(3, 2, { kOpenerA, kOpenerB, kOpenerC });
    SealBid(root / "work" / kProject / "L1" / "real.bidx", rules, 2, { kOpenerA, kOpenerB, kOpenerC });
    const auto before = Listing(root);
    const auto tenderBefore = Listing(bench.folder / "tender");

    EXPECT_TRUE(Drill({ kOpenerA, kOpenerB, kOpenerC }, 2).canProceed);
    EXPECT_EQ(Listing(root), before) << "no file written, moved or changed but the local log";
    EXPECT_EQ(Listing(bench.folder / "tender"), tenderBefore);
    EXPECT_FALSE(fs::exists(root / "work" / kProject / "L1" / "Open"));
}

TEST_F(OpenersDrill, SaysWhyItCouldNotRun)
{
    const CDrillReport& report = drill.Run(L"NO-SUCH-PROJECT");
    EXPECT_EQ(report.end, CDrillEnd::RulesNotFetched);
    EXPECT_TRUE(report.openers.empty());
    EXPECT_FALSE(report.canProceed);
    EXPECT_EQ(report.verdict.rfind(Text("drill_not_run"), 0), 0u);
    ASSERT_EQ(bench.RecordsSince(firstRecord).size(), 1u);
}

} // namespace
