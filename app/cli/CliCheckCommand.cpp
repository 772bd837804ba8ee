// kelvane-cli check: whether this workstation is ready for an opening, one line per thing an
// opening needs, each with what to do when it is missing. It only reads and asks: no PIN is asked,
// no token logged in, nothing written to the workspace, the outbox or the local log, and every
// request is bounded by the HTTP client's time-outs.
#include "OpenSslPtr.h"
#include "PkiPtr.h"
#include "QuarnPKI.h"
#include "app/FreeSpaceCheck.h"
#include "app/IPrompt.h"
#include "app/LanguageCatalogue.h"
#include "app/PkiSettings.h"
#include "app/ServiceProbe.h"
#include "app/SettingFile.h"
#include "app/TextConversion.h"
#include "app/Utility.h"
#include "app/cli/CliCommands.h"
#include "app/cli/PkiPrompts.h"
#include "audit/OperatorSignature.h"
#include "opening/CBidderTrust.h"
#include "opening/CTimeStampClient.h"
#include "opening/OpeningTime.h"
#include "workspace/PackageFolder.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <openssl/pem.h>
#include <string>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Short enough that a dead service costs seconds, long enough for a slow authority.
constexpr int kConnectTimeoutMs = 5000;
constexpr int kExchangeTimeoutMs = 15000;

enum class CResult
{
    Ok,
    Warning, // the opening can run, but something deserves a look
    Failed,
    Skipped
};

class CReport
{
public:
    void Line(CResult result, const char* what, const std::string& detail)
    {
        static constexpr const char* kMarks[] = { "ok", "warn", "FAIL", "skip" };
        std::printf("%-4s  %-12s  %s\n", kMarks[static_cast<int>(result)], what, detail.c_str());
        failures += result == CResult::Failed ? 1 : 0;
    }
    int Failures() const { return failures; }

private:
    int failures = 0;
};

// The messages of the parts reused here (operator certificate, free space), kept for the report.
class CKeptMessages : public IPrompt
{
public:
    int Ask(const std::wstring& text, const std::wstring&, unsigned) override
    {
        kept += (kept.empty() ? "" : " ") + WideToUtf8(text);
        return IDOK;
    }
    std::string kept;
};

// The check never asks for a PIN: a login would be a write to the token's try counter.
int RefusePin(void*, const char*, int, char*, int)
{
    QuarnPKISetHookError("kelvane-cli check asks no PIN");
    return -1;
}

// Outside text on one line of the report: a multi-line message (the chooser's list) is joined.
std::string Flat(std::string text)
{
    for (std::string::size_type at; (at = text.find('\n')) != std::string::npos;) {
        const std::string::size_type next = text.find_first_not_of(' ', at + 1);
        const bool afterColon = at > 0 && text[at - 1] == ':';
        text.replace(at, (next == std::string::npos ? text.size() : next) - at, afterColon ? " " : "; ");
    }
    return EscapeControlCharacters(std::string_view(text));
}

std::string Setting(const char* section, const char* key)
{
    return std::string("[") + section + "] " + key;
}

// The settings file and the keys an opening cannot do without. True when they are set.
bool CheckSettings(CReport& report, std::string& settingsPath)
{
    const CSettingFile& settings = CSettingFile::Instance();
    settingsPath = WideToUtf8(settings.GetSettingFilePath());
    if (settingsPath.empty()) {
        report.Line(CResult::Failed, "settings",
            "no settings folder: neither XDG_CONFIG_HOME nor HOME names a folder; set HOME");
        return false;
    }
    std::vector<std::string> missing;
    const auto need = [&missing](const std::wstring& value, const char* section, const char* key) {
        if (TrimBlanks(value).empty())
            missing.push_back(Setting(section, key));
    };
    need(settings.GetBidRuleFileUrl(), "BidRuleFileURL", "url");
    need(settings.GetTimeStampUrl(), "TimeStampURL", "url");
    if (settings.GetSubmitLog() == L"true")
        need(settings.GetLogSubmitUrl(), "LogSubmitURL", "url");
    std::error_code error;
    const bool exists = fs::is_regular_file(settingsPath, error);
    if (missing.empty()) {
        report.Line(
            CResult::Ok, "settings", settingsPath + (exists ? "" : " (absent; the keys are set elsewhere)"));
        return true;
    }
    std::string keys;
    for (const std::string& key : missing)
        keys += (keys.empty() ? "" : ", ") + key;
    report.Line(CResult::Failed, "settings",
        exists ? settingsPath + " sets no " + keys
                + ": set them (see docs/Setting.ini.example, kelvane(1) FILES)"
               : "no settings file " + settingsPath + ": copy docs/Setting.ini.example there and set " + keys
                + " (see kelvane(1) FILES)");
    return false;
}

