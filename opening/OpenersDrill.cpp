#include "opening/OpenersDrill.h"

#include "PkiPtr.h"
#include "PracticeBid.h"
#include "app/CMsgOutput.h"
#include "app/IPrompt.h"
#include "app/LanguageCatalogue.h"
#include "app/LocalLog.h"
#include "app/TextConversion.h"
#include "audit/OperationRecord.h"
#include "audit/OperatorSignature.h"
#include "opening/CRulesFileClient.h"
#include "opening/OpeningTime.h"

#include <algorithm>
#include <ctime>
#include <initializer_list>
#include <openssl/rand.h>

namespace {

// The flag words the workstation passes when it looks for an opener's key.
constexpr unsigned kOpenerFlags = 0x40000000;
constexpr unsigned kOpenerUsage = 0x10000001;
// Random bytes sealed as the practice bid: small, and never the same twice.
constexpr size_t kPracticeSize = 256;

std::wstring Text(const char* key)
{
    return CLanguageCatalogue::Instance().GetText(key);
}

// Replaces each "%d" of a catalogue text in turn with the next number. A language file is outside
// input: its text is never used as a format.
std::wstring FillNumbers(std::wstring text, std::initializer_list<int> numbers)
{
    size_t from = 0;
    for (const int number : numbers) {
        const size_t at = text.find(L"%d", from);
        if (at == std::wstring::npos)
            break;
        const std::wstring digits = std::to_wstring(number);
        text.replace(at, 2, digits);
        from = at + digits.size();
    }
    return text;
}

std::wstring CertText(void* cert, int attribute)
{
    std::string value;
    return kelvane::pki::GetCertText(cert, attribute, value) ? Utf8ToWide(value) : std::wstring();
}

// A validity bound of the certificate as Beijing wall-clock seconds.
std::optional<std::int64_t> CertTime(void* cert, int attribute)
{
    std::string value;
    if (!kelvane::pki::GetCertText(cert, attribute, value))
        return std::nullopt;
    return ParseTimeStampTime(value);
}

// Adds a reason to the opener's, after those already given.
void AddReason(COpenerDrill& opener, const std::wstring& reason)
{
    opener.reason += (opener.reason.empty() ? L"" : L"; ") + reason;
}

std::wstring YesNo(bool value)
{
    return Text(value ? "yes" : "no");
}

} // namespace

COpenersDrill::COpenersDrill(IPrompt& askPrompt, CMsgOutput* sink)
    : prompt(askPrompt)
    , output(sink)
{
}

void COpenersDrill::Output(const std::wstring& line)
{
    if (output != nullptr)
        output->Output(line, 1);
}

const CDrillReport& COpenersDrill::Run(const std::wstring& projectNumber)
{
    report = {};
    // The drill's record is signed with the operator's certificate, as every record is.
    if (CheckOperatorCert() != 1) {
        report.end = CDrillEnd::NoOperator;
        report.failure = Text("operator_insert_cert");
        report.verdict = Text("drill_not_run") + report.failure;
        Output(report.verdict);
        return report;
    }
    Output(Text("drill_start"));
    CRulesFileClient rules;
    rules.SetTarget(projectNumber);
    report.projectId = rules.ProjectId();
    if (const int code = rules.GetRules(); code != 0) {
        report.end = CDrillEnd::RulesNotFetched;
        report.failure = Text("get_rulefile_fail_status") + L": " + CRulesFileClient::DescribeFailure(code);
        Finish();
        return report;
    }
    rules.GetProjectName(report.projectName);
    std::int64_t openTime = 0;
    if (rules.GetOpenTime(openTime) != 0) {
        report.end = CDrillEnd::NoOpeningTime;
        report.failure = Text("get_opentime_fail");
        Finish();
        return report;
    }
    report.openTimeText = FormatWallClock(openTime);
    if (rules.GetOpenerCerts() != 0 || rules.OpenerCerts().empty()
        || rules.GetThreshold(report.threshold) != 0) {
        report.end = CDrillEnd::NoOpenerCerts;
        report.failure = Text("get_opener_cert_fail");
        Finish();
        return report;
    }
    std::vector<std::vector<unsigned char>> certs;
    for (const auto& cert : rules.OpenerCerts()) {
        unsigned char* der = nullptr;
        int length = 0;
        const int result = QuarnPKICertGetCertEncoded(cert.get(), &der, &length);
        const kelvane::pki::BytesPtr owned(der);
        if (result != QUARNPKI_OK || der == nullptr || length <= 0) {
            report.end = CDrillEnd::NoOpenerCerts;
            report.failure = Text("get_opener_cert_fail");
            Finish();
            return report;
        }
        certs.emplace_back(der, der + length);
    }
    Output(FillNumbers(Text("drill_rules"), { static_cast<int>(certs.size()), report.threshold })
        + report.openTimeText);
    DrillOpeners(certs, openTime);
    Finish();
    return report;
}

