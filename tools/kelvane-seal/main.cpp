// kelvane-seal: the bidder's tool. Seals a bid's files to the openers of a tender's rules, embeds
// the rules, signs with the bidder's certificate and prints the file's verification code.
#include "BidSealer.h"
#include "BidderKey.h"
#include "OpenerTrust.h"
#include "PkiPrompts.h"
#include "PkiSealSigner.h"
#include "RulesSource.h"
#include "SealInputs.h"
#include "SealProgress.h"
#include "app/PkiSettings.h"
#include "app/cli/CommandLine.h"
#include "core/RulesParser.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <signal.h>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace kelvane::bidx;
namespace seal = kelvane::seal;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

volatile sig_atomic_t g_interrupted = 0;

void OnSignal(int)
{
    g_interrupted = 1;
}

const char kUsage[]
    = "usage: kelvane-seal (--rules FILE | --rules-url URL) --project P --package L\n"
      "                    --cert CERT.pem (--key KEY.pem [--passphrase-file F] | --key-on-token)\n"
      "                    [--tender-ca CA.pem] [--output-dir DIR] [--quiet] FILE|FOLDER...\n"
      "\n"
      "Seals the files and folders given to the openers of the tender's rules, with the rules'\n"
      "threshold, embeds the rules, signs with the bidder's certificate and key, and writes\n"
      "<bidder>_<project>_<package>.bidx into DIR (default: the current folder). Prints the path\n"
      "and the file's verification code. Each file keeps its own name inside the bid; a folder\n"
      "keeps its name and everything below it.\n"
      "\n"
      "Nothing is sealed unless every opener's certificate in the rules is issued by the tender's\n"
      "certificate authority, valid now, and allowed to receive a share (key usage keyEncipherment\n"
      "for RSA, keyAgreement for EC, when the certificate restricts its key), and unless the key\n"
      "belongs to the bidder's certificate.\n"
      "\n"
      "  --rules FILE       the rules document, byte for byte as the rules server releases it\n"
      "  --rules-url URL    fetch the rules of --project from the rules server instead\n"
      "  --key KEY.pem      the bidder's private key, PEM or DER; when it is encrypted its passphrase\n"
      "                     is asked once on the terminal (not echoed; standard input without one)\n"
      "  --passphrase-file F  the key's passphrase is the first line of F instead (no prompt)\n"
      "  --key-on-token     sign with the certificate's private key on a token (asks for its PIN)\n"
      "  --tender-ca CA.pem the tender's certificate authority (PEM, every certificate in it is\n"
      "                     trusted); without it the first of: bidder-ca.pem in the settings folder\n"
      "                     ($XDG_CONFIG_HOME/QUARN/rmw, default ~/.config/QUARN/rmw), the file\n"
      "                     named by KELVANE_BIDDER_CA, the system's certificate store\n"
      "  --quiet            no progress on standard error\n";

struct COptions
{
    std::string rulesFile;
    std::string rulesUrl;
    std::string project;
    std::string package;
    std::string certFile;
    std::string keyFile;
    std::string passphraseFile;
    std::string tenderCa;
    std::string outputDir = ".";
    bool keyOnToken = false;
    bool quiet = false;
    std::vector<std::string> inputs;
};

void Fail(const std::string& message)
{
    std::fprintf(stderr, "kelvane-seal: %s\n", message.c_str());
}

std::optional<COptions> ParseOptions(int argc, char** argv)
{
    COptions o;
    const CCommandLine line = ReadCommandLine("kelvane-seal", kUsage,
        {
            { "rules", true, StoreValue(o.rulesFile) },
            { "rules-url", true, StoreValue(o.rulesUrl) },
            { "project", true, StoreValue(o.project) },
            { "package", true, StoreValue(o.package) },
            { "cert", true, StoreValue(o.certFile) },
            { "key", true, StoreValue(o.keyFile) },
            { "passphrase-file", true, StoreValue(o.passphraseFile) },
            { "tender-ca", true, StoreValue(o.tenderCa) },
            { "output-dir", true, StoreValue(o.outputDir) },
            { "key-on-token", false, SetFlag(o.keyOnToken) },
            { "quiet", false, SetFlag(o.quiet) },
        },
        argc, argv);
    // --help, --version and a command line that cannot be read end here, the last without the
    // whole usage after its reason.
    if (line.exitStatus)
        std::exit(*line.exitStatus);
    o.inputs = line.operands;
    if (o.rulesFile.empty() == o.rulesUrl.empty()) {
        Fail("give the rules either as --rules FILE or as --rules-url URL");
        return std::nullopt;
    }
    if (o.project.empty() || o.package.empty() || o.certFile.empty() || o.inputs.empty()) {
        Fail("--project, --package, --cert and at least one file or folder are needed");
        return std::nullopt;
    }
    if (o.keyFile.empty() == !o.keyOnToken) {
        Fail("give the bidder's key either as --key FILE or as --key-on-token");
        return std::nullopt;
    }
    if (!o.passphraseFile.empty() && o.keyFile.empty()) {
        Fail("--passphrase-file goes with --key");
        return std::nullopt;
    }
    // Project and package become part of the file name.
    for (const std::string* part : { &o.project, &o.package }) {
        if (part->find('/') != std::string::npos || *part == "." || *part == "..") {
            Fail("project and package numbers may not contain '/'");
            return std::nullopt;
        }
    }
    return o;
}

} // namespace

