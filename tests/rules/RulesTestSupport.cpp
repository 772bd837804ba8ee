#include "RulesTestSupport.h"

#include "OpenSslPtr.h"
#include "tests/support/TestCa.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace rulestest {

std::string MakeCertificateBase64(const std::string& commonName)
{
    using namespace kelvane::test;
    return CertBase64(SelfSignedCert(Request(commonName, KeyKind::P256, CertUsage::Unrestricted)).certDer);
}

std::string CertificateDer(const std::string& base64)
{
    std::string der(base64.size() / 4 * 3 + 3, '\0');
    const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(der.data()),
        reinterpret_cast<const unsigned char*>(base64.data()), static_cast<int>(base64.size()));
    if (length <= 0) {
        return {};
    }
    der.resize(static_cast<size_t>(length));
    const auto* cursor = reinterpret_cast<const unsigned char*>(der.data());
    const kelvane::X509Ptr cert(d2i_X509(nullptr, &cursor, length));
    if (!cert) {
        return {};
    }
    // EVP_DecodeBlock keeps the zero bytes that stand for padding; the certificate says its size.
    der.resize(static_cast<size_t>(cursor - reinterpret_cast<const unsigned char*>(der.data())));
    return der;
}

std::string MakeRulesDocument(const std::string& projectName, const int m, const int n)
{
    std::string document = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<bidenv>\n  <source>\n"
                           "    <projectname>"
        + projectName
        + "</projectname>\n"
          "    <opentime>2026-12-08 09:30:00</opentime>\n"
          "    <organization>City office</organization>\n"
          "    <encalog>SM4</encalog>\n"
          "    <hashalog>SM3</hashalog>\n"
          "    <rules>\n      <rule>\n"
          "        <m>"
        + std::to_string(m)
        + "</m>\n"
          "        <n>"
        + std::to_string(n)
        + "</n>\n"
          "        <openers>\n";
    for (int i = 0; i < m; ++i) {
        const std::string cert = MakeCertificateBase64("Opener " + std::to_string(i + 1));
        document += "          <opener>\n            <cert>" + cert + "</cert>\n            <participate>"
            + (i < n ? "YES" : "NO")
            + "</participate>\n"
              "          </opener>\n";
    }
    document += "        </openers>\n      </rule>\n    </rules>\n  </source>\n</bidenv>\n";
    return document;
}

std::string Edited(std::string document, const std::string& what, const std::string& with)
{
    const size_t at = document.find(what);
    EXPECT_NE(at, std::string::npos) << what;
    if (at != std::string::npos) {
        document.replace(at, what.size(), with);
    }
    return document;
}

CTenderFolder::CTenderFolder(std::string projectNumber, const std::string releaseTime)
    : project(std::move(projectNumber))
{
    WriteTenderJson(R"({"project": ")" + this->project + R"(", "packages": ["01", "02"],
        "projectName": "Road works", "organisation": "City office",
        "openingTime": "2026-12-08T09:30:00+08:00", "releaseTime": ")"
        + releaseTime + R"(",
        "m": 2, "n": 1})");
    WriteRules(MakeRulesDocument("Road works", 2, 1));
}

void CTenderFolder::WriteRules(const std::string& document) const
{
    WriteFileBytes(RulesFile(), document);
}

std::filesystem::path CTenderFolder::RulesFile() const
{
    return Path() / "rules" / (project + ".xml");
}

void CTenderFolder::WriteTenderJson(const std::string& json) const
{
    WriteFileBytes(Path() / "tender.json", json);
}

std::string DevServerPath()
{
    return std::string(KELVANE_BINARY_DIR) + "/bin/kelvane-devserver";
}

CDevServerProcess::CDevServerProcess(const std::vector<std::string>& arguments)
{
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) {
        ADD_FAILURE() << "pipe";
        return;
    }
    const std::string program = DevServerPath();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid = fork();
    if (pid == 0) {
        dup2(pipeEnds[1], STDOUT_FILENO);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(pipeEnds[1]);
    // Only the first line matters; the rest of the output is not read, which is fine because the
    // server writes nothing else to standard output.
    char c = 0;
    while (read(pipeEnds[0], &c, 1) == 1 && c != '\n') {
        firstLine += c;
    }
    close(pipeEnds[0]);
    const std::string prefix = "listening on http://127.0.0.1:";
    if (firstLine.rfind(prefix, 0) == 0) {
        port = std::atoi(firstLine.c_str() + prefix.size());
    }
}

CDevServerProcess::~CDevServerProcess()
{
    if (pid > 0) {
        Stop(SIGKILL);
    }
}

std::string CDevServerProcess::Url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(port) + path;
}

int CDevServerProcess::Stop(const int signal)
{
    if (pid <= 0) {
        return -1;
    }
    kill(pid, signal);
    return Wait();
}

int CDevServerProcess::Wait()
{
    int status = 0;
    const pid_t ended = waitpid(pid, &status, 0);
    pid = -1;
    return ended > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace rulestest
