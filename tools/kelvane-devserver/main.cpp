// kelvane-devserver: the development services of Kelvane (rules server, time-stamp authority, log
// service) on one loopback HTTP server. See README.md for the options and the tender folder.
#include "CDevClock.h"
#include "CDevServer.h"
#include "CLogService.h"
#include "CRulesService.h"
#include "CTender.h"
#include "CTimeStampAuthority.h"
#include "DevLog.h"
#include "app/cli/CommandLine.h"

#include <atomic>
#include <chrono>
#include <core/RulesParser.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kUsageError = 2;

struct COptions
{
    std::vector<std::string> tenderFolders;
    int port = 0;
    std::string portFile;
    std::optional<std::int64_t> tsaOffset;
    std::optional<std::int64_t> tsaTime;
    std::string logDatabase;
};

// The time-stamp authority and the log service live in their own library; this mounts them.
template <typename TService> class CMountedService : public IDevService
{
public:
    explicit CMountedService(std::unique_ptr<TService> mounted)
        : service(std::move(mounted))
    {
    }
    void Mount(httplib::Server& server) override { service->Mount(server); }

private:
    std::unique_ptr<TService> service;
};

const char kUsage[]
    = "usage: kelvane-devserver [--tender DIR]... [--port N] [--port-file FILE]\n"
      "                         [--tsa-offset S | --tsa-time T] [--log-db FILE]\n"
      "  --tender DIR      serve the rules of the tender folder DIR (repeatable); the first\n"
      "                    one's tsa/ and ca/ also make the time-stamp authority and log service\n"
      "  --port N          listen on 127.0.0.1:N; 0 or absent picks a free port\n"
      "  --port-file FILE  write the port to FILE once listening\n"
      "  --tsa-offset S    the authority's clock runs S seconds off the real time\n"
      "  --tsa-time T      the authority's clock stands still at T (UTC, 2026-12-08T01:30:00Z)\n"
      "  --log-db FILE     the log service's records (default <first tender>/logs.sqlite)\n"
      "The first line of standard output is \"listening on http://127.0.0.1:<port>\".\n";

// The options of argv; --help, --version and a command line that cannot be read end the program.
COptions ParseOptions(const int argc, char** argv)
{
    COptions options;
    const auto fail = [](const char* message) {
        std::fprintf(stderr, "kelvane-devserver: %s\n", message);
        return false;
    };
    const auto clock = [&](bool offset) {
        return [&options, fail, offset](const std::string& value) {
            const std::optional<std::int64_t> seconds
                = offset ? CDevClock::ParseSeconds(value) : CDevClock::ParseUtc(value);
            if (!seconds)
                return fail(offset ? "--tsa-offset wants a whole number of seconds"
                                   : "--tsa-time wants a UTC time such as 2026-12-08T01:30:00Z");
            (offset ? options.tsaOffset : options.tsaTime) = seconds;
            return true;
        };
    };
    const CCommandLine line = ReadCommandLine("kelvane-devserver", kUsage,
        {
            { "tender", true,
                [&options](const std::string& value) {
                    options.tenderFolders.push_back(value);
                    return true;
                } },
            { "port", true,
                [&options, fail](const std::string& value) {
                    char* end = nullptr;
                    const long port = std::strtol(value.c_str(), &end, 10);
                    if (value.empty() || *end != '\0' || port < 0 || port > 65535)
                        return fail("--port wants a number from 0 to 65535");
                    options.port = static_cast<int>(port);
                    return true;
                } },
            { "port-file", true,
                [&options](const std::string& value) {
                    options.portFile = value;
                    return true;
                } },
            { "tsa-offset", true, clock(true) },
            { "tsa-time", true, clock(false) },
            { "log-db", true,
                [&options](const std::string& value) {
                    options.logDatabase = value;
                    return true;
                } },
        },
        argc, argv);
    if (!line.exitStatus && !line.operands.empty()) {
        std::fprintf(stderr, "kelvane-devserver: unexpected argument %s\nTry 'kelvane-devserver --help'.\n",
            line.operands.front().c_str());
        std::exit(kUsageError);
    }
    if (line.exitStatus)
        std::exit(*line.exitStatus);
    return options;
}