int main(int argc, char** argv)
{
    const std::optional<COptions> options = ParseOptions(argc, argv);
    if (!options) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    struct sigaction action
    {
    };
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    kelvane::SupplyPkiSettings();
    kelvane::InstallTerminalPkiPrompts();

    std::string error;
    const std::optional<std::vector<unsigned char>> rules = options->rulesUrl.empty()
        ? seal::ReadFile(options->rulesFile)
        : seal::FetchRules(options->rulesUrl, options->project, error);
    if (!rules) {
        Fail(options->rulesUrl.empty() ? "cannot read the rules document " + options->rulesFile : error);
        return kExitFailed;
    }
    CRulesContent content;
    const std::string text(rules->begin(), rules->end());
    if (const int rc = rules::ParseRules(text.c_str(), content); rc != 0 || !content.bidRules) {
        Fail("the rules document fails its checks (code " + std::to_string(rc) + ")");
        return kExitFailed;
    }

    // The openers are checked before anything else is asked for: a refusal needs no passphrase.
    std::string anchorError;
    const std::optional<seal::CTenderAnchors> anchors
        = seal::LoadTenderAnchors(options->tenderCa, anchorError);
    if (!anchors) {
        Fail(anchorError);
        return kExitFailed;
    }
    bool openersOk = true;
    const size_t openerCount = content.bidRules->certs.size();
    for (size_t i = 0; i < openerCount; ++i) {
        const std::vector<unsigned char>& opener = content.bidRules->certs[i].data;
        if (const std::string refusal = seal::OpenerRefusal(opener, *anchors); !refusal.empty()) {
            Fail("refusing to seal to opener " + std::to_string(i + 1) + " of " + std::to_string(openerCount)
                + " (" + seal::SubjectLine(opener) + "): " + refusal);
            openersOk = false;
        }
    }
    if (!openersOk) {
        Fail("nothing was sealed: the rules name openers that the tender's certificate authority does not "
             "vouch for");
        return kExitFailed;
    }

    const auto cert = seal::ReadFile(options->certFile);
    Cert bidderCert = cert ? DecodeCertificate(cert->data(), cert->size()) : nullptr;
    if (!bidderCert) {
        Fail("cannot read the bidder's certificate " + options->certFile);
        return kExitFailed;
    }
    const std::string bidder = seal::BidderName(*cert);
    if (bidder.empty()) {
        Fail("the certificate " + options->certFile + " has neither a common name nor an organisation");
        return kExitFailed;
    }
    std::unique_ptr<ISealSigner> signer;
    if (options->keyOnToken) {
        auto onToken = std::make_unique<CPkiSealSigner>(*cert);
        if (!onToken->Ok()) {
            Fail("no token present holds the private key of " + options->certFile);
            return kExitFailed;
        }
        signer = std::move(onToken);
    } else {
        seal::CBidderKeyResult key = seal::LoadBidderKey(options->keyFile, options->passphraseFile);
        if (!key.key) {
            Fail(key.error);
            return kExitFailed;
        }
        if (!seal::KeyBelongsTo(key.key.get(), bidderCert.get())) {
            Fail("the private key " + options->keyFile + " does not belong to the bidder's certificate "
                + options->certFile + " (" + seal::SubjectLine(*cert) + "); nothing was sealed");
            return kExitFailed;
        }
        signer = std::make_unique<CSoftwareSealSigner>(std::move(bidderCert), PKey(key.key.release()));
    }

    CSealRequest request;
    request.signerCert = *cert;
    request.signer = signer.get();
    request.customData = MakeRulesCustomData(*rules);
    request.threshold = content.bidRules->minimum;
    for (const COpenerCert& opener : content.bidRules->certs) {
        request.openerCerts.push_back(opener.data);
    }
    if (!seal::CollectInputs(options->inputs, request.files, error)) {
        Fail(error);
        return kExitFailed;
    }
    seal::CProgress progress(options->quiet, g_interrupted);
    request.progress = [&](uint64_t done, uint64_t total) { return progress.Update(done, total); };

    const fs::path output
        = fs::path(options->outputDir) / (bidder + "_" + options->project + "_" + options->package + ".bidx");
    // Refused again, without a race, when the sealed file is renamed into place.
    std::error_code ec;
    if (fs::exists(fs::symlink_status(output, ec))) {
        Fail("the output file exists already: " + output.string());
        return kExitFailed;
    }
    CSealResult result;
    const int rc = g_interrupted ? kSealCancelled : SealBidFile(request, output.string(), &result);
    progress.End();
    if (rc == kSealCancelled) {
        Fail("interrupted; no file was written");
        return kExitInterrupted;
    }
    if (rc != 0) {
        Fail(seal::SealFailureText(rc) + " (code " + std::to_string(rc) + ")"
            + (rc == kFileExist ? ": " + output.string() : std::string()));
        return kExitFailed;
    }
    std::printf("%s\nverification code: %s\n", output.c_str(), result.verificationCode.c_str());
    return kExitOk;
}
