// kelvane-seal as the bidder runs it: a real process on real files, its output opened through the
// decryptor.
#include "SecretFileTestSupport.h"
#include "tests/support/TestCa.h"

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <optional>
#include <signal.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kelvane::bidx::test {
namespace {

const std::string kSeal = std::string(KELVANE_BINARY_DIR) + "/bin/kelvane-seal";

std::string Text(const std::filesystem::path& path)
{
    const std::vector<unsigned char> bytes = ReadAll(path);
    return std::string(bytes.begin(), bytes.end());
}

std::string Pem(const std::vector<unsigned char>& der)
{
    return "-----BEGIN CERTIFICATE-----\n" + kelvane::test::CertBase64(der) + "\n-----END CERTIFICATE-----\n";
}

void WriteText(const std::filesystem::path& path, const std::string& text)
{
    WriteAll(path, std::vector<unsigned char>(text.begin(), text.end()));
}

// A rules document naming the given openers, two of whom must take part.
void WriteRules(const std::filesystem::path& path, const std::vector<std::vector<unsigned char>>& openers)
{
    std::string rules = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<bidenv><source>"
                        "<projectname>道路工程</projectname><opentime>2026-01-02 09:30:00</opentime>"
                        "<organization>Demo</organization><encalog>SM4</encalog><hashalog>SM3</hashalog>"
                        "<rules><rule><m>"
        + std::to_string(openers.size()) + "</m><n>2</n><openers>";
    for (const auto& der : openers) {
        rules += "<opener><cert>\n" + kelvane::test::CertBase64(der)
            + "\n</cert><participate>YES</participate></opener>";
    }
    rules += "</openers></rule></rules></source></bidenv>\n";
    WriteText(path, rules);
}

// Environment changes for the tool's process only: a value of nullopt unsets the variable.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

class SealToolTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        WriteRules(Rules(), { Opener(0).certDer, Opener(1).certDer, Opener(2).certDer });
        // The openers' certificates are their own authorities: the tender vouches for each.
        WriteText(TenderCa(), Pem(Opener(0).certDer) + Pem(Opener(1).certDer) + Pem(Opener(2).certDer));
        const CIdentity& bidder = BidderWithAwkwardName();
        WriteText(tmp.Path() / "bidder.pem", Pem(bidder.certDer));
        WriteAll(tmp.Path() / "bidder.key",
            std::vector<unsigned char>(bidder.keyPem.begin(), bidder.keyPem.end()));
        std::filesystem::create_directories(tmp.Path() / "in" / "tech" / "sub");
        std::filesystem::create_directories(tmp.Path() / "bids");
        WriteAll(tmp.Path() / "in" / "letter.txt", { 'h', 'i' });
        WriteAll(tmp.Path() / "in" / "tech" / "a.bin", std::vector<unsigned char>(70000, 7));
        WriteAll(tmp.Path() / "in" / "tech" / "sub" / "b.bin", {});
    }

    static const CIdentity& BidderWithAwkwardName()
    {
        static const CIdentity id = MakeIdentity(KeyKind::Rsa2048, "Acme_Works.Ltd", CertUsage::Signature);
        return id;
    }
    std::filesystem::path Rules() const { return tmp.Path() / "rules.xml"; }
    std::filesystem::path Bids() const { return tmp.Path() / "bids"; }
    std::filesystem::path TenderCa() const { return tmp.Path() / "tender-ca.pem"; }

    std::vector<std::string> BaseArgs() const
    {
        return { "--rules", Rules().string(), "--project", "P1", "--package", "L1", "--cert",
            (tmp.Path() / "bidder.pem").string(), "--key", (tmp.Path() / "bidder.key").string(),
            "--tender-ca", TenderCa().string(), "--output-dir", Bids().string() };
    }

    // Starts the tool with stdout and stderr in files; returns its pid.
    pid_t Start(const std::vector<std::string>& args, const std::string& program = kSeal,
        const std::string& outputs = "", const EnvChanges& env = {}, const std::string& input = "")
    {
        const pid_t pid = fork();
        if (pid == 0) {
            // No controlling terminal: a prompt falls back to standard input.
            setsid();
            for (const auto& [name, value] : env) {
                value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
            }
            const int in = open(input.empty() ? "/dev/null" : input.c_str(), O_RDONLY);
            dup2(in, 0);
            const int out
                = open((tmp.Path() / (outputs + "stdout")).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err
                = open((tmp.Path() / (outputs + "stderr")).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(err, 2);
            std::vector<char*> argv { const_cast<char*>(program.c_str()) };
            for (const std::string& a : args) {
                argv.push_back(const_cast<char*>(a.c_str()));
            }
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        return pid;
    }
    int Wait(pid_t pid)
    {
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    int Run(const std::vector<std::string>& args, const EnvChanges& env = {}, const std::string& input = "")
    {
        return Wait(Start(args, kSeal, "", env, input));
    }
    std::string Out() const { return Text(tmp.Path() / "stdout"); }
    std::string Err() const { return Text(tmp.Path() / "stderr"); }

    CTempDir tmp;
};

TEST_F(SealToolTest, SealsFilesAndFoldersIntoANamedBidThatOpens)
{
    std::vector<std::string> args = BaseArgs();
    args.push_back((tmp.Path() / "in" / "letter.txt").string());
    args.push_back((tmp.Path() / "in" / "tech").string() + "/");
    ASSERT_EQ(Run(args), 0) << Err();

    const std::filesystem::path bid = Bids() / "Acme-Works-Ltd_P1_L1.bidx";
    ASSERT_TRUE(std::filesystem::exists(bid)) << Out();
    const std::vector<unsigned char> file = ReadAll(bid);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    ASSERT_EQ(EVP_Digest(file.data(), file.size(), digest, &len, EVP_sm3(), nullptr), 1);
    std::string code;
    for (unsigned int i = 0; i < len; ++i) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02X", digest[i]);
        code += hex;
    }
    EXPECT_NE(Out().find("verification code: " + code), std::string::npos) << Out();

    int rc = 0;
    const Handle h = OpenHandle(bid, tmp.Path() / "Open", &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(QuarnSecretFileDecryptorVerify(h.get()), 0);
    int size = 0;
    ASSERT_EQ(QuarnSecretFileDecryptorGetCustomData(h.get(), nullptr, &size), 0);
    std::vector<unsigned char> custom(static_cast<size_t>(size));
    ASSERT_EQ(QuarnSecretFileDecryptorGetCustomData(h.get(), custom.data(), &size), 0);
    EXPECT_EQ(custom, MakeRulesCustomData(ReadAll(Rules()))) << "the rules travel byte for byte";
    ASSERT_EQ(TryOpener(h.get(), 2), 0);
    ASSERT_EQ(TryOpener(h.get(), 1), 0);
    ASSERT_EQ(QuarnSecretFileDecryptorDecrypt(h.get()), 0);
    const auto tree = ListTree(tmp.Path() / "Open" / "Acme-Works-Ltd_P1_L1");
    ASSERT_EQ(tree.size(), 3u);
    EXPECT_EQ(tree[0].first, "letter.txt");
    EXPECT_EQ(tree[1].first, "tech/a.bin");
    EXPECT_EQ(tree[1].second, std::vector<unsigned char>(70000, 7));
    EXPECT_EQ(tree[2].first, "tech/sub/b.bin");
}

TEST_F(SealToolTest, ExplainsWhatIsWrongAndLeavesExistingFilesAlone)
{
    const std::string input = (tmp.Path() / "in" / "letter.txt").string();
    EXPECT_EQ(Run({}), 2);
    EXPECT_NE(Err().find("usage"), std::string::npos);

    std::vector<std::string> args = BaseArgs();
    args[1] = (tmp.Path() / "missing.xml").string();
    args.push_back(input);
    EXPECT_EQ(Run(args), 1);
    EXPECT_NE(Err().find("cannot read the rules document"), std::string::npos) << Err();

    WriteAll(tmp.Path() / "bad.xml", { '<', 'x', '/', '>' });
    args[1] = (tmp.Path() / "bad.xml").string();
    EXPECT_EQ(Run(args), 1);
    EXPECT_NE(Err().find("fails its checks (code 4)"), std::string::npos) << Err();

    args = BaseArgs();
    args.push_back((tmp.Path() / "in" / "nothing.pdf").string());
    EXPECT_EQ(Run(args), 1);
    EXPECT_NE(Err().find("no such file or folder"), std::string::npos) << Err();

    args = BaseArgs();
    args.push_back(input);
    ASSERT_EQ(Run(args), 0) << Err();
    const std::vector<unsigned char> first = ReadAll(Bids() / "Acme-Works-Ltd_P1_L1.bidx");
    EXPECT_EQ(Run(args), 1);
    EXPECT_NE(Err().find("exists already"), std::string::npos) << Err();
    EXPECT_EQ(ReadAll(Bids() / "Acme-Works-Ltd_P1_L1.bidx"), first);
    EXPECT_EQ(CountEntries(Bids()), 1u);
}

// The rules fetched from the rules server through the rules library are embedded byte for byte.
TEST_F(SealToolTest, FetchesTheRulesFromTheRulesServer)
{
    const std::string server = std::string(KELVANE_BINARY_DIR) + "/bin/kelvane-devserver";
    if (!std::filesystem::exists(server)) {
        GTEST_SKIP() << "kelvane-devserver is not built";
    }
    const auto tender = [&](const std::string& dir, const std::string& project, const std::string& release) {
        std::filesystem::create_directories(tmp.Path() / dir / "rules");
        const std::string json = "{\"project\": \"" + project
            + "\", \"packages\": [\"L1\"], \"projectName\": \"道路工程\", "
              "\"organisation\": \"Demo\", \"openingTime\": \"2026-01-02T09:30:00+08:00\", "
              "\"releaseTime\": \""
            + release + "\", \"m\": 3, \"n\": 2}";
        WriteAll(tmp.Path() / dir / "tender.json", std::vector<unsigned char>(json.begin(), json.end()));
        std::filesystem::copy_file(Rules(), tmp.Path() / dir / "rules" / (project + ".xml"));
        return (tmp.Path() / dir).string();
    };
    const pid_t serverPid
        = Start({ "--tender", tender("released", "P1", "2020-01-01T00:00:00+08:00"), "--tender",
                    tender("later", "P2", "2099-01-01T00:00:00+08:00"), "--port", "0" },
            server, "server-");
    std::string url;
    for (int i = 0; i < 500 && url.empty(); ++i) {
        const std::string out = Text(tmp.Path() / "server-stdout");
        const size_t at = out.find("listening on ");
        const size_t end = out.find('\n', at);
        if (at != std::string::npos && end != std::string::npos) {
            url = out.substr(at + 13, end - at - 13) + "/rules";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_FALSE(url.empty()) << Text(tmp.Path() / "server-stderr");

    std::vector<std::string> args = BaseArgs();
    args[0] = "--rules-url";
    args[1] = url;
    args.push_back((tmp.Path() / "in" / "letter.txt").string());
    EXPECT_EQ(Run(args), 0) << Err();
    args[3] = "P2";
    EXPECT_EQ(Run(args), 1);
    EXPECT_NE(Err().find("not released yet"), std::string::npos) << Err();
    kill(serverPid, SIGTERM);
    Wait(serverPid);

    int rc = 0;
    const Handle h = OpenHandle(Bids() / "Acme-Works-Ltd_P1_L1.bidx", tmp.Path() / "Open", &rc);
    ASSERT_EQ(rc, 0);
    int size = 0;
    ASSERT_EQ(QuarnSecretFileDecryptorGetCustomData(h.get(), nullptr, &size), 0);
    std::vector<unsigned char> custom(static_cast<size_t>(size));
    ASSERT_EQ(QuarnSecretFileDecryptorGetCustomData(h.get(), custom.data(), &size), 0);
    EXPECT_EQ(custom, MakeRulesCustomData(ReadAll(Rules())));
}

TEST_F(SealToolTest, InterruptedRunLeavesNoHalfFile)
{
    // A sparse input large enough to be interrupted while it is sealed.
    const std::filesystem::path big = tmp.Path() / "in" / "big.bin";
    {
        std::ofstream out(big, std::ios::binary);
    }
    std::filesystem::resize_file(big, 8ull << 30);
    std::vector<std::string> args = BaseArgs();
    args.push_back(big.string());
    const pid_t pid = Start(args);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    // The sealing is under way once its temporary file is there.
    while (CountEntries(Bids()) == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_NE(CountEntries(Bids()), 0u) << "the sealing did not start: " << Err();
    kill(pid, SIGINT);
    EXPECT_EQ(Wait(pid), 130);
    EXPECT_NE(Err().find("interrupted; no file was written"), std::string::npos) << Err();
    EXPECT_EQ(CountEntries(Bids()), 0u) << "neither the bid nor its temporary file remains";
    EXPECT_EQ(Err().find("sealing:"), std::string::npos) << "a progress bar only on a terminal";
}

// A rules document can name any certificate: the tool seals only to openers that the tender's
// authority vouches for, valid now, whose key may receive a share.
TEST_F(SealToolTest, RefusesOpenersTheTenderDoesNotVouchFor)
{
    namespace t = kelvane::test;
    t::CTestCa tender("Tender CA");
    t::CTestCa stranger("Stranger CA");
    const t::CTestIssued good
        = tender.Issue(t::Request("Good Opener", t::KeyKind::Rsa2048, t::CertUsage::Encryption));
    const t::CTestIssued goodEc
        = tender.Issue(t::Request("Good EC Opener", t::KeyKind::P256, t::CertUsage::Encryption));
    t::CTestCertRequest expired = t::Request("Expired Opener", t::KeyKind::P256, t::CertUsage::Encryption);
    expired.validFromSeconds = -7200;
    expired.validToSeconds = -60;
    t::CTestCertRequest early = t::Request("Early Opener", t::KeyKind::P256, t::CertUsage::Encryption);
    early.validFromSeconds = 86400;
    const struct
    {
        t::CTestIssued opener;
        std::string reason;
    } cases[] = {
        { stranger.Issue(t::Request("Foreign Opener", t::KeyKind::P256, t::CertUsage::Encryption)),
            "is not issued by the tender's certificate authority (" + (tmp.Path() / "ca.pem").string()
                + ")" },
        { tender.Issue(expired), "its certificate expired on " },
        { tender.Issue(early), "its certificate is not valid before " },
        { tender.Issue(t::Request("Signing RSA Opener", t::KeyKind::Rsa2048, t::CertUsage::Signature)),
            "its RSA key is not for key encipherment (key usage)" },
        { tender.Issue(t::Request("Signing EC Opener", t::KeyKind::P256, t::CertUsage::Signature)),
            "its EC key is not for key agreement (key usage)" },
    };
    WriteText(tmp.Path() / "ca.pem", tender.CertPem());
    std::vector<std::string> args = BaseArgs();
    args[11] = (tmp.Path() / "ca.pem").string();
    args.push_back((tmp.Path() / "in" / "letter.txt").string());
    for (const auto& c : cases) {
        WriteRules(Rules(), { good.certDer, c.opener.certDer, goodEc.certDer });
        EXPECT_EQ(Run(args), 1) << c.reason;
        EXPECT_NE(Err().find("refusing to seal to opener 2 of 3 (CN="), std::string::npos) << Err();
        EXPECT_NE(Err().find(c.reason), std::string::npos) << Err();
        EXPECT_EQ(Err().find("opener 1 of 3"), std::string::npos) << Err();
        EXPECT_EQ(Err().find("opener 3 of 3"), std::string::npos) << Err();
        EXPECT_EQ(CountEntries(Bids()), 0u) << c.reason;
    }

    WriteRules(Rules(), { good.certDer, goodEc.certDer });
    EXPECT_EQ(Run(args), 0) << Err();
}

// Without --tender-ca the first of bidder-ca.pem in the settings folder, KELVANE_BIDDER_CA and the
// system's store decides alone.
TEST_F(SealToolTest, TakesTheTenderAuthorityFromTheSettingsFolderThenTheEnvironment)
{
    namespace t = kelvane::test;
    t::CTestCa tender("Tender CA");
    t::CTestCa other("Other CA");
    WriteRules(Rules(),
        { tender.Issue(t::Request("Opener One", t::KeyKind::Rsa2048, t::CertUsage::Encryption)).certDer,
            tender.Issue(t::Request("Opener Two", t::KeyKind::P256, t::CertUsage::Encryption)).certDer });
    const std::filesystem::path settings = tmp.Path() / "config" / "QUARN" / "rmw";
    std::filesystem::create_directories(settings);
    WriteText(tmp.Path() / "tender.pem", tender.CertPem());
    WriteText(tmp.Path() / "other.pem", other.CertPem());
    std::vector<std::string> args = BaseArgs();
    args.erase(args.begin() + 10, args.begin() + 12); // no --tender-ca
    args.push_back((tmp.Path() / "in" / "letter.txt").string());
    const std::string config = (tmp.Path() / "config").string();
    const struct
    {
        const char* settingsFile; // bidder-ca.pem from this file, or none
        std::optional<std::string> environment;
        int exitCode;
        std::string says;
    } cases[] = {
        { nullptr, std::nullopt, 1, "(the system's certificate store)" },
        { nullptr, (tmp.Path() / "other.pem").string(), 1, "(" + (tmp.Path() / "other.pem").string() + ")" },
        { nullptr, (tmp.Path() / "missing.pem").string(), 1,
            "missing.pem (from KELVANE_BIDDER_CA) cannot be read" },
        { "other.pem", (tmp.Path() / "tender.pem").string(), 1,
            "(" + (settings / "bidder-ca.pem").string() + ")" },
        { "tender.pem", (tmp.Path() / "other.pem").string(), 0, "" },
        { nullptr, (tmp.Path() / "tender.pem").string(), 0, "" },
    };
    for (const auto& c : cases) {
        std::filesystem::remove(settings / "bidder-ca.pem");
        if (c.settingsFile != nullptr) {
            std::filesystem::copy_file(tmp.Path() / c.settingsFile, settings / "bidder-ca.pem");
        }
        std::filesystem::remove_all(Bids());
        std::filesystem::create_directories(Bids());
        EXPECT_EQ(
            Run(args, { { "XDG_CONFIG_HOME", config }, { "KELVANE_BIDDER_CA", c.environment } }), c.exitCode)
            << c.says << Err();
        EXPECT_NE(Err().find(c.says), std::string::npos) << Err();
        EXPECT_EQ(CountEntries(Bids()), c.exitCode == 0 ? 1u : 0u);
    }
}

// The bidder's key is held to the certificate before any input is read, and an encrypted key asks
// for its passphrase once.
TEST_F(SealToolTest, ChecksTheBiddersKeyBeforeSealing)
{
    const std::string input = (tmp.Path() / "in" / "letter.txt").string();
    WriteAll(
        tmp.Path() / "other.key", std::vector<unsigned char>(Bidder().keyPem.begin(), Bidder().keyPem.end()));
    std::vector<std::string> args = BaseArgs();
    args[9] = (tmp.Path() / "other.key").string();
    args.push_back((tmp.Path() / "in" / "not-there.pdf").string());
    EXPECT_EQ(Run(args), 1);
    EXPECT_NE(Err().find("the private key " + args[9] + " does not belong to the bidder's certificate"),
        std::string::npos)
        << Err();
    EXPECT_EQ(Err().find("no such file"), std::string::npos) << "the key is checked first: " << Err();

    // The bidder's key under a passphrase, as PKCS#8 PEM.
    {
        const kelvane::test::PkeyPtr key = kelvane::test::KeyFromPem(BidderWithAwkwardName().keyPem);
        ASSERT_TRUE(key);
        std::unique_ptr<BIO, decltype(&BIO_free)> bio(
            BIO_new_file((tmp.Path() / "locked.key").c_str(), "w"), BIO_free);
        ASSERT_EQ(PEM_write_bio_PKCS8PrivateKey(bio.get(), key.get(), EVP_aes_256_cbc(), nullptr, 0, nullptr,
                      const_cast<char*>("correct horse")),
            1);
    }
    WriteText(tmp.Path() / "right", "correct horse\n");
    WriteText(tmp.Path() / "wrong", "wrong horse\n");
    const struct
    {
        std::vector<std::string> extra; // after --key
        std::string stdinFile;
        int exitCode;
        std::string says;
    } cases[] = {
        { { "--passphrase-file", (tmp.Path() / "wrong").string() }, "", 1,
            "wrong passphrase for the private key " + (tmp.Path() / "locked.key").string() },
        { {}, (tmp.Path() / "wrong").string(), 1, "wrong passphrase" },
        { {}, "", 1, "no passphrase was given" },
        { { "--passphrase-file", (tmp.Path() / "missing").string() }, "", 1,
            "cannot read the passphrase file" },
        { { "--passphrase-file", (tmp.Path() / "right").string() }, "", 0, "" },
        { {}, (tmp.Path() / "right").string(), 0, "passphrase of " },
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all(Bids());
        std::filesystem::create_directories(Bids());
        args = BaseArgs();
        args[9] = (tmp.Path() / "locked.key").string();
        args.insert(args.begin() + 10, c.extra.begin(), c.extra.end());
        args.push_back(input);
        EXPECT_EQ(Run(args, {}, c.stdinFile), c.exitCode) << c.says << Err();
        EXPECT_NE(Err().find(c.says), std::string::npos) << Err();
        const std::string err = Err();
        const size_t prompt = err.find("passphrase of ");
        EXPECT_EQ(prompt != std::string::npos, c.extra.empty())
            << "a prompt only without a passphrase file: " << err;
        if (prompt != std::string::npos) {
            EXPECT_EQ(err.find("passphrase of ", prompt + 1), std::string::npos)
                << "one prompt only: " << err;
        }
        EXPECT_EQ(CountEntries(Bids()), c.exitCode == 0 ? 1u : 0u) << c.says;
    }
    int rc = 0;
    const Handle h = OpenHandle(Bids() / "Acme-Works-Ltd_P1_L1.bidx", tmp.Path() / "Open", &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(QuarnSecretFileDecryptorVerify(h.get()), 0) << "signed with the unlocked key";
}

} // namespace
} // namespace kelvane::bidx::test
