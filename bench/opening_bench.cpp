// The cost of an opening per bid beyond the waits it must make.
//
// Runs an opening as kelvane-cli does (the operator's certificate checked, then the manager's
// run with the workstation's own timings) over N small bids sealed to three openers with a
// threshold of two, two of whom came, with their and the operator's tokens on SoftHSM, the rules server, the
// time-stamp authority and the log service on loopback, and every operation record signed and submitted. The
// wall time less the prescribed sleeps, per bid, is `opening_overhead_ms_per_bid`; the target is below 8 ms.
//
// The sleeps are those the code makes, counted from the run itself: CheckOperatorCert waits
// COpeningTimings::operatorCertWait before the run (as kelvane-cli calls it); each round of
// "insert the openers' keys" waits afterKeyInserted and operatorCertWait once, and beforeTry once
// for every bid it tries. Nothing else in the opening sleeps.
#include "OpeningBench.h"
#include "app/LanguageCatalogue.h"
#include "app/TextConversion.h"
#include "audit/OperatorSignature.h"
#include "tests/support/ScriptedPrompt.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <time.h>

namespace fs = std::filesystem;
using namespace kelvane::test;

namespace {

struct COptions
{
    int bids = 50;
    size_t bidSize = 4096;
    bool keep = false;
    bool records = true;
};

bool Parse(int argc, char** argv, COptions& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--bids" && i + 1 < argc) {
            options.bids = std::atoi(argv[++i]);
        } else if (arg == "--size" && i + 1 < argc) {
            options.bidSize = static_cast<size_t>(std::atoll(argv[++i]));
        } else if (arg == "--keep") {
            options.keep = true;
        } else if (arg == "--no-records") {
            options.records = false;
        } else {
            return false;
        }
    }
    return options.bids > 0;
}

void WriteSettings(const fs::path& config, COpeningBench& bench, bool records)
{
    const fs::path file = config / "QUARN" / "rmw" / "Setting.ini";
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::trunc)
        << "[BidRuleFileURL]\nurl=" << bench.services.Url("/rules") << "\n"
        << "[TimeStampURL]\nurl=" << bench.services.Url("/tsa") << "\n"
        << "[LogService]\nIsSumbitLog=" << (records ? "true" : "false")
        << "\n[LogSubmitURL]\nurl=" << bench.services.Url("/log") << "\n"
        << "[LocalLog]\nIsWriteLocalLog=true\n[RulesCompare]\nIsCompare=true\n";
}

// The test window, noting when each question is asked: the phases of the run lie between them.
class CTimedWindow : public CTestWindow
{
public:
    using CTestWindow::CTestWindow;

    int Ask(const std::wstring& text, const std::wstring& caption, unsigned type) override
    {
        asked.push_back(std::chrono::steady_clock::now());
        return CTestWindow::Ask(text, caption, type);
    }

    std::vector<std::chrono::steady_clock::time_point> asked;
};

double PeakRssMib()
{
    struct rusage usage
    {
    };
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// CLOCK_MONOTONIC in seconds, the clock of `perf record -k CLOCK_MONOTONIC`: the marks let a
// profile be cut to the timed part (perf report --time).
double MonotonicSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The process's processor time so far (every thread, the loopback services' included), in ms.
double CpuMs()
{
    struct rusage usage
    {
    };
    getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_usec) / 1000.0;
    };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

} // namespace

