// Shared by the tests of Quelvar and of the rules server: rules documents with real
// certificates, tender folders and the development server as a process.
#pragma once

#include "tests/support/LoopbackServer.h"
#include "tests/support/TempDir.h"

#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace rulestest {

// A fresh self-signed P-256 certificate, as Base64 of its DER on one line.
std::string MakeCertificateBase64(const std::string& commonName);
// The DER bytes behind such a text, empty when it is not one certificate.
std::string CertificateDer(const std::string& base64);

// A complete rules document with real certificates for m openers, the first n of them taking
// part.
std::string MakeRulesDocument(const std::string& projectName, int m, int n);
// document with the first occurrence of what replaced by with; fails the test when it is absent.
std::string Edited(std::string document, const std::string& what, const std::string& with);

// A tender folder as the rules server reads it: tender.json and rules/<project>.xml.
class CTenderFolder
{
public:
    explicit CTenderFolder(std::string project, std::string releaseTime = "2020-01-01T00:00:00Z");
    const std::filesystem::path& Path() const { return folder.Path(); }
    const std::string& Project() const { return project; }
    void WriteRules(const std::string& document) const;
    std::filesystem::path RulesFile() const;
    void WriteTenderJson(const std::string& json) const;

private:
    CTempDir folder;
    std::string project;
};

// kelvane-devserver of this build, started with the given options; stopped with SIGTERM.
class CDevServerProcess
{
public:
    explicit CDevServerProcess(const std::vector<std::string>& arguments);
    ~CDevServerProcess();
    CDevServerProcess(const CDevServerProcess&) = delete;
    CDevServerProcess& operator=(const CDevServerProcess&) = delete;

    // The port from the first output line, or 0 when the server did not start.
    int Port() const { return port; }
    std::string FirstLine() const { return firstLine; }
    std::string Url(const std::string& path) const;
    // Sends signal and returns the exit status, or -1 when it did not exit normally.
    int Stop(int signal);
    // Waits for the process to end by itself and returns as Stop does.
    int Wait();

private:
    pid_t pid = -1;
    int port = 0;
    std::string firstLine;
};

std::string DevServerPath();

} // namespace rulestest
