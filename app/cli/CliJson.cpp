#include "app/cli/CliJson.h"

#include "app/TextConversion.h"
#include "opening/COpeningManager.h"
#include "opening/OpenersDrill.h"
#include "opening/OpeningTime.h"
#include "verify/CBidFileReport.h"
#include "verify/CVerifyBidFile.h"

#include <QuarnPKI.h>
#include <cstdio>
#include <initializer_list>

namespace {

// The moment the program started, for the document's "started".
const std::time_t kStarted = std::time(nullptr);

std::string Utf8(const std::wstring& text)
{
    return WideToUtf8(text);
}

// A text, or null when it is empty.
nlohmann::ordered_json TextOrNull(const std::wstring& text)
{
    return text.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(Utf8(text));
}

std::string FileName(const std::wstring& path)
{
    const size_t slash = path.rfind(L'/');
    return Utf8(slash == std::wstring::npos ? path : path.substr(slash + 1));
}

const char* ResultName(CheckResult result)
{
    switch (result) {
    case CheckResult::Passed:
        return "passed";
    case CheckResult::Failed:
        return "failed";
    default:
        return "not_run";
    }
}

nlohmann::ordered_json CheckJson(const std::string& name, CheckResult result, const std::wstring& reason)
{
    nlohmann::ordered_json check = { { "name", name }, { "result", ResultName(result) } };
    if (!reason.empty())
        check["reason"] = Utf8(reason);
    return check;
}

// Every check of the command in its order: as it ran, or "not_run" when the file never came to it.
nlohmann::ordered_json ChecksJson(const CFileChecks& checks, std::initializer_list<const char*> names)
{
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const char* name : names) {
        const CFileCheck* check = checks.Find(name);
        list.push_back(check != nullptr ? CheckJson(name, check->result, check->reason)
                                        : CheckJson(name, CheckResult::NotRun, {}));
    }
    return list;
}

// The fields every file has.
nlohmann::ordered_json FileJson(const std::wstring& path, const std::wstring& verifyCode)
{
    return { { "name", FileName(path) }, { "path", Utf8(path) },
        { "verification_code", TextOrNull(verifyCode) } };
}

} // namespace

nlohmann::ordered_json& JsonReport()
{
    static nlohmann::ordered_json report = [] {
        // The run's own keys ahead of the files, filled in when it is printed.
        nlohmann::ordered_json document = nlohmann::ordered_json::object();
        for (const char* key : { "command", "started", "finished", "exit_status", "records_waiting" })
            document[key] = nullptr;
        document["files"] = nlohmann::ordered_json::array();
        return document;
    }();
    return report;
}