void CheckService(CReport& report, const char* what, const std::wstring& setting, const std::string& key,
    const std::string& settingsPath)
{
    const std::string url = WideToUtf8(TrimBlanks(setting));
    if (url.empty()) {
        report.Line(CResult::Failed, what, "no URL: set " + key + " in " + settingsPath);
        return;
    }
    const CServiceAnswer answer = ProbeService(url);
    if (answer.answered)
        report.Line(CResult::Ok, what, Flat(url) + " answers (" + DescribeAnswer(answer) + ")");
    else
        report.Line(CResult::Failed, what,
            Flat(url) + ": " + Flat(answer.reason) + ": is the service up and " + key + " in " + settingsPath
                + " right?");
}

// Each authority in turn, as an opening asks them: one that answers with a time-stamp that
// verifies against the anchors is enough; the others are warned about.
void CheckTimeStamps(CReport& report, const std::string& settingsPath)
{
    std::vector<std::wstring> authorities;
    SplitString(CSettingFile::Instance().GetTimeStampUrl(), L';', authorities);
    if (authorities.empty()) {
        report.Line(CResult::Failed, "time-stamp",
            "no authority: set " + Setting("TimeStampURL", "url") + " in " + settingsPath);
        return;
    }
    const CTimeStampClient client;
    std::vector<std::string> failures;
    bool any = false;
    for (const std::wstring& authority : authorities) {
        std::int64_t time = 0;
        const std::string url = WideToAnsi(TrimBlanks(authority));
        if (client.GetTimeStampFromTSA(url, &time) == 1) {
            any = true;
            report.Line(CResult::Ok, "time-stamp",
                Flat(url) + ": " + WideToUtf8(FormatWallClock(time))
                    + " (Beijing), verified against the anchors");
        } else {
            failures.push_back(Flat(client.Failure()));
        }
    }
    for (const std::string& failure : failures)
        report.Line(any ? CResult::Warning : CResult::Failed, "time-stamp",
            failure + ": check " + Setting("TimeStampURL", "url") + " in " + settingsPath
                + " and that tsa-ca.pem or KELVANE_TSA_CA holds the authority's CA");
}

bool CheckTokens(CReport& report)
{
    const kelvane::CTokenView view = kelvane::ViewTokens();
    const std::string text = kelvane::DescribeTokens(view);
    if (!view.loaded) {
        report.Line(CResult::Failed, "tokens", text);
        return false;
    }
    if (view.labels.empty()) {
        report.Line(
            CResult::Failed, "tokens", text + ": insert the operator's token and the openers' tokens");
        return false;
    }
    report.Line(CResult::Ok, "tokens", text);
    return true;
}

void CheckOperator(CReport& report, bool tokens)
{
    if (!tokens) {
        report.Line(CResult::Skipped, "operator", "no token to look on");
        return;
    }
    CKeptMessages messages;
    SetAuditPrompt(&messages);
    const int found = CheckOperatorCert(std::chrono::milliseconds(0));
    SetAuditPrompt(nullptr);
    if (found != 1) {
        report.Line(CResult::Failed, "operator", Flat(messages.kept));
        return;
    }
    const kelvane::pki::CertPtr cert(CopyOperatorCert());
    std::string name = "(no name)";
    char* raw = nullptr;
    if (QuarnPKICertGetCertStringAttribute(cert.get(), QUARNPKI_CERT_COMMON_NAME, &raw, nullptr) == 1) {
        const kelvane::pki::TextPtr text(raw);
        name = Flat(text.get());
    }
    report.Line(CResult::Ok, "operator", name + ", the only signing certificate that fits");
}

// The certificates of a PEM file; -1 when it cannot be read.
int CountCertificates(const std::string& path)
{
    const kelvane::BioPtr bio(BIO_new_file(path.c_str(), "r"));
    if (!bio)
        return -1;
    int count = 0;
    while (kelvane::X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)))
        ++count;
    return count;
}

