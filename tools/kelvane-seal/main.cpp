// kelvane-seal: the bidder's tool. Seals a bid's files to the openers of a tender's rules, embeds
// the rules, signs with the bidder's certificate and prints the file's verification code.
#include "BidSealer.h"
#include "BidderKey.h"
#include "OpenerTrust.h"
#include "PkiSealSigner.h"
#include "PkiPrompts.h"
#include "Quelvar.h"
#include "app/PkiSettings.h"
#include "core/RulesParser.h"

#include <openssl/x509.h>

#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace kelvane::bidx;

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

const char kUsage[] =
    "usage: kelvane-seal (--rules FILE | --rules-url URL) --project P --package L\n"
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

struct COptions {
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
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&](std::string& into) {
            if (i + 1 >= argc) {
                Fail(arg + " needs a value");
                return false;
            }
            into = argv[++i];
            return true;
        };
        bool ok = true;
        if (arg == "--rules") {
            ok = value(o.rulesFile);
        } else if (arg == "--rules-url") {
            ok = value(o.rulesUrl);
        } else if (arg == "--project") {
            ok = value(o.project);
        } else if (arg == "--package") {
            ok = value(o.package);
        } else if (arg == "--cert") {
            ok = value(o.certFile);
        } else if (arg == "--key") {
            ok = value(o.keyFile);
        } else if (arg == "--passphrase-file") {
            ok = value(o.passphraseFile);
        } else if (arg == "--tender-ca") {
            ok = value(o.tenderCa);
        } else if (arg == "--output-dir") {
            ok = value(o.outputDir);
        } else if (arg == "--key-on-token") {
            o.keyOnToken = true;
        } else if (arg == "--quiet") {
            o.quiet = true;
        } else if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(kExitOk);
        } else if (arg == "--") {
            o.inputs.insert(o.inputs.end(), argv + i + 1, argv + argc);
            break;
        } else if (arg.size() > 1 && arg[0] == '-') {
            Fail("unknown option " + arg);
            ok = false;
        } else {
            o.inputs.push_back(arg);
        }
        if (!ok) {
            return std::nullopt;
        }
    }
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
    for (const std::string* part : {&o.project, &o.package}) {
        if (part->find('/') != std::string::npos || *part == "." || *part == "..") {
            Fail("project and package numbers may not contain '/'");
            return std::nullopt;
        }
    }
    return o;
}

std::optional<std::vector<unsigned char>> ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        return std::nullopt;
    }
    return bytes;
}

// The rules library is loaded only when the rules are fetched: beside the program first
// (build/lib, or lib/ of an installation), then wherever the loader looks.
class CQuelvarLibrary {
public:
    bool Load()
    {
        const fs::path self = fs::read_symlink("/proc/self/exe");
        for (const std::string& candidate : {(self.parent_path() / "../lib/libquelvar.so").string(),
                                              std::string("libquelvar.so")}) {
            handle_ = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (handle_ != nullptr) {
                break;
            }
        }
        return handle_ != nullptr && Bind(createHandle, "QuelvarCreateHandle") &&
               Bind(releaseHandle, "QuelvarReleaseHandle") && Bind(setTargetUrl, "QuelvarSetTargetUrl") &&
               Bind(getRules, "QuelvarGetRules") && Bind(getFileLen, "QuelvarGetFileLen") &&
               Bind(getFileData, "QuelvarGetFileData");
    }
    ~CQuelvarLibrary()
    {
        if (handle_ != nullptr) {
            dlclose(handle_);
        }
    }

    decltype(&QuelvarCreateHandle) createHandle = nullptr;
    decltype(&QuelvarReleaseHandle) releaseHandle = nullptr;
    decltype(&QuelvarSetTargetUrl) setTargetUrl = nullptr;
    decltype(&QuelvarGetRules) getRules = nullptr;
    decltype(&QuelvarGetFileLen) getFileLen = nullptr;
    decltype(&QuelvarGetFileData) getFileData = nullptr;

private:
    template <typename F>
    bool Bind(F& into, const char* name)
    {
        into = reinterpret_cast<F>(dlsym(handle_, name));
        return into != nullptr;
    }
    void* handle_ = nullptr;
};

