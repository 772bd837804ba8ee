// The openers' drill: before an opening, every opener tries the token that will open the bids,
// without touching a real bid. The tender's rules are fetched as the opening fetches them (at any
// time: no time-stamp is asked), a throwaway practice bid is sealed in memory to the rules'
// openers with their threshold, and each opener in turn presents the token, logs in (one PIN try,
// as everywhere) and unwraps the share of the practice bid. With enough openers ready the practice
// bid is decrypted in memory and compared with what was sealed.
//
// The report is shown line by line on the output sink, written to the local log and submitted as
// one operation record. Nothing is written to disk but those: no real bid is read, moved or
// written, and no decrypted byte leaves memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class CMsgOutput;
class IPrompt;
namespace kelvane::bidx {
class CPracticeBid;
}

// What the drill found of one opener of the rules.
struct COpenerDrill
{
    std::wstring name; // the common name of the rules' certificate
    std::wstring tokenLabel; // the token that holds it (or its subject), empty when none
    bool present = false; // a token with the certificate, its key or its subject was found
    bool certFound = false; // that token holds the rules' certificate (or its public key)
    // Not expired when the opening runs (at its time, or now when that has passed); a certificate
    // that becomes valid only after it is noted in the reason.
    bool validOnOpeningDay = false;
    std::wstring validFrom, validTo; // the certificate's validity, Beijing time
    std::optional<bool> keyPresent; // nothing when it could not be told (no login)
    bool shareUnwrapped = false; // the token unwrapped its share of the practice bid
    int pinState = 0; // what the token reports of its PIN tries (QUARNPKI_PIN_STATE_... bits)
    std::wstring reason; // why the opener is not ready, or a note; empty when all is well

    bool Ready() const { return shareUnwrapped && validOnOpeningDay; }
};

enum class CDrillEnd
{
    NotRun,
    NoOperator, // no operator certificate: the drill's record could not be signed, none is sent
    RulesNotFetched,
    NoOpeningTime,
    NoOpenerCerts, // the rules' openers' certificates or threshold cannot be read
    SealFailed, // the practice bid could not be sealed to the openers
    Completed,
};

struct CDrillReport
{
    CDrillEnd end = CDrillEnd::NotRun;
    std::string projectId;
    std::string projectName;
    std::wstring openTimeText;
    int threshold = 0;
    std::vector<COpenerDrill> openers;
    int readyCount = 0;
    // The practice bid decrypted in memory from the ready openers' shares to what was sealed.
    bool practiceOpened = false;
    bool canProceed = false;
    // Why the drill did not come to the openers, empty when it did.
    std::wstring failure;
    // "k of n ready, threshold m: ..." (or the failure).
    std::wstring verdict;
};

class COpenersDrill
{
public:
    // prompt asks for each opener's token; output, when given, receives every line.
    COpenersDrill(IPrompt& prompt, CMsgOutput* output);

    // The whole drill for the project. Returns the report, also kept in Report().
    const CDrillReport& Run(const std::wstring& projectNumber);
    const CDrillReport& Report() const { return report; }

    // The report's lines as the output shows them: one per opener, then the verdict.
    static std::vector<std::wstring> ReportLines(const CDrillReport& report);
    // One opener's line: name, token, each check, ready or not and why.
    static std::wstring OpenerLine(const COpenerDrill& opener);

private:
    void Output(const std::wstring& line);
    void DrillOpeners(const std::vector<std::vector<unsigned char>>& certs, std::int64_t openTime);
    // Asks for the opener's token, finds the certificate and key on it and unwraps the share.
    void DrillOpener(COpenerDrill& opener, void* cert, kelvane::bidx::CPracticeBid& practice, size_t index);
    // Shows and logs the report and submits its record.
    void Finish();

    IPrompt& prompt;
    CMsgOutput* output;
    CDrillReport report;
};