// One anchor: the file in the settings folder, else the one a variable names. A file without a
// certificate trusts nobody; none at all falls back to the system's store.
void CheckAnchor(CReport& report, const char* fileName, const std::string& chosen, const char* variable,
    const std::string& settingsFolder)
{
    if (chosen.empty()) {
        report.Line(CResult::Warning, "anchors",
            std::string(fileName) + ": none in " + settingsFolder + " nor " + variable
                + "; the system's store is trusted instead: put the tender's CA there");
        return;
    }
    const int count = CountCertificates(chosen);
    if (count <= 0) {
        report.Line(CResult::Failed, "anchors",
            std::string(fileName) + ": " + chosen
                + (count < 0 ? " cannot be read" : " holds no PEM certificate: nothing is trusted")
                + "; put the tender's CA there");
        return;
    }
    report.Line(CResult::Ok, "anchors",
        std::string(fileName) + ": " + chosen + " (" + std::to_string(count)
            + (count == 1 ? " certificate)" : " certificates)"));
}

void CheckAnchors(CReport& report)
{
    const std::string folder = WideToUtf8(GetAppDataDir());
    std::error_code error;
    // The time-stamp anchors as the PKI library is told them: the variable's file, then the
    // settings folder's.
    std::string tsa;
    if (const char* named = std::getenv("KELVANE_TSA_CA");
        named != nullptr && fs::is_regular_file(named, error))
        tsa = named;
    else if (!folder.empty() && fs::is_regular_file(folder + "/tsa-ca.pem", error))
        tsa = folder + "/tsa-ca.pem";
    CheckAnchor(report, "tsa-ca.pem", tsa, "KELVANE_TSA_CA", folder);
    CheckAnchor(report, "bidder-ca.pem", BidderAnchorFile(), "KELVANE_BIDDER_CA", folder);
}

// The working folder's volume against the settings' minimum, with the check the window makes at
// start; and whether the folder can be made or written.
void CheckWorkingFolder(CReport& report)
{
    const std::string folder = WideToUtf8(WorkingFolder());
    if (folder.empty()) {
        report.Line(CResult::Failed, "working dir", "no working folder: set [WorkingDir] path");
        return;
    }
    // The folder, or the nearest folder above it that exists: the window makes the rest.
    fs::path existing = folder;
    std::error_code error;
    while (!fs::exists(existing, error) && existing.has_relative_path())
        existing = existing.parent_path();
    if (access(existing.c_str(), W_OK | X_OK) != 0) {
        report.Line(CResult::Failed, "working dir",
            folder + ": " + existing.string() + " is not writable for this account; set [WorkingDir] path");
        return;
    }
    const fs::space_info space = fs::space(existing, error);
    const std::string free
        = error ? std::string("free space unknown") : std::to_string(space.free >> 20) + " MiB free";
    CKeptMessages messages;
    const std::int64_t minimum = CSettingFile::Instance().GetFreeSpace();
    const std::string wanted = minimum > 0 ? ", minimum " + std::to_string(minimum >> 20) + " MiB"
                                           : ", no minimum set ([Common] freespace)";
    if (!CheckWorkingDirFreeSpace(messages, CLanguageCatalogue::Instance())) {
        report.Line(CResult::Failed, "working dir",
            folder + ": " + free + wanted + ": " + Flat(messages.kept)
                + " (free space, or lower [Common] freespace)");
        return;
    }
    report.Line(CResult::Ok, "working dir", folder + ": " + free + wanted);
}

} // namespace

int CheckCommand(const COptions& options)
{
    if (!options.files.empty()) {
        std::fputs("kelvane-cli: check takes no FILE\n", stderr);
        return kCouldNotRun;
    }
    kelvane::SupplyPkiSettings();
    QuarnPKISetPinPromptHook(&RefusePin, nullptr);
    QuarnPKISetCertChooserHook(&kelvane::HeadlessCertChooser, nullptr);
    QuarnPKICryptoSetHttpTimeouts(kConnectTimeoutMs, kExchangeTimeoutMs);

    CReport report;
    std::string settingsPath;
    CheckSettings(report, settingsPath);
    const CSettingFile& settings = CSettingFile::Instance();
    CheckService(
        report, "rules server", settings.GetBidRuleFileUrl(), Setting("BidRuleFileURL", "url"), settingsPath);
    if (settings.GetSubmitLog() == L"true")
        CheckService(
            report, "log service", settings.GetLogSubmitUrl(), Setting("LogSubmitURL", "url"), settingsPath);
    else
        report.Line(CResult::Skipped, "log service", "submission is switched off ([LogService] IsSumbitLog)");
    CheckTimeStamps(report, settingsPath);
    CheckOperator(report, CheckTokens(report));
    CheckAnchors(report);
    CheckWorkingFolder(report);

    if (report.Failures() == 0) {
        std::puts("ready for an opening");
        return kAllDone;
    }
    std::printf("not ready for an opening: %d %s failed\n", report.Failures(),
        report.Failures() == 1 ? "check" : "checks");
    return kSomeFailed;
}
