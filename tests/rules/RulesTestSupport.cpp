#include "RulesTestSupport.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <strings.h>

namespace rulestest {

namespace {

struct COpenSslDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
    void operator()(X509* cert) const { X509_free(cert); }
};

std::string Base64(const unsigned char* bytes, const int length)
{
    std::string text(static_cast<size_t>((length + 2) / 3 * 4 + 1), '\0');
    text.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes, length)));
    return text;
}

}  // namespace

std::string MakeCertificateBase64(const std::string& commonName)
{
    const std::unique_ptr<EVP_PKEY, COpenSslDeleter> key(EVP_EC_gen("P-256"));
    const std::unique_ptr<X509, COpenSslDeleter> cert(X509_new());
    if (!key || !cert) {
        ADD_FAILURE() << "OpenSSL cannot make a key";
        return {};
    }
    X509_set_version(cert.get(), X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600L * 24 * 365);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                               -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509_set_pubkey(cert.get(), key.get());
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0) {
        ADD_FAILURE() << "OpenSSL cannot sign a certificate";
        return {};
    }
    unsigned char* der = nullptr;
    const int length = i2d_X509(cert.get(), &der);
    std::string text = Base64(der, length);
    OPENSSL_free(der);
    return text;
}

std::string CertificateDer(const std::string& base64)
{
    std::string der(base64.size() / 4 * 3 + 3, '\0');
    const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(der.data()),
                                       reinterpret_cast<const unsigned char*>(base64.data()),
                                       static_cast<int>(base64.size()));
    if (length <= 0) {
        return {};
    }
    der.resize(static_cast<size_t>(length));
    const auto* cursor = reinterpret_cast<const unsigned char*>(der.data());
    const std::unique_ptr<X509, COpenSslDeleter> cert(d2i_X509(nullptr, &cursor, length));
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
                           "    <projectname>" + projectName + "</projectname>\n"
                           "    <opentime>2026-12-08 09:30:00</opentime>\n"
                           "    <organization>City office</organization>\n"
                           "    <encalog>SM4</encalog>\n"
                           "    <hashalog>SM3</hashalog>\n"
                           "    <rules>\n      <rule>\n"
                           "        <m>" + std::to_string(m) + "</m>\n"
                           "        <n>" + std::to_string(n) + "</n>\n"
                           "        <openers>\n";
    for (int i = 0; i < m; ++i) {
        const std::string cert = MakeCertificateBase64("Opener " + std::to_string(i + 1));
        document += "          <opener>\n            <cert>" + cert +
                    "</cert>\n            <participate>" + (i < n ? "YES" : "NO") + "</participate>\n"
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

CTempFolder::CTempFolder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "kelvane-rules-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "cannot make a temporary folder";
    }
    path = pattern;
}

CTempFolder::~CTempFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

void WriteFile(const std::filesystem::path& file, const std::string& bytes)
{
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    EXPECT_TRUE(out.flush()) << file;
}

std::string ReadFile(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

CTenderFolder::CTenderFolder(std::string project, const std::string releaseTime) : project(std::move(project))
{
    WriteTenderJson(R"({"project": ")" + this->project + R"(", "packages": ["01", "02"],
        "projectName": "Road works", "organisation": "City office",
        "openingTime": "2026-12-08T09:30:00+08:00", "releaseTime": ")" + releaseTime + R"(",
        "m": 2, "n": 1})");
    WriteRules(MakeRulesDocument("Road works", 2, 1));
}

void CTenderFolder::WriteRules(const std::string& document) const
{
    WriteFile(RulesFile(), document);
}

std::filesystem::path CTenderFolder::RulesFile() const
{
    return Path() / "rules" / (project + ".xml");
}

void CTenderFolder::WriteTenderJson(const std::string& json) const
{
    WriteFile(Path() / "tender.json", json);
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

CRawServer::CRawServer(CHandler handler) : handler(std::move(handler))
{
    listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 16) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ADD_FAILURE() << "cannot listen on loopback";
        return;
    }
    port = ntohs(address.sin_port);
    acceptor = std::thread([this] {
        while (!stopping) {
            pollfd waiting{listener, POLLIN, 0};
            if (poll(&waiting, 1, 100) <= 0) {
                continue;
            }
            const int connection = accept(listener, nullptr, nullptr);
            if (connection < 0) {
                continue;
            }
            workers.emplace_back([this, connection] {
                this->handler(connection);
                close(connection);
            });
        }
    });
}

CRawServer::~CRawServer()
{
    stopping = true;
    if (acceptor.joinable()) {
        acceptor.join();
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    if (listener >= 0) {
        close(listener);
    }
}

std::string CRawServer::Url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(port) + path;
}

CRawRequest ReadRequest(const int socket)
{
    CRawRequest request;
    std::string received;
    char buffer[4096];
    size_t headEnd = std::string::npos;
    while ((headEnd = received.find("\r\n\r\n")) == std::string::npos) {
        const ssize_t count = recv(socket, buffer, sizeof buffer, 0);
        if (count <= 0) {
            return request;
        }
        received.append(buffer, static_cast<size_t>(count));
    }
    request.head = received.substr(0, headEnd + 2);
    request.body = received.substr(headEnd + 4);
    const size_t wanted = static_cast<size_t>(std::atol(HeaderValue(request.head, "Content-Length").c_str()));
    while (request.body.size() < wanted) {
        const ssize_t count = recv(socket, buffer, sizeof buffer, 0);
        if (count <= 0) {
            break;
        }
        request.body.append(buffer, static_cast<size_t>(count));
    }
    return request;
}

void SendAll(const int socket, const std::string& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t count = send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (count <= 0) {
            return;
        }
        sent += static_cast<size_t>(count);
    }
}

std::string HeaderValue(const std::string& head, const std::string& name)
{
    size_t lineStart = head.find("\r\n");
    while (lineStart != std::string::npos && lineStart + 2 < head.size()) {
        const size_t begin = lineStart + 2;
        const size_t end = head.find("\r\n", begin);
        const std::string line = head.substr(begin, end - begin);
        const size_t colon = line.find(':');
        if (colon == name.size() && strncasecmp(line.c_str(), name.c_str(), name.size()) == 0) {
            size_t value = colon + 1;
            while (value < line.size() && line[value] == ' ') {
                ++value;
            }
            return line.substr(value);
        }
        lineStart = end;
    }
    return {};
}

}  // namespace rulestest
