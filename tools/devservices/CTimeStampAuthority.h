#pragma once

#include "CDevClock.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <string>
#include <string_view>

namespace httplib {
class Server;
}

// An RFC 3161 time-stamp authority for development and tests. It signs with its own CA-issued
// certificate (which carries the critical timeStamping usage) and takes its time from a CDevClock.
//
// POST /tsa                 application/timestamp-query -> application/timestamp-reply
// POST /control/tsa-clock   body "offset=<seconds>", "time=<UTC time>" or "reset"; loopback only
// GET  /control/tsa-clock   the clock as text
class CTimeStampAuthority
{
public:
    // Loads the signer certificate (the first certificate of certPem; any further ones are sent
    // as its chain) and its private key. Returns null and an error text when they do not load
    // or do not belong together.
    static std::unique_ptr<CTimeStampAuthority> Load(
        const std::filesystem::path& certPem, const std::filesystem::path& keyPem, std::string& error);

    ~CTimeStampAuthority();

    // The DER response to one DER request; a request that does not parse gets a rejection
    // response (status 2) as RFC 3161 asks, never an empty answer. Empty only when OpenSSL fails.
    std::string Respond(std::string_view requestDer);

    CDevClock& Clock() { return clock; }
    void Mount(httplib::Server& server);

private:
    CTimeStampAuthority() = default;

    X509* signer = nullptr;
    EVP_PKEY* key = nullptr;
    STACK_OF(X509) * chain = nullptr;
    CDevClock clock;
    std::mutex serialMutex;
    uint64_t nextSerial = 1;
};
