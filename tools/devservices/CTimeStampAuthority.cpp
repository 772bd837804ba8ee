#include "CTimeStampAuthority.h"

#include "OpenSslSupport.h"

#include <cstdio>
#include <httplib.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/ts.h>

namespace {

using kelvane::TsRespPtr;
using TsRespCtxPtr = FreedPtr<TS_RESP_CTX, TS_RESP_CTX_free>;
using Asn1ObjectPtr = FreedPtr<ASN1_OBJECT, ASN1_OBJECT_free>;

// A private arc for the development authority's policy; nothing outside tests relies on it.
constexpr const char* kDevPolicy = "1.3.6.1.4.1.59999.1.1";

BioPtr OpenFile(const std::filesystem::path& path)
{
    return BioPtr(BIO_new_file(path.c_str(), "r"));
}

struct CallbackContext
{
    CTimeStampAuthority* authority;
    CDevClock* clock;
    std::mutex* serialMutex;
    uint64_t* nextSerial;
};

ASN1_INTEGER* NextSerial(TS_RESP_CTX*, void* data)
{
    auto* context = static_cast<CallbackContext*>(data);
    std::lock_guard lock(*context->serialMutex);
    ASN1_INTEGER* serial = ASN1_INTEGER_new();
    if (serial && !ASN1_INTEGER_set_uint64(serial, (*context->nextSerial)++)) {
        ASN1_INTEGER_free(serial);
        return nullptr;
    }
    return serial;
}

int ClockTime(TS_RESP_CTX*, void* data, long* seconds, long* microseconds)
{
    const auto* context = static_cast<CallbackContext*>(data);
    *seconds = static_cast<long>(context->clock->Now());
    *microseconds = 0;
    return 1;
}

bool IsLoopback(const std::string& address)
{
    return address.rfind("127.", 0) == 0 || address == "::1" || address == "::ffff:127.0.0.1";
}

} // namespace

std::unique_ptr<CTimeStampAuthority> CTimeStampAuthority::Load(
    const std::filesystem::path& certPem, const std::filesystem::path& keyPem, std::string& error)
{
    std::unique_ptr<CTimeStampAuthority> authority(new CTimeStampAuthority());
    BioPtr certs = OpenFile(certPem);
    if (!certs) {
        error = "cannot read the authority certificate " + certPem.string();
        return nullptr;
    }
    authority->signer = PEM_read_bio_X509(certs.get(), nullptr, nullptr, nullptr);
    if (!authority->signer) {
        error = "no certificate in " + certPem.string() + ": " + OpenSslError();
        return nullptr;
    }
    authority->chain = sk_X509_new_null();
    while (X509* extra = PEM_read_bio_X509(certs.get(), nullptr, nullptr, nullptr)) {
        if (!sk_X509_push(authority->chain, extra)) {
            X509_free(extra);
            error = "out of memory";
            return nullptr;
        }
    }
    ERR_clear_error(); // the end of the PEM file reads as an error

    BioPtr keyFile = OpenFile(keyPem);
    authority->key = keyFile ? PEM_read_bio_PrivateKey(keyFile.get(), nullptr, nullptr, nullptr) : nullptr;
    if (!authority->key) {
        error = "cannot read the authority key " + keyPem.string() + ": " + OpenSslError();
        return nullptr;
    }
    if (X509_check_private_key(authority->signer, authority->key) != 1) {
        error = "the authority key does not belong to its certificate: " + OpenSslError();
        return nullptr;
    }
    return authority;
}

CTimeStampAuthority::~CTimeStampAuthority()
{
    X509_free(signer);
    EVP_PKEY_free(key);
    sk_X509_pop_free(chain, X509_free);
}

std::string CTimeStampAuthority::Respond(std::string_view requestDer)
{
    // A context per request: TS_RESP_CTX keeps per-response state and is not safe to share
    // between the server's threads.
    TsRespCtxPtr context(TS_RESP_CTX_new());
    Asn1ObjectPtr policy(OBJ_txt2obj(kDevPolicy, 1));
    CallbackContext callbacks { this, &clock, &serialMutex, &nextSerial };
    if (!context || !policy || !TS_RESP_CTX_set_signer_cert(context.get(), signer)
        || !TS_RESP_CTX_set_signer_key(context.get(), key) || !TS_RESP_CTX_set_certs(context.get(), chain)
        || !TS_RESP_CTX_set_def_policy(context.get(), policy.get())
        || !TS_RESP_CTX_set_signer_digest(context.get(), EVP_sha256())
        || !TS_RESP_CTX_set_accuracy(context.get(), 1, 0, 0))
        return {};
    for (const EVP_MD* digest : { EVP_sha256(), EVP_sha384(), EVP_sha512(), EVP_sha1(), EVP_sm3() }) {
        if (!TS_RESP_CTX_add_md(context.get(), digest))
            return {};
    }
    TS_RESP_CTX_set_serial_cb(context.get(), NextSerial, &callbacks);
    TS_RESP_CTX_set_time_cb(context.get(), ClockTime, &callbacks);

    BioPtr request(BIO_new_mem_buf(requestDer.data(), static_cast<int>(requestDer.size())));
    TsRespPtr response(request ? TS_RESP_create_response(context.get(), request.get()) : nullptr);
    if (!response) {
        ERR_clear_error();
        return {};
    }
    unsigned char* der = nullptr;
    const int length = i2d_TS_RESP(response.get(), &der);
    const OpenSslMemoryPtr<unsigned char> owned(der);
    if (length <= 0)
        return {};
    return std::string(reinterpret_cast<char*>(der), static_cast<size_t>(length));
}

void CTimeStampAuthority::Mount(httplib::Server& server)
{
    server.Post("/tsa", [this](const httplib::Request& request, httplib::Response& response) {
        if (request.get_header_value("Content-Type") != "application/timestamp-query") {
            response.status = 415;
            response.set_content("expected application/timestamp-query\n", "text/plain");
            return;
        }
        const std::string answer = Respond(request.body);
        if (answer.empty()) {
            response.status = 500;
            response.set_content("the authority could not sign\n", "text/plain");
            return;
        }
        response.set_content(answer, "application/timestamp-reply");
    });

    server.Get("/control/tsa-clock", [this](const httplib::Request&, httplib::Response& response) {
        response.set_content(clock.Describe() + "\n", "text/plain");
    });

    server.Post("/control/tsa-clock", [this](const httplib::Request& request, httplib::Response& response) {
        if (!IsLoopback(request.remote_addr)) {
            response.status = 403;
            return;
        }
        const std::string& body = request.body;
        if (body == "reset") {
            clock.Reset();
        } else if (body.rfind("offset=", 0) == 0) {
            const auto offset = CDevClock::ParseSeconds(body.substr(7));
            if (!offset) {
                response.status = 400;
                response.set_content("offset=<seconds> expected\n", "text/plain");
                return;
            }
            clock.SetOffset(*offset);
        } else if (body.rfind("time=", 0) == 0) {
            const auto at = CDevClock::ParseUtc(body.substr(5));
            if (!at) {
                response.status = 400;
                response.set_content("time=<UTC time> expected\n", "text/plain");
                return;
            }
            clock.Freeze(*at);
        } else {
            response.status = 400;
            response.set_content("offset=<seconds>, time=<UTC time> or reset expected\n", "text/plain");
            return;
        }
        std::fprintf(stderr, "tsa clock: %s\n", clock.Describe().c_str());
        response.set_content(clock.Describe() + "\n", "text/plain");
    });
}