// The rules through the rules library, so that the embedded bytes are exactly those the opening
// will compare.
std::optional<std::vector<unsigned char>> FetchRules(const std::string& url, const std::string& project)
{
    CQuelvarLibrary lib;
    if (!lib.Load()) {
        Fail("cannot load the rules library libquelvar.so");
        return std::nullopt;
    }
    CQuelvar* handle = nullptr;
    if (lib.createHandle(&handle) != 0) {
        Fail("cannot create a rules handle");
        return std::nullopt;
    }
    const std::unique_ptr<CQuelvar, decltype(&QuelvarReleaseHandle)> owned(handle, lib.releaseHandle);
    if (lib.setTargetUrl(handle, url.c_str()) != 0) {
        Fail("not a URL: " + url);
        return std::nullopt;
    }
    const std::string query = "projectid=" + project;
    if (const int rc = lib.getRules(handle, query.data(), static_cast<int>(query.size())); rc != 0) {
        Fail("the rules of project " + project + " could not be fetched from " + url + " (code " +
             std::to_string(rc) + (rc == 26 ? ": not released yet)" : ")"));
        return std::nullopt;
    }
    long length = 0;
    if (lib.getFileLen(handle, &length) != 0 || length <= 0) {
        Fail("the rules server sent an empty rules document");
        return std::nullopt;
    }
    std::vector<unsigned char> bytes(static_cast<size_t>(length));
    if (lib.getFileData(handle, reinterpret_cast<char*>(bytes.data())) != 0) {
        Fail("cannot read the fetched rules document");
        return std::nullopt;
    }
    return bytes;
}

// The bidder's name as the file name shows it: the certificate's common name, else its
// organisation, with '_' (the import splits names there), '.' and '/' replaced by '-'.
std::string BidderName(const std::vector<unsigned char>& certBytes)
{
    const Cert cert = DecodeCertificate(certBytes.data(), certBytes.size());
    if (!cert) {
        return {};
    }
    const X509_NAME* subject = X509_get_subject_name(cert.get());
    for (const int nid : {NID_commonName, NID_organizationName}) {
        const int index = X509_NAME_get_index_by_NID(subject, nid, -1);
        if (index < 0) {
            continue;
        }
        unsigned char* utf8 = nullptr;
        const int len = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
        if (len <= 0) {
            OPENSSL_free(utf8);
            continue;
        }
        std::string name(reinterpret_cast<char*>(utf8), static_cast<size_t>(len));
        OPENSSL_free(utf8);
        for (char& c : name) {
            if (c == '_' || c == '.' || c == '/' || static_cast<unsigned char>(c) < 0x20) {
                c = '-';
            }
        }
        return name;
    }
    return {};
}

// Each argument keeps its own name; a folder brings everything below it under its name.
bool CollectInputs(const std::vector<std::string>& inputs, std::vector<CSealFile>& files)
{
    for (const std::string& input : inputs) {
        std::error_code ec;
        const fs::path path = fs::weakly_canonical(fs::path(input), ec);
        const fs::file_status status = fs::status(path, ec);
        if (ec || !fs::exists(status)) {
            Fail("no such file or folder: " + input);
            return false;
        }
        const std::string base = path.filename().string();
        if (fs::is_regular_file(status)) {
            files.push_back({path.string(), base});
            continue;
        }
        if (!fs::is_directory(status)) {
            Fail("neither a file nor a folder: " + input);
            return false;
        }
        std::vector<CSealFile> found;
        for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
            if (it->is_directory()) {
                continue;
            }
            if (!it->is_regular_file()) {
                Fail("not a regular file: " + it->path().string());
                return false;
            }
            found.push_back({it->path().string(), base + "/" + fs::relative(it->path(), path).generic_string()});
        }
        if (ec) {
            Fail("cannot read the folder " + input + ": " + ec.message());
            return false;
        }
        std::sort(found.begin(), found.end(), [](const CSealFile& a, const CSealFile& b) { return a.name < b.name; });
        files.insert(files.end(), found.begin(), found.end());
    }
    return true;
}

std::string Explain(int code)
{
    switch (code) {
    case kCertExist: return "the same opener certificate appears twice in the rules";
    case kCertCannotEncrypt: return "an opener's certificate is not meant for encryption (key usage)";
    case kNotSupportAlgo: return "an opener's certificate has a key that cannot be sealed to (RSA 2048+ or P-256 only)";
    case kOpenFileFailed: return "cannot open an input file or create the output file";
    case kReadFileLenFailed: return "cannot read the size of an input file";
    case kWriteDataFailed: return "cannot write the output file (disk full?)";
    case kReadDataFailed: return "an input file changed size while it was sealed";
    case kConstructSignCertFailed: return "the bidder's certificate cannot be read";
    case kFileNotFound: return "an input file does not exist";
    case kFileExist: return "the output file exists already, or two inputs have the same name";
    case kFileNameFormatError: return "an input's name cannot be carried in a bid (control characters, '\\' or ':')";
    case kTotalLessThanMin: return "the rules ask for more openers than they name";
    case kCertNumIncorrect: return "the rules name no openers, or more than 255";
    case kNumberBelowZero: return "the rules' minimum number of openers is below 1";
    case kSignFinalFailed: return "signing failed: does the key belong to the certificate?";
    case kCreateSignHandleFailed:
    case kSignUpdateFailed: return "the token could not sign (PIN refused or token removed?)";
    case kCertFromEncodingFailed: return "an opener's certificate in the rules cannot be read";
    default: return "sealing failed";
    }
}

