// Time-stamp responses as an authority on the network may send them, read and verified against
// the request the workstation makes (SHA-256 imprint of its fixed message, no nonce here so that
// seeds made with the openssl tool reach the deeper checks).
#include "TimeStamp.h"

#include <cstddef>
#include <cstdint>
#include <openssl/evp.h>
#include <openssl/ts.h>
#include <vector>

namespace {

TS_REQ* Request()
{
    static TS_REQ* request = [] {
        const std::vector<unsigned char> message(80, 0x01);
        unsigned char digest[32];
        unsigned int length = 0;
        EVP_Digest(message.data(), message.size(), digest, &length, EVP_sha256(), nullptr);
        TS_REQ* r = TS_REQ_new();
        TS_MSG_IMPRINT* imprint = TS_MSG_IMPRINT_new();
        X509_ALGOR* algorithm = X509_ALGOR_new();
        X509_ALGOR_set_md(algorithm, EVP_sha256());
        TS_MSG_IMPRINT_set_algo(imprint, algorithm);
        TS_MSG_IMPRINT_set_msg(imprint, digest, static_cast<int>(length));
        TS_REQ_set_version(r, 1);
        TS_REQ_set_msg_imprint(r, imprint);
        TS_REQ_set_cert_req(r, 1);
        TS_MSG_IMPRINT_free(imprint);
        X509_ALGOR_free(algorithm);
        return r;
    }();
    return request;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static X509_STORE* anchors = X509_STORE_new();
    quarnpki::CTimeStampResult result;
    quarnpki::EvaluateTimeStampResponse(Request(), data, size, anchors, result);
    return 0;
}