void COpenersDrill::DrillOpeners(const std::vector<std::vector<unsigned char>>& certs, std::int64_t openTime)
{
    std::vector<unsigned char> sealed(kPracticeSize);
    kelvane::bidx::CPracticeBid practice;
    int code = RAND_bytes(sealed.data(), static_cast<int>(sealed.size())) == 1
        ? practice.Seal(certs, report.threshold, sealed)
        : kelvane::bidx::kGenerateRandomFailed;
    if (code != kelvane::bidx::kOk) {
        report.end = CDrillEnd::SealFailed;
        report.failure = FillNumbers(Text("drill_seal_fail"), { code });
        return;
    }
    report.end = CDrillEnd::Completed;
    // The opening runs at its time, or now when that has passed: the keys are used then.
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr)) + kBeijingOffsetSeconds;
    const std::int64_t openingMoment = std::max(openTime, now);
    std::vector<size_t> ready;
    for (size_t i = 0; i < certs.size(); ++i) {
        const kelvane::pki::CertPtr cert(
            QuarnPKICertNewCert(certs[i].data(), static_cast<int>(certs[i].size())));
        COpenerDrill opener;
        opener.name = CertText(cert.get(), QUARNPKI_CERT_COMMON_NAME);
        if (opener.name.empty())
            opener.name = CertText(cert.get(), QUARNPKI_CERT_SUBJECT);
        const std::optional<std::int64_t> from = CertTime(cert.get(), QUARNPKI_CERT_NOT_BEFORE);
        const std::optional<std::int64_t> to = CertTime(cert.get(), QUARNPKI_CERT_NOT_AFTER);
        opener.validFrom = from ? FormatWallClock(*from) : std::wstring();
        opener.validTo = to ? FormatWallClock(*to) : std::wstring();
        // An expired certificate fails the opener; one not valid yet is noted: its key still opens.
        opener.validOnOpeningDay = to && openingMoment <= *to;
        DrillOpener(opener, cert.get(), practice, i);
        if (!opener.validOnOpeningDay)
            AddReason(opener, Text("drill_cert_expired") + opener.validTo);
        else if (from && openingMoment < *from)
            AddReason(opener, Text("drill_cert_not_yet") + opener.validFrom);
        if (opener.Ready())
            ready.push_back(i);
        report.openers.push_back(opener);
        Output(OpenerLine(opener));
    }
    report.readyCount = static_cast<int>(ready.size());
    if (report.readyCount >= report.threshold) {
        std::vector<unsigned char> opened;
        report.practiceOpened = practice.Open(ready, opened) == kelvane::bidx::kOk && opened == sealed;
        Output(Text(report.practiceOpened ? "drill_practice_ok" : "drill_practice_fail"));
    }
    report.canProceed = report.readyCount >= report.threshold && report.practiceOpened;
}

void COpenersDrill::DrillOpener(
    COpenerDrill& opener, void* cert, kelvane::bidx::CPracticeBid& practice, size_t index)
{
    if (prompt.Ask(
            Text("drill_insert_token") + L"\n" + opener.name, Text("tips"), MB_OKCANCEL | MB_ICONINFORMATION)
        != IDOK) {
        AddReason(opener, Text("drill_skipped"));
        return;
    }
    const auto look = [&] {
        int found = QUARNPKI_CERT_NOT_ON_TOKEN;
        char* label = nullptr;
        if (QuarnPKICertFindOnTokens(cert, &found, &label, &opener.pinState) != QUARNPKI_OK)
            found = QUARNPKI_CERT_NOT_ON_TOKEN;
        const kelvane::pki::TextPtr owned(label);
        if (label != nullptr)
            opener.tokenLabel = Utf8ToWide(label);
        return found;
    };
    const int found = look();
    opener.present = found != QUARNPKI_CERT_NOT_ON_TOKEN;
    opener.certFound = found >= QUARNPKI_CERT_WITHOUT_KEY;
    if (found == QUARNPKI_CERT_NOT_ON_TOKEN) {
        AddReason(opener, Text("drill_token_absent"));
        return;
    }
    if (found == QUARNPKI_CERT_SUBJECT_ONLY) {
        AddReason(opener, Text("drill_cert_renewed"));
        return;
    }
    void* keypair = found == QUARNPKI_CERT_WITH_KEY
        ? QuarnPKICertGetCertKeyPair(cert, kOpenerFlags, kOpenerUsage, nullptr)
        : nullptr;
    if (keypair == nullptr) {
        opener.keyPresent = false;
        AddReason(opener, Text("drill_no_key"));
        return;
    }
    // The first private-key operation logs the token in through the PIN prompt, once.
    kelvane::bidx::CTokenShareKey key(keypair);
    const int code = practice.Unwrap(index, key);
    opener.shareUnwrapped = code == kelvane::bidx::kOk;
    switch (key.LastPkiResult()) {
    case QUARNPKI_OK:
        opener.keyPresent = true;
        if (!opener.shareUnwrapped)
            AddReason(opener, FillNumbers(Text("drill_share_failed"), { code }));
        break;
    case QUARNPKI_NO_PRIVATE_KEY:
        opener.keyPresent = false;
        AddReason(opener, Text("drill_no_key"));
        break;
    case QUARNPKI_PIN_INCORRECT:
        AddReason(opener, Text("drill_wrong_pin"));
        break;
    case QUARNPKI_PIN_LOCKED:
        AddReason(opener, Text("drill_pin_locked"));
        break;
    case QUARNPKI_CANCELLED:
        AddReason(opener, Text("drill_pin_cancelled"));
        break;
    case QUARNPKI_TOKEN_ABSENT:
        opener.present = false;
        AddReason(opener, Text("drill_token_absent"));
        break;
    default:
        AddReason(opener,
            FillNumbers(Text("drill_share_failed"), { code }) + L": " + Utf8ToWide(QuarnPKIGetLastError()));
        break;
    }
    // After a refused PIN the token's flags tell how many tries are left.
    if (!opener.shareUnwrapped)
        look();
}

