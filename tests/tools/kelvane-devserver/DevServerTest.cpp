// kelvane-devserver as a program: its options, its first output line and how it stops.
#include "RulesTestSupport.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>

using namespace rulestest;

namespace {

// Runs the program to its end and gives its exit status and standard error.
int RunToEnd(const std::string& arguments, std::string& errors)
{
    CTempFolder folder;
    const std::string errorFile = (folder.Path() / "stderr").string();
    const int status = std::system((DevServerPath() + " " + arguments + " >/dev/null 2>" + errorFile).c_str());
    errors = ReadFile(errorFile);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int FreePort()
{
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    close(probe);
    return ntohs(address.sin_port);
}

TEST(DevServer, AnnouncesItsPortAndWritesThePortFile)
{
    CTenderFolder tender("KV-1");
    CTempFolder folder;
    const std::string portFile = (folder.Path() / "port").string();
    CDevServerProcess server({"--tender", tender.Path().string(), "--port-file", portFile});
    ASSERT_GT(server.Port(), 0) << server.FirstLine();
    EXPECT_EQ(ReadFile(portFile), std::to_string(server.Port()) + "\n");
}

TEST(DevServer, ListensOnTheGivenPort)
{
    const int port = FreePort();
    CDevServerProcess server({"--port", std::to_string(port)});
    EXPECT_EQ(server.FirstLine(), "listening on http://127.0.0.1:" + std::to_string(port));
}

class DevServerStops : public testing::TestWithParam<int> {};

TEST_P(DevServerStops, CleanlyOnTheSignal)
{
    CDevServerProcess server({});
    ASSERT_GT(server.Port(), 0);
    EXPECT_EQ(server.Stop(GetParam()), 0);
}

INSTANTIATE_TEST_SUITE_P(Signals, DevServerStops, testing::Values(SIGTERM, SIGINT));

struct CUsageCase {
    const char* arguments;
    int status;
    const char* message;
};

class DevServerUsage : public testing::TestWithParam<CUsageCase> {};

TEST_P(DevServerUsage, RefusesBadOptionsWithAMessage)
{
    std::string errors;
    EXPECT_EQ(RunToEnd(GetParam().arguments, errors), GetParam().status);
    EXPECT_NE(errors.find(GetParam().message), std::string::npos) << errors;
}

INSTANTIATE_TEST_SUITE_P(Options, DevServerUsage,
                         testing::Values(CUsageCase{"--bogus 1", 2, "unknown option --bogus"},
                                         CUsageCase{"--port", 2, "--port needs a value"},
                                         CUsageCase{"--port 70000", 2, "--port wants a number"},
                                         CUsageCase{"--port 12x", 2, "--port wants a number"},
                                         CUsageCase{"--tender /nonexistent-tender", 1, "tender.json"}));

TEST(DevServer, RefusesATenderWithABadFile)
{
    CTenderFolder tender("KV-1");
    tender.WriteTenderJson("{\"project\": 1}");
    std::string errors;
    EXPECT_EQ(RunToEnd("--tender " + tender.Path().string(), errors), 1);
    EXPECT_NE(errors.find("\"project\" must be a text"), std::string::npos) << errors;
}

}  // namespace
