// A whole tender on this machine for the opening tests: SoftHSM tokens for three openers and the
// operator (behind the forwarding module, so that a test can pull a token out), a rules server, a
// trusted time-stamp authority and the log service on one loopback server, a second trusted
// authority and one from a foreign CA on servers of their own, and bids sealed to the openers by
// bidders of the tokens' CA, which is the tender's trust anchor for bidders (KELVANE_BIDDER_CA).
#pragma once

#include "CLogService.h"
#include "CRulesService.h"
#include "CTimeStampAuthority.h"
#include "TestTokenSet.h"
#include "app/CMsgOutput.h"
#include "opening/COpeningManager.h"
#include "tests/support/LoopbackServer.h"

#include <atomic>
#include <deque>
#include <filesystem>
#include <functional>
#include <httplib.h>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kelvane::test {

inline constexpr char kOpenerA[] = "Opener A";
inline constexpr char kOpenerB[] = "Opener B";
inline constexpr char kOpenerC[] = "Opener C";
inline constexpr char kOperator[] = "Operator";
inline constexpr char kProject[] = "P2026-017";
inline constexpr char kProjectName[] = "道路工程";
// The opening time of the rules, Beijing time: an hour from the start of the program, so that the
// authorities' certificates are valid at every time a test puts their clocks to.
const std::string& OpenTimeText();

class COpeningBench
{
public:
    // Made once per test program, before any token is touched; moreTokens, given to the first
    // call, adds a program's own tokens to the set before it is activated.
    static COpeningBench& Get(const std::function<void(CTestTokenSet&)>& moreTokens = {});

    CTestTokenSet tokens;
    std::filesystem::path folder;
    std::unique_ptr<CTimeStampAuthority> authority;
    std::unique_ptr<CTimeStampAuthority> secondAuthority;
    std::unique_ptr<CTimeStampAuthority> foreignAuthority;
    std::unique_ptr<CLogService> logs;
    std::unique_ptr<CRulesService> rules;
    CLoopbackServer services;
    CLoopbackServer second;
    CLoopbackServer foreign;

    // The certificate of an opener's token, as Base64 of its DER (the rules document's form).
    std::string OpenerCertText(const std::string& label) const;
    // Writes the rules document that the rules server hands out and returns its bytes.
    std::string WriteRules(int m, int n, const std::vector<std::string>& openerLabels,
        const std::string& openTime = OpenTimeText());
    // The same with the openers' certificates given (Base64 of their DER).
    std::string WriteRulesFor(int m, int n, const std::vector<std::string>& openerCertTexts,
        const std::string& openTime = OpenTimeText());
    // Freezes every authority's clock at the opening time plus offset seconds.
    void FreezeAt(std::int64_t offsetSeconds);
    // Every record the log service has accepted so far.
    std::vector<CStoredLogRecord> Records() const { return logs->Records(); }
    // The records accepted after the first `first` ones (a test notes the count at its start).
    std::vector<CStoredLogRecord> RecordsSince(size_t first) const;
    // How many of those have the log type and the message.
    int CountRecordsSince(size_t first, int logType, const std::string& message) const;

private:
    explicit COpeningBench(const std::function<void(CTestTokenSet&)>& moreTokens);
};

// The window side of a run: answers its questions from a script (after calling onAsk, which may
// act like an operator between two questions), and records the questions, the posted
// notifications, the wait cursor, the output lines and the list cells.
class CTestWindow : public IOpeningWindow, public IBidFileList, public CMsgOutput
{
public:
    struct Question
    {
        std::wstring text;
        std::wstring caption;
        unsigned type;
    };

    explicit CTestWindow(std::deque<int> scripted)
        : answers(std::move(scripted))
    {
    }

    int Ask(const std::wstring& text, const std::wstring& caption, unsigned type) override;
    void PostOpeningFinished(int wParam) override;
    void SetWaitCursor(bool on) override;
    void SetItemText(int row, int column, const std::wstring& text) override;
    void Output(const std::wstring& text, int kind) override;

    std::function<void(const std::wstring& text)> onAsk;

    std::vector<Question> questions;
    std::vector<int> posts;
    std::vector<std::wstring> lines;
    std::map<std::pair<int, int>, std::wstring> cells;
    bool waitCursor = false;
    int unanswered = 0;

    size_t PostCount();
    bool HasLine(const std::wstring& line) const;
    bool HasLineStartingWith(const std::wstring& start) const;
    std::wstring Cell(int row, int column) const;

private:
    std::mutex mutex;
    std::deque<int> answers;
};

// Seals a bid of the given size for the openers, embedding rules; threshold n. customData, when
// given, is carried instead of the rules; bidder, when given, signs instead of a bidder that the
// bench's CA issues for the file ("投标人 <stem>", 投标公司).
void SealBid(const std::filesystem::path& path, const std::string& rules, int n,
    const std::vector<std::string>& openerLabels, size_t contentSize = 4096,
    const std::vector<unsigned char>* customData = nullptr, const CTestIssued* bidder = nullptr);
// A signer the tender's anchors do not vouch for: what makes it so (also the bid's file stem), its
// certificate and key, and the start of the reason its refusal gives.
struct CForgedSigner
{
    std::string threat;
    CTestIssued issued;
    std::wstring reason;
};
// Self-signed under a bidder's name, expired, from another CA, without the signature usage, and
// the tender's CA itself.
std::vector<CForgedSigner> ForgedSigners();

// Flips one byte in the middle of the file, inside the sealed payload.
void Tamper(const std::filesystem::path& path);

} // namespace kelvane::test