// Written under a temporary name and renamed, so that a reader never sees half a number.
bool WritePortFile(const std::string& path, const int port)
{
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << port << "\n";
        if (!out.flush()) {
            return false;
        }
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

// A rules document that the workstation would refuse is served all the same (tests need such
// documents), but the log says so.
void CheckRulesDocument(const CTender& tender)
{
    std::ifstream in(tender.RulesFile(), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    CRulesContent content;
    const int code = rules::ParseRules(text.c_str(), content);
    if (code != 0) {
        DevLog("warning: " + tender.RulesFile().string() + " fails the rules check with code "
            + std::to_string(code));
    }
}

// The authority signs with the first tender's tsa/chain.pem (its certificate, then the CA) and
// tsa/tsa.key; without them there is no authority.
bool AddAuthority(CDevServer& server, const std::filesystem::path& tender, const COptions& options)
{
    const std::filesystem::path chain = tender / "tsa" / "chain.pem";
    const std::filesystem::path key = tender / "tsa" / "tsa.key";
    if (tender.empty() || !std::filesystem::exists(chain) || !std::filesystem::exists(key)) {
        if (options.tsaOffset || options.tsaTime) {
            std::fprintf(stderr,
                "kelvane-devserver: --tsa-offset and --tsa-time need a tender with tsa/chain.pem "
                "and tsa/tsa.key\n");
            return false;
        }
        DevLog("no time-stamp authority: the first tender has no tsa/chain.pem and tsa/tsa.key");
        return true;
    }
    std::string error;
    std::unique_ptr<CTimeStampAuthority> authority = CTimeStampAuthority::Load(chain, key, error);
    if (!authority) {
        std::fprintf(stderr, "kelvane-devserver: %s\n", error.c_str());
        return false;
    }
    if (options.tsaOffset) {
        authority->Clock().SetOffset(*options.tsaOffset);
    } else if (options.tsaTime) {
        authority->Clock().Freeze(*options.tsaTime);
    }
    DevLog("time-stamp authority at /tsa, " + authority->Clock().Describe());
    server.Add(std::make_unique<CMountedService<CTimeStampAuthority>>(std::move(authority)));
    return true;
}

// Records are checked against the first tender's CA (ca/ca.pem) when it has one.
bool AddLogService(CDevServer& server, const std::filesystem::path& tender, const COptions& options)
{
    std::filesystem::path database = options.logDatabase;
    if (database.empty()) {
        if (tender.empty()) {
            DevLog("no log service: give --log-db or a tender");
            return true;
        }
        database = tender / "logs.sqlite";
    }
    const std::filesystem::path ca = tender / "ca" / "ca.pem";
    const bool haveCa = !tender.empty() && std::filesystem::exists(ca);
    std::string error;
    std::unique_ptr<CLogService> logs
        = CLogService::Open(database, haveCa ? ca : std::filesystem::path(), error);
    if (!logs) {
        std::fprintf(stderr, "kelvane-devserver: %s\n", error.c_str());
        return false;
    }
    DevLog("log service at /log, records in " + database.string()
        + (haveCa ? ", signers checked against " + ca.string() : ", signer chains not checked"));
    server.Add(std::make_unique<CMountedService<CLogService>>(std::move(logs)));
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    const COptions options = ParseOptions(argc, argv);
    std::vector<CTender> tenders;
    for (const std::string& folder : options.tenderFolders) {
        std::string error;
        std::optional<CTender> tender = LoadTender(folder, error);
        if (!tender) {
            std::fprintf(stderr, "kelvane-devserver: %s\n", error.c_str());
            return 1;
        }
        for (const CTender& loaded : tenders) {
            if (loaded.project == tender->project) {
                std::fprintf(stderr, "kelvane-devserver: project %s is in two tender folders\n",
                    tender->project.c_str());
                return 1;
            }
        }
        CheckRulesDocument(*tender);
        tenders.push_back(std::move(*tender));
    }

    // SIGINT and SIGTERM are taken by one thread with sigwait; every other thread, the server's
    // workers included, inherits the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    CDevServer server;
    const std::filesystem::path firstTender
        = tenders.empty() ? std::filesystem::path() : tenders.front().folder;
    if (!AddAuthority(server, firstTender, options) || !AddLogService(server, firstTender, options)) {
        return 1;
    }
    server.Add(std::make_unique<CRulesService>(
        std::move(tenders), [] { return static_cast<std::int64_t>(std::time(nullptr)); }));
    const int port = server.Bind(options.port);
    if (port <= 0) {
        std::fprintf(stderr, "kelvane-devserver: cannot listen on 127.0.0.1:%d\n", options.port);
        return 1;
    }
    if (!options.portFile.empty() && !WritePortFile(options.portFile, port)) {
        std::fprintf(stderr, "kelvane-devserver: cannot write %s\n", options.portFile.c_str());
        return 1;
    }
    std::printf("listening on http://127.0.0.1:%d\n", port);
    std::fflush(stdout);

    std::atomic<bool> finished { false };
    std::thread signalWaiter([&server, &stopSignals, &finished] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        if (finished) {
            return;
        }
        DevLog(signal == SIGINT ? "stopping on SIGINT" : "stopping on SIGTERM");
        // A signal that comes right after the port was announced may come before the server
        // serves, and a stop then would be lost.
        while (!finished && !server.IsRunning()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        server.Stop();
    });
    const bool served = server.Run();
    finished = true;
    // When serving ended on its own the waiter still waits: wake it with a signal it takes.
    pthread_kill(signalWaiter.native_handle(), SIGTERM);
    signalWaiter.join();
    return served ? 0 : 1;
}