void PrintJsonReport(const std::string& command, int exitStatus, int waitingRecords)
{
    nlohmann::ordered_json& report = JsonReport();
    report["command"] = command;
    report["started"] = IsoLocalTime(kStarted);
    report["finished"] = IsoLocalTime(std::time(nullptr));
    report["exit_status"] = exitStatus;
    report["records_waiting"] = waitingRecords;
    // A name that is no UTF-8 is shown with U+FFFD rather than ending the program.
    const std::string text
        = report.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

std::optional<std::string> IsoOpeningTime(const std::wstring& text)
{
    const auto seconds = ParseOpeningTime(Utf8(text));
    if (!seconds)
        return std::nullopt;
    // The rules' times are Beijing time (see OpeningTime.h).
    return Utf8(FormatWallClock(*seconds, "%Y-%m-%dT%H:%M:%S+08:00"));
}

void AddVerifiedFile(const CBidFileReport& report)
{
    nlohmann::ordered_json file = FileJson(report.GetPath(), report.GetVerifyCode());
    const auto result = [](CBidFileReport::Check check) {
        return check == CBidFileReport::Check::Passed ? CheckResult::Passed
            : check == CBidFileReport::Check::Failed  ? CheckResult::Failed
                                                      : CheckResult::NotRun;
    };
    const std::wstring& reason = report.GetFailureReason();
    file["checks"] = nlohmann::ordered_json::array();
    for (const auto& [name, check] : { std::pair { "format", report.GetFormatResult() },
             std::pair { "signature", report.GetSignResult() } }) {
        file["checks"].push_back(
            CheckJson(name, result(check), check == CBidFileReport::Check::Failed ? reason : std::wstring()));
    }
    const bool passed = report.GetFormatResult() == CBidFileReport::Check::Passed
        && report.GetSignResult() == CBidFileReport::Check::Passed;
    file["status"] = passed ? "passed" : "failed";
    file["reason"] = TextOrNull(reason);
    file["signer"] = TextOrNull(report.GetBidder());
    JsonReport()["files"].push_back(std::move(file));
}

void AddImportedFiles(const std::vector<std::wstring>& paths, const CVerifyBidFile& verify)
{
    const auto& results = verify.Results();
    for (size_t i = 0; i < paths.size(); ++i) {
        static const CFileChecks kNone;
        const CVerifiedFile* result = i < results.size() ? &results[i] : nullptr;
        const CFileChecks& checks = result != nullptr ? result->checks : kNone;
        nlohmann::ordered_json file = FileJson(paths[i], checks.VerifyCode());
        file["checks"]
            = ChecksJson(checks, { "open", "structure", "embedded_rules", "rules_comparison", "copy" });
        file["status"] = result == nullptr ? "not_reached" : result->imported ? "imported" : "refused";
        file["reason"] = TextOrNull(checks.Reason());
        JsonReport()["files"].push_back(std::move(file));
    }
    if (!verify.GetDestinationFolder().empty())
        JsonReport()["package_folder"] = Utf8(verify.GetDestinationFolder());
}

void AddOpenedFiles(const COpeningManager& manager)
{
    JsonReport()["outcome"] = OpeningEndName(manager.GetLastEnd());
    for (const auto& holder : manager.Files()) {
        const CFileChecks& checks = holder->Checks();
        nlohmann::ordered_json file = FileJson(holder->GetFullPath(), checks.VerifyCode());
        file["checks"] = ChecksJson(checks,
            { "open", "structure", "embedded_rules", "rules_comparison", "opening_time", "decryption" });
        file["status"] = checks.List().empty() ? "not_reached" : BidStatusName(holder->GetBidStatus());
        file["reason"] = TextOrNull(checks.Reason());
        file["bidder"] = TextOrNull(holder->GetSignerName());
        file["bidder_organisation"] = TextOrNull(holder->GetSignerOrg());
        const auto openingTime = IsoOpeningTime(holder->GetOpenTime());
        file["opening_time"] = openingTime ? nlohmann::ordered_json(*openingTime) : nlohmann::ordered_json();
        nlohmann::ordered_json openers = nlohmann::ordered_json::array();
        for (int k = 0; k < holder->GetOpenerCount(); ++k)
            openers.push_back(Utf8(holder->GetOpenerName(k)));
        file["openers"] = std::move(openers);
        JsonReport()["files"].push_back(std::move(file));
    }
    // The opening record the run wrote, or null.
    const CRecordFiles& record = manager.GetLastRecord();
    JsonReport()["record"] = record.json.empty()
        ? nlohmann::ordered_json()
        : nlohmann::ordered_json { { "json", Utf8(record.json) },
              { "signature", TextOrNull(record.signature) }, { "pdf", TextOrNull(record.pdf) },
              { "sha256", record.sha256 } };
}

void AddDrillReport(const CDrillReport& report)
{
    static const char* const kEnds[] = { "not_run", "no_operator_certificate", "rules_not_fetched",
        "no_opening_time", "no_opener_certificates", "seal_failed", "completed" };
    nlohmann::ordered_json drill;
    drill["outcome"] = kEnds[static_cast<int>(report.end)];
    drill["project"] = report.projectId;
    drill["project_name"] = report.projectName.empty()
        ? nlohmann::ordered_json()
        : nlohmann::ordered_json(Utf8(AnsiToWide(report.projectName)));
    const auto openingTime = IsoOpeningTime(report.openTimeText);
    drill["opening_time"] = openingTime ? nlohmann::ordered_json(*openingTime) : nlohmann::ordered_json();
    drill["threshold"] = report.threshold;
    drill["openers_total"] = report.openers.size();
    drill["ready"] = report.readyCount;
    nlohmann::ordered_json openers = nlohmann::ordered_json::array();
    for (const COpenerDrill& opener : report.openers) {
        const int pin = opener.pinState;
        const char* tries = (pin & QUARNPKI_PIN_STATE_LOCKED) != 0 ? "none"
            : (pin & QUARNPKI_PIN_STATE_FINAL_TRY) != 0            ? "one"
            : (pin & QUARNPKI_PIN_STATE_COUNT_LOW) != 0            ? "few"
                                                                   : nullptr;
        openers.push_back({ { "name", Utf8(opener.name) }, { "token", TextOrNull(opener.tokenLabel) },
            { "present", opener.present }, { "certificate_found", opener.certFound },
            { "valid_at_opening", opener.validOnOpeningDay }, { "valid_to", TextOrNull(opener.validTo) },
            { "key_present",
                opener.keyPresent ? nlohmann::ordered_json(*opener.keyPresent) : nlohmann::ordered_json() },
            { "share_unwrapped", opener.shareUnwrapped },
            { "pin_tries_left", tries != nullptr ? nlohmann::ordered_json(tries) : nlohmann::ordered_json() },
            { "ready", opener.Ready() }, { "reason", TextOrNull(opener.reason) } });
    }
    drill["openers"] = std::move(openers);
    drill["practice_bid_opened"] = report.practiceOpened;
    drill["can_proceed"] = report.canProceed;
    drill["verdict"] = Utf8(report.verdict);
    JsonReport()["drill"] = std::move(drill);
}