int main(int argc, char** argv)
{
    COptions options;
    if (!Parse(argc, argv, options)) {
        std::fprintf(stderr, "usage: opening_bench [--bids N] [--size BYTES] [--keep]\n");
        return 2;
    }
    COpeningBench& bench = COpeningBench::Get();
    const fs::path root = bench.folder / "opening-bench";
    const fs::path package = root / "work" / kProject / "L1";
    fs::create_directories(package);
    setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
    WriteSettings(root / "config", bench, options.records);
    const std::string rules = bench.WriteRules(3, 2, { kOpenerA, kOpenerB, kOpenerC });
    // SoftHSM itself, as a workstation loads its token module: the forwarding module of the tests
    // asks SoftHSM for every slot at each call, which no real module does. Nothing has touched a
    // token yet, so the module is loaded afresh from here.
    bench.tokens.Activate(false);
    // Two of the three openers came: SoftHSM is shown a copy of every token but opener C's.
    const fs::path present = root / "tokens-present";
    fs::create_directories(present);
    for (const fs::directory_entry& token :
        fs::directory_iterator(fs::path(bench.tokens.Folder()) / "tokens")) {
        std::ifstream object(token.path() / "token.object", std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(object)), std::istreambuf_iterator<char>());
        if (bytes.find(kOpenerC) == std::string::npos)
            fs::copy(token.path(), present / token.path().filename(), fs::copy_options::recursive);
    }
    const std::string conf = "directories.tokendir = " + present.string()
        + "\nobjectstore.backend = file\nlog.level = ERROR\nslots.removable = true\n";
    std::ofstream(root / "softhsm2.conf") << conf;
    setenv("SOFTHSM2_CONF", (root / "softhsm2.conf").c_str(), 1);
    const auto workstationWritten = std::chrono::steady_clock::now();

    std::printf("sealing %d bids of %zu bytes ...\n", options.bids, options.bidSize);
    std::fflush(stdout);
    std::vector<fs::path> files;
    for (int i = 0; i < options.bids; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "bid%04d.bidx", i);
        files.push_back(package / name);
        SealBid(files.back(), rules, 2, { kOpenerA, kOpenerB, kOpenerC }, options.bidSize);
    }
    CLanguageCatalogue::Instance().Load();
    CScriptedPrompt auditPrompt({}, IDOK);
    SetAuditPrompt(&auditPrompt);
    const size_t recordsBefore = bench.Records().size();

    // The workstation's own waits: the run is timed as the operator sees it.
    const COpeningTimings timings {};
    COpeningManager manager(timings);
    manager.SetProjectNumber(Utf8ToWide(kProject));
    for (size_t i = 0; i < files.size(); ++i)
        manager.AddFile(static_cast<int>(i), Utf8ToWide(files[i].string()),
            Utf8ToWide((package / "Open").string()) + L"/");
    CTimedWindow window({ IDYES, IDOK, IDOK });
    manager.SetNotifyWindow(&window);
    manager.SetListControl(&window);
    manager.SetOutputSink(&window);

    // A workstation's settings and anchor files are older than its opening. The programs read
    // such a file again at every use while it is younger than two seconds (a change within one
    // tick of the file clock would not show in its status): the run starts once they are older.
    std::this_thread::sleep_until(workstationWritten + std::chrono::milliseconds(2200));

    // The marks show where the timed part begins and ends in a trace (strace -f).
    std::printf("opening starts at %.6f\n", MonotonicSeconds());
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    const double cpuBefore = CpuMs();
    if (CheckOperatorCert(timings.operatorCertWait) != 1) {
        std::fprintf(stderr, "the operator's certificate was not found\n");
        return 1;
    }
    if (manager.Start() != 0) {
        std::fprintf(stderr, "the opening did not start\n");
        return 1;
    }
    manager.Join();
    const double wallMs
        = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    const double cpuMs = CpuMs() - cpuBefore;
    std::printf("opening ended at %.6f\n", MonotonicSeconds());
    std::fflush(stdout);

    // Rounds of "insert the openers' keys" the run made; each tried every bid once (every bid
    // opens in the first round when two openers are present).
    int rounds = 0;
    for (const auto& question : window.questions)
        rounds += question.text == CLanguageCatalogue::Instance().GetText("insert_bidder_key") ? 1 : 0;
    const double sleptMs = static_cast<double>(timings.operatorCertWait.count())
        + rounds
            * static_cast<double>(timings.afterKeyInserted.count() + timings.operatorCertWait.count()
                + options.bids * timings.beforeTry.count());

    int decrypted = 0;
    for (const auto& holder : manager.Files())
        decrypted += holder->GetBidStatus() == BidStatus::Decrypted ? 1 : 0;
    const size_t records = bench.Records().size() - recordsBefore;
    SetAuditPrompt(nullptr);

    std::printf("bids: %d, decrypted: %d, rounds: %d, records accepted: %zu\n", options.bids, decrypted,
        rounds, records);
    std::printf("wall: %.3f s, prescribed sleeps: %.3f s\n", wallMs / 1000.0, sleptMs / 1000.0);
    if (window.asked.size() == 3) {
        // Before the openers' keys: the rules, the time stamp and every bid's checks; with the
        // keys: each bid tried on the tokens and its openers' records; then the decryptions and
        // their records. Each less its own sleeps.
        const auto ms
            = [](auto from, auto to) { return std::chrono::duration<double, std::milli>(to - from).count(); };
        const double keysSleep = static_cast<double>(timings.afterKeyInserted.count()
            + timings.operatorCertWait.count() + options.bids * timings.beforeTry.count());
        std::printf("per bid: checks %.2f ms, keys %.2f ms, decryption %.2f ms\n",
            (ms(start, window.asked[0]) - static_cast<double>(timings.operatorCertWait.count()))
                / options.bids,
            (ms(window.asked[0], window.asked[1]) - keysSleep) / options.bids,
            ms(window.asked[1], window.asked[2]) / options.bids);
    }
    std::printf("processor time: %.2f ms per bid (services included)\n", cpuMs / options.bids);
    const double overhead = (wallMs - sleptMs) / options.bids;
    std::printf("opening_overhead_ms_per_bid: %.2f (target < 8)\n", overhead);
    std::printf("peak_rss_mib: %.1f\n", PeakRssMib());
    if (!options.keep)
        fs::remove_all(root);
    // Every bid must have opened and every record been accepted, or the figure measures a
    // different run.
    const bool complete = decrypted == options.bids && rounds == 1
        && (!options.records || records >= static_cast<size_t>(3 * options.bids))
        && auditPrompt.Questions().empty();
    if (!complete)
        std::fprintf(stderr, "the run was not the complete opening it should be\n");
    return complete ? 0 : 1;
}