class CProgress {
public:
    explicit CProgress(bool quiet) : show_(!quiet) {}
    bool Update(uint64_t done, uint64_t total)
    {
        // Small bids seal in a blink; the bar is for inputs that take a while.
        if (show_ && total >= (64u << 20)) {
            const int percent = static_cast<int>(done * 100 / total);
            if (percent != last_) {
                last_ = percent;
                std::fprintf(stderr, "\rsealing: %3d%% of %llu MiB", percent,
                             static_cast<unsigned long long>(total >> 20));
                std::fflush(stderr);
                ended_ = false;
            }
        }
        return g_interrupted == 0;
    }
    void End()
    {
        if (last_ >= 0 && !ended_) {
            std::fputc('\n', stderr);
            ended_ = true;
        }
    }

private:
    bool show_;
    int last_ = -1;
    bool ended_ = true;
};

}  // namespace

int main(int argc, char** argv)
{
    const std::optional<COptions> options = ParseOptions(argc, argv);
    if (!options) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    kelvane::SupplyPkiSettings();
    kelvane::InstallTerminalPkiPrompts();

    std::optional<std::vector<unsigned char>> rules =
        options->rulesUrl.empty() ? ReadFile(options->rulesFile) : FetchRules(options->rulesUrl, options->project);
    if (!rules) {
        if (options->rulesUrl.empty()) {
            Fail("cannot read the rules document " + options->rulesFile);
        }
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
    const std::optional<kelvane::seal::CTenderAnchors> anchors =
        kelvane::seal::LoadTenderAnchors(options->tenderCa, anchorError);
    if (!anchors) {
        Fail(anchorError);
        return kExitFailed;
    }
    bool openersOk = true;
    const size_t openerCount = content.bidRules->certs.size();
    for (size_t i = 0; i < openerCount; ++i) {
        const std::vector<unsigned char>& opener = content.bidRules->certs[i].data;
        if (const std::string refusal = kelvane::seal::OpenerRefusal(opener, *anchors); !refusal.empty()) {
            Fail("refusing to seal to opener " + std::to_string(i + 1) + " of " + std::to_string(openerCount) +
                 " (" + kelvane::seal::SubjectLine(opener) + "): " + refusal);
            openersOk = false;
        }
    }
    if (!openersOk) {
        Fail("nothing was sealed: the rules name openers that the tender's certificate authority does not vouch for");
        return kExitFailed;
    }

    const auto cert = ReadFile(options->certFile);
    Cert bidderCert = cert ? DecodeCertificate(cert->data(), cert->size()) : nullptr;
    if (!bidderCert) {
        Fail("cannot read the bidder's certificate " + options->certFile);
        return kExitFailed;
    }
    const std::string bidder = BidderName(*cert);
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
        kelvane::seal::CBidderKeyResult key = kelvane::seal::LoadBidderKey(options->keyFile, options->passphraseFile);
        if (!key.key) {
            Fail(key.error);
            return kExitFailed;
        }
        if (!kelvane::seal::KeyBelongsTo(key.key.get(), bidderCert.get())) {
            Fail("the private key " + options->keyFile + " does not belong to the bidder's certificate " +
                 options->certFile + " (" + kelvane::seal::SubjectLine(*cert) + "); nothing was sealed");
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
    if (!CollectInputs(options->inputs, request.files)) {
        return kExitFailed;
    }
    CProgress progress(options->quiet);
    request.progress = [&](uint64_t done, uint64_t total) { return progress.Update(done, total); };

    const fs::path output =
        fs::path(options->outputDir) / (bidder + "_" + options->project + "_" + options->package + ".bidx");
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
        Fail(Explain(rc) + " (code " + std::to_string(rc) + ")" +
             (rc == kFileExist ? ": " + output.string() : std::string()));
        return kExitFailed;
    }
    std::printf("%s\nverification code: %s\n", output.c_str(), result.verificationCode.c_str());
    return kExitOk;
}