std::wstring COpenersDrill::OpenerLine(const COpenerDrill& opener)
{
    std::wstring line = opener.name;
    if (!opener.tokenLabel.empty())
        line += L" [" + opener.tokenLabel + L"]";
    line += L": " + Text("drill_present") + L" " + YesNo(opener.present) + L", " + Text("drill_cert_found")
        + L" " + YesNo(opener.certFound) + L", " + Text("drill_valid") + L" "
        + YesNo(opener.validOnOpeningDay) + L", " + Text("drill_key") + L" "
        + (opener.keyPresent ? YesNo(*opener.keyPresent) : std::wstring(L"?")) + L", " + Text("drill_share")
        + L" " + YesNo(opener.shareUnwrapped);
    if ((opener.pinState & QUARNPKI_PIN_STATE_LOCKED) != 0)
        line += L", " + Text("drill_pin_locked");
    else if ((opener.pinState & QUARNPKI_PIN_STATE_FINAL_TRY) != 0)
        line += L", " + Text("drill_pin_final");
    else if ((opener.pinState & QUARNPKI_PIN_STATE_COUNT_LOW) != 0)
        line += L", " + Text("drill_pin_low");
    line += L" — " + (opener.Ready() ? Text("drill_opener_ready") : Text("drill_opener_not_ready"));
    if (!opener.reason.empty())
        line += L": " + opener.reason;
    return line;
}

std::vector<std::wstring> COpenersDrill::ReportLines(const CDrillReport& drill)
{
    std::vector<std::wstring> lines;
    for (const COpenerDrill& opener : drill.openers)
        lines.push_back(OpenerLine(opener));
    if (!drill.verdict.empty())
        lines.push_back(drill.verdict);
    return lines;
}

void COpenersDrill::Finish()
{
    const int total = static_cast<int>(report.openers.size());
    if (report.end != CDrillEnd::Completed) {
        report.verdict = Text("drill_not_run") + report.failure;
    } else if (report.canProceed) {
        report.verdict
            = FillNumbers(Text("drill_verdict_ready"), { report.readyCount, total, report.threshold });
    } else if (report.readyCount < report.threshold) {
        report.verdict = FillNumbers(Text("drill_verdict_missing"),
            { report.readyCount, total, report.threshold, report.threshold - report.readyCount });
        // What is missing, on the same line: the openers not ready and why.
        std::wstring separator = L": ";
        for (const COpenerDrill& opener : report.openers) {
            if (opener.Ready())
                continue;
            report.verdict += separator + opener.name + L" (" + opener.reason + L")";
            separator = Text("list_separator");
        }
    } else {
        report.verdict
            = FillNumbers(Text("drill_verdict_failed"), { report.readyCount, total, report.threshold });
    }
    Output(report.verdict);

    // The local log keeps every line; the log service one record of the whole drill.
    for (const std::wstring& line : ReportLines(report))
        WriteLocalLog(3, "openers' drill %s: %s\n", report.projectId.c_str(), WideToUtf8(line).c_str());
    std::wstring record = L"开标人演练：";
    if (report.end != CDrillEnd::Completed) {
        record += L"未能进行：" + report.failure;
    } else {
        record += std::to_wstring(report.readyCount) + L"/" + std::to_wstring(total) + L"位开标人就绪，门限"
            + std::to_wstring(report.threshold) + (report.canProceed ? L"，可以开标" : L"，不能开标");
        for (const COpenerDrill& opener : report.openers)
            record += L"；" + opener.name + (opener.Ready() ? L"：就绪" : L"：" + opener.reason);
    }
    SubmitOperationRecord(
        report.canProceed ? kLogTypeSuccess : kLogTypeFailure, report.projectId, report.projectName, record);
}
