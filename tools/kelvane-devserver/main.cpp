// kelvane-devserver: the development services of Kelvane (the rules server) on one loopback HTTP
// server. See README.md for the options and the tender folder.
#include "CDevServer.h"
#include "CRulesService.h"
#include "CTender.h"
#include "DevLog.h"

#include <core/RulesParser.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <optional>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kUsageError = 2;

struct COptions {
    std::vector<std::string> tenderFolders;
    int port = 0;
    std::string portFile;
};

void PrintUsage(std::FILE* out)
{
    std::fprintf(out,
                 "usage: kelvane-devserver [--tender DIR]... [--port N] [--port-file FILE]\n"
                 "  --tender DIR      serve the rules of the tender folder DIR (repeatable)\n"
                 "  --port N          listen on 127.0.0.1:N; 0 or absent picks a free port\n"
                 "  --port-file FILE  write the port to FILE once listening\n"
                 "The first line of standard output is \"listening on http://127.0.0.1:<port>\".\n");
}

std::optional<COptions> ParseOptions(const int argc, char** argv)
{
    COptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            PrintUsage(stdout);
            std::exit(0);
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "kelvane-devserver: %s needs a value\n", option.c_str());
            return std::nullopt;
        }
        const std::string value = argv[++i];
        if (option == "--tender") {
            options.tenderFolders.push_back(value);
        } else if (option == "--port") {
            char* end = nullptr;
            const long port = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || port < 0 || port > 65535) {
                std::fprintf(stderr, "kelvane-devserver: --port wants a number from 0 to 65535\n");
                return std::nullopt;
            }
            options.port = static_cast<int>(port);
        } else if (option == "--port-file") {
            options.portFile = value;
        } else {
            std::fprintf(stderr, "kelvane-devserver: unknown option %s\n", option.c_str());
            return std::nullopt;
        }
    }
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
        DevLog("warning: " + tender.RulesFile().string() + " fails the rules check with code " +
               std::to_string(code));
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const std::optional<COptions> options = ParseOptions(argc, argv);
    if (!options) {
        PrintUsage(stderr);
        return kUsageError;
    }
    std::vector<CTender> tenders;
    for (const std::string& folder : options->tenderFolders) {
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
    server.Add(std::make_unique<CRulesService>(std::move(tenders),
                                               [] { return static_cast<std::int64_t>(std::time(nullptr)); }));
    const int port = server.Bind(options->port);
    if (port <= 0) {
        std::fprintf(stderr, "kelvane-devserver: cannot listen on 127.0.0.1:%d\n", options->port);
        return 1;
    }
    if (!options->portFile.empty() && !WritePortFile(options->portFile, port)) {
        std::fprintf(stderr, "kelvane-devserver: cannot write %s\n", options->portFile.c_str());
        return 1;
    }
    std::printf("listening on http://127.0.0.1:%d\n", port);
    std::fflush(stdout);

    std::atomic<bool> finished{false};
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
