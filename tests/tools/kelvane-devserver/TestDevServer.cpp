// kelvane-devserver as a program: its options, its first output line and how it stops.
#include "RulesTestSupport.h"

#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kelvane::test;
using namespace rulestest;

namespace {

// Runs the program to its end and gives its exit status and standard error.
int RunToEnd(const std::string& arguments, std::string& errors)
{
    CTempDir folder;
    const std::string errorFile = (folder.Path() / "stderr").string();
    const int status
        = std::system((DevServerPath() + " " + arguments + " >/dev/null 2>" + errorFile).c_str());
    errors = ReadFileBytes(errorFile);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Posts body to /rules over a plain socket and gives the status code of the answer.
std::string HttpStatusOfPost(const int port, const std::string& body)
{
    const int connection = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(connection, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(connection);
        return "no connection";
    }
    SendAll(connection,
        "POST /rules HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
        "Content-Length: "
            + std::to_string(body.size()) + "\r\n\r\n" + body);
    char head[13] = {};
    size_t received = 0;
    while (received < 12) {
        const ssize_t count = recv(connection, head + received, 12 - received, 0);
        if (count <= 0) {
            break;
        }
        received += static_cast<size_t>(count);
    }
    close(connection);
    return std::string(head).substr(received == 12 ? 9 : 0, 3);
}

TEST(DevServer, AnnouncesItsPortAndWritesThePortFile)
{
    CTenderFolder tender("KV-1");
    CTempDir folder;
    const std::string portFile = (folder.Path() / "port").string();
    CDevServerProcess server({ "--tender", tender.Path().string(), "--port-file", portFile });
    ASSERT_GT(server.Port(), 0) << server.FirstLine();
    EXPECT_EQ(ReadFileBytes(portFile), std::to_string(server.Port()) + "\n");
}

TEST(DevServer, ListensOnTheGivenPort)
{
    // A probed port is free only when probed: another process may take it before the server
    // binds, so a refusal to listen is tried again on another free port.
    for (int attempt = 0; attempt < 5; ++attempt) {
        const int port = FreePort();
        CDevServerProcess server({ "--port", std::to_string(port) });
        if (server.Port() == 0)
            continue;
        EXPECT_EQ(server.FirstLine(), "listening on http://127.0.0.1:" + std::to_string(port));
        return;
    }
    FAIL() << "the server never listened on a port it was given";
}

class DevServerStops : public testing::TestWithParam<int>
{
};

TEST_P(DevServerStops, CleanlyOnTheSignal)
{
    CDevServerProcess server({});
    ASSERT_GT(server.Port(), 0);
    EXPECT_EQ(server.Stop(GetParam()), 0);
}

INSTANTIATE_TEST_SUITE_P(Signals, DevServerStops, testing::Values(SIGTERM, SIGINT));

struct CUsageCase
{
    const char* arguments;
    int status;
    const char* message;
};

class DevServerUsage : public testing::TestWithParam<CUsageCase>
{
};

TEST_P(DevServerUsage, RefusesBadOptionsWithAMessage)
{
    std::string errors;
    EXPECT_EQ(RunToEnd(GetParam().arguments, errors), GetParam().status);
    EXPECT_NE(errors.find(GetParam().message), std::string::npos) << errors;
}

INSTANTIATE_TEST_SUITE_P(Options, DevServerUsage,
    testing::Values(CUsageCase { "--bogus 1", 2, "unknown option --bogus" },
        CUsageCase { "--port", 2, "--port needs a value" },
        CUsageCase { "--port 70000", 2, "--port wants a number" },
        CUsageCase { "--port 12x", 2, "--port wants a number" },
        CUsageCase { "--tender /nonexistent-tender", 1, "tender.json" }));

TEST(DevServer, RefusesATenderWithABadFileOrAProjectTwice)
{
    CTenderFolder tender("KV-1");
    CTenderFolder again("KV-1");
    std::string errors;
    EXPECT_EQ(
        RunToEnd("--tender " + tender.Path().string() + " --tender " + again.Path().string(), errors), 1);
    EXPECT_NE(errors.find("project KV-1 is in two tender folders"), std::string::npos) << errors;

    tender.WriteTenderJson("{\"project\": 1}");
    EXPECT_EQ(RunToEnd("--tender " + tender.Path().string(), errors), 1);
    EXPECT_NE(errors.find("\"project\" must be a text"), std::string::npos) << errors;
}

TEST(DevServer, ServesSeveralTenders)
{
    CTenderFolder first("KV-1");
    CTenderFolder second("KV-2", "2099-01-01T00:00:00Z");
    CDevServerProcess server({ "--tender", first.Path().string(), "--tender", second.Path().string() });
    ASSERT_GT(server.Port(), 0);
    for (const char* project : { "KV-1", "KV-2" }) {
        const std::string status = HttpStatusOfPost(server.Port(), std::string("projectid=") + project);
        EXPECT_EQ(status, "200") << project;
    }
    EXPECT_EQ(HttpStatusOfPost(server.Port(), "projectid=KV-3"), "404");
}

} // namespace
