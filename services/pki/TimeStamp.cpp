// RFC 3161 time-stamps: the request, the exchange, and the verification of the response.
//
// The workstation opens bids only once the authority's time has come, so a response is used only
// when it is verified: imprint and nonce as asked, a valid signature, and an authority whose
// certificate carries the timeStamping usage and chains to our trust anchors. Otherwise anyone on
// the network could make bids open early.
#include "TimeStamp.h"

#include "CertificateStore.h"
#include "Http.h"
#include "PkiHandles.h"
#include "QuarnPKI.h"
#include "RegularFile.h"

#include <algorithm>
#include <ctime>
#include <mutex>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <sys/stat.h>

namespace quarnpki {
namespace {

class CTimeStampHandle final : public CHandle
{
public:
    CTimeStampHandle()
        : CHandle(HandleKind::TimeStamp)
    {
    }

    std::string url;
    int algorithm = QUARNPKI_HASH_SHA256;
    std::vector<unsigned char> imprint;
    bool exchanged = false;
    CTimeStampResult result;
};

std::mutex anchorMutex;
std::vector<std::string> anchorFiles;

std::vector<std::string> AnchorFiles()
{
    const std::lock_guard lock(anchorMutex);
    return anchorFiles;
}

std::string TimeText(const ASN1_GENERALIZEDTIME* time)
{
    struct tm parts
    {
    };
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) {
        return {};
    }
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02dZ", parts.tm_year + 1900, parts.tm_mon + 1,
        parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return text;
}

// A request with a fresh 64-bit nonce that asks for the authority's certificate.
TsReqPtr BuildRequest(const EVP_MD* md, const std::vector<unsigned char>& imprint)
{
    TsReqPtr request(TS_REQ_new());
    TS_MSG_IMPRINT* messageImprint = TS_MSG_IMPRINT_new();
    X509_ALGOR* algorithm = X509_ALGOR_new();
    ASN1_INTEGER* nonce = nullptr;
    unsigned char nonceBytes[8];
    bool ok = request && messageImprint && algorithm && RAND_bytes(nonceBytes, sizeof nonceBytes) == 1;
    if (ok) {
        nonceBytes[0] &= 0x7F; // positive
        nonceBytes[0] |= 0x01; // and of full length
        BIGNUM* bn = BN_bin2bn(nonceBytes, sizeof nonceBytes, nullptr);
        nonce = bn != nullptr ? BN_to_ASN1_INTEGER(bn, nullptr) : nullptr;
        BN_free(bn);
        X509_ALGOR_set_md(algorithm, md);
        ok = nonce != nullptr && TS_REQ_set_version(request.get(), 1) == 1
            && TS_MSG_IMPRINT_set_algo(messageImprint, algorithm) == 1
            && TS_MSG_IMPRINT_set_msg(messageImprint, const_cast<unsigned char*>(imprint.data()),
                   static_cast<int>(imprint.size()))
                == 1
            && TS_REQ_set_msg_imprint(request.get(), messageImprint) == 1
            && TS_REQ_set_nonce(request.get(), nonce) == 1 && TS_REQ_set_cert_req(request.get(), 1) == 1;
    }
    TS_MSG_IMPRINT_free(messageImprint);
    X509_ALGOR_free(algorithm);
    ASN1_INTEGER_free(nonce);
    if (!ok) {
        SetOpenSslError("time-stamp request cannot be made");
        return nullptr;
    }
    return request;
}

// The PKIStatus of a TimeStampResp read on its own: the first element of the outer sequence.
// -1 when the bytes do not start that way.
int RefusalStatus(const unsigned char* der, size_t length)
{
    const unsigned char* p = der;
    long contentLength = 0;
    int tag = 0;
    int xclass = 0;
    const int info = ASN1_get_object(&p, &contentLength, &tag, &xclass, static_cast<long>(length));
    if ((info & 0x80) != 0 || tag != V_ASN1_SEQUENCE || (info & V_ASN1_CONSTRUCTED) == 0) {
        ERR_clear_error();
        return -1;
    }
    const long remaining = static_cast<long>(length) - static_cast<long>(p - der);
    TS_STATUS_INFO* statusInfo = d2i_TS_STATUS_INFO(nullptr, &p, std::min(contentLength, remaining));
    const ASN1_INTEGER* status = statusInfo != nullptr ? TS_STATUS_INFO_get0_status(statusInfo) : nullptr;
    const long value = status != nullptr ? ASN1_INTEGER_get(status) : -1;
    TS_STATUS_INFO_free(statusInfo);
    ERR_clear_error();
    return value >= 0 && value <= 1000 ? static_cast<int>(value) : -1;
}

} // namespace

X509_STORE* NewTimeStampAnchors()
{
    // A run asks for time stamps at its start and for its record at its end: the anchors are read
    // once and kept while their files stay the same and have settled; the system's certificate
    // file only when the anchors do not answer.
    static std::mutex keptMutex;
    static std::vector<std::pair<std::string, struct stat>> keptFiles;
    // Never destroyed: OpenSSL may be cleaned up before static objects at exit.
    static X509StorePtr& kept = *new X509StorePtr;

    std::vector<std::pair<std::string, struct stat>> files;
    bool settled = true;
    const time_t now = std::time(nullptr);
    for (const std::string& file : AnchorFiles()) {
        struct stat status
        {
        };
        const bool known = stat(file.c_str(), &status) == 0;
        settled = settled && known && kelvane::HasSettled(status, now);
        files.emplace_back(file, status);
    }
    const auto same = [](const auto& a, const auto& b) {
        return a.size() == b.size()
            && std::equal(a.begin(), a.end(), b.begin(), [](const auto& x, const auto& y) {
                   return x.first == y.first && kelvane::SameFileStatus(x.second, y.second);
               });
    };
    const std::lock_guard lock(keptMutex);
    if (kept && settled && same(files, keptFiles) && X509_STORE_up_ref(kept.get()) == 1) {
        return kept.get();
    }
    X509StorePtr store(X509_STORE_new());
    if (!store) {
        return nullptr;
    }
    for (const auto& file : files) {
        kelvane::AddCertificateFile(store.get(), file.first);
    }
    kelvane::AddSystemCertificates(store.get());
    if (settled && X509_STORE_up_ref(store.get()) == 1) {
        kept.reset(store.get());
        keptFiles = std::move(files);
    }
    return store.release();
}

int EvaluateTimeStampResponse(
    TS_REQ* request, const unsigned char* der, size_t length, X509_STORE* anchors, CTimeStampResult& result)
{
    result = CTimeStampResult();
    const unsigned char* p = der;
    TsRespPtr response(d2i_TS_RESP(nullptr, &p, static_cast<long>(length)));
    if (!response || p != der + length) {
        ERR_clear_error();
        // OpenSSL refuses to read a refusal that carries a token; its status still tells why.
        const int refused = RefusalStatus(der, length);
        if (refused >= 2) {
            result.status = refused;
            SetError("the authority refused the request with status " + std::to_string(refused));
            return QUARNPKI_OK;
        }
        SetError("the authority's answer is not a time-stamp response");
        return QUARNPKI_FAILED;
    }
    const ASN1_INTEGER* status = TS_STATUS_INFO_get0_status(TS_RESP_get_status_info(response.get()));
    const long statusValue = status != nullptr ? ASN1_INTEGER_get(status) : -1;
    if (statusValue < 0 || statusValue > 1000) {
        SetError("the time-stamp response has no valid status");
        return QUARNPKI_FAILED;
    }
    result.status = static_cast<int>(statusValue);
    if (statusValue != 0 && statusValue != 1) {
        SetError("the authority refused the request with status " + std::to_string(statusValue));
        return QUARNPKI_OK;
    }
    TsVerifyCtxPtr verify(TS_REQ_to_TS_VERIFY_CTX(request, nullptr));
    if (!verify || X509_STORE_up_ref(anchors) != 1) {
        SetOpenSslError("time-stamp verification cannot start");
        return QUARNPKI_FAILED;
    }
    // The request brings the imprint and nonce checks; the signature and chain are added here.
    TS_VERIFY_CTX_set_store(verify.get(), anchors);
    TS_VERIFY_CTX_add_flags(verify.get(), TS_VFY_SIGNATURE);
    if (TS_RESP_verify_response(verify.get(), response.get()) != 1) {
        SetOpenSslError("the time-stamp response does not verify");
        return QUARNPKI_FAILED;
    }
    result.time = TimeText(TS_TST_INFO_get_time(TS_RESP_get_tst_info(response.get())));
    PKCS7* token = TS_RESP_get_token(response.get());
    const int tokenLength = token != nullptr ? i2d_PKCS7(token, nullptr) : 0;
    if (result.time.empty() || tokenLength <= 0) {
        SetError("the time-stamp response carries no usable time or token");
        return QUARNPKI_FAILED;
    }
    result.token.resize(static_cast<size_t>(tokenLength));
    unsigned char* out = result.token.data();
    i2d_PKCS7(token, &out);
    result.verified = true;
    return QUARNPKI_OK;
}

} // namespace quarnpki

using namespace quarnpki;

extern "C" {

void* QuarnPKIMsgNewTimeStamp(void)
{
    return Guarded<void*>(nullptr, [] { return Publish(std::make_unique<CTimeStampHandle>()); });
}

int QuarnPKIMsgTimeStampSetTSA(void* timeStamp, const char* url)
{
    return Guarded(QUARNPKI_FAILED, [&] {
        auto* ts = LookupAs<CTimeStampHandle>(timeStamp, HandleKind::TimeStamp);
        if (ts == nullptr || url == nullptr) {
            return QUARNPKI_INVALID_ARGUMENT;
        }
        ts->url = url;
        return QUARNPKI_OK;
    });
}

int QuarnPKIMsgTimeStampSetHashAlgorithm(void* timeStamp, int algorithm)
{
    return Guarded(QUARNPKI_FAILED, [&] {
        auto* ts = LookupAs<CTimeStampHandle>(timeStamp, HandleKind::TimeStamp);
        if (ts == nullptr || DigestForAlgorithm(algorithm) == nullptr) {
            return QUARNPKI_INVALID_ARGUMENT;
        }
        ts->algorithm = algorithm;
        return QUARNPKI_OK;
    });
}

int QuarnPKIMsgTimeStampSetMessageImprint(void* timeStamp, const unsigned char* digest, int length)
{
    return Guarded(QUARNPKI_FAILED, [&] {
        auto* ts = LookupAs<CTimeStampHandle>(timeStamp, HandleKind::TimeStamp);
        if (ts == nullptr || digest == nullptr || length <= 0 || length > EVP_MAX_MD_SIZE) {
            return QUARNPKI_INVALID_ARGUMENT;
        }
        ts->imprint.assign(digest, digest + length);
        return QUARNPKI_OK;
    });
}

int QuarnPKIMsgTimeStampGetResponse(void* timeStamp, int* status)
{
    return Guarded(QUARNPKI_FAILED, [&] {
        auto* ts = LookupAs<CTimeStampHandle>(timeStamp, HandleKind::TimeStamp);
        if (ts == nullptr || status == nullptr) {
            return QUARNPKI_INVALID_ARGUMENT;
        }
        ts->exchanged = false;
        ts->result = CTimeStampResult();
        const EVP_MD* md = DigestForAlgorithm(ts->algorithm);
        if (ts->url.empty() || ts->imprint.size() != static_cast<size_t>(EVP_MD_get_size(md))) {
            SetError("the time-stamp request needs an authority and an imprint that fits its algorithm");
            return QUARNPKI_FAILED;
        }
        TsReqPtr request = BuildRequest(md, ts->imprint);
        if (!request) {
            return QUARNPKI_FAILED;
        }
        unsigned char* der = nullptr;
        const int derLength = i2d_TS_REQ(request.get(), &der);
        const OpenSslMemoryPtr<unsigned char> owned(der);
        if (derLength <= 0) {
            SetOpenSslError("time-stamp request cannot be encoded");
            return QUARNPKI_FAILED;
        }
        CHttpResult http;
        const int posted = HttpPost(ts->url, { "Content-Type: application/timestamp-query" }, der,
            static_cast<size_t>(derLength), http);
        if (posted != QUARNPKI_OK) {
            return posted;
        }
        if (http.status != 200) {
            SetError("the authority answered with HTTP status " + std::to_string(http.status));
            return QUARNPKI_FAILED;
        }
        X509StorePtr anchors(NewTimeStampAnchors());
        if (!anchors) {
            SetError("out of memory");
            return QUARNPKI_FAILED;
        }
        const int rc = EvaluateTimeStampResponse(
            request.get(), http.body.data(), http.body.size(), anchors.get(), ts->result);
        if (rc != QUARNPKI_OK) {
            return rc;
        }
        ts->exchanged = true;
        *status = ts->result.status;
        return QUARNPKI_OK;
    });
}

int QuarnPKIMsgTimeStampGetTime(void* timeStamp, char** time)
{
    return Guarded(QUARNPKI_FAILED, [&] {
        const auto* ts = LookupAs<CTimeStampHandle>(timeStamp, HandleKind::TimeStamp);
        if (ts == nullptr || time == nullptr) {
            return QUARNPKI_INVALID_ARGUMENT;
        }
        if (!ts->exchanged || !ts->result.verified) {
            SetError("no verified time-stamp");
            return QUARNPKI_FAILED;
        }
        return HandOutText(ts->result.time, time);
    });
}

int QuarnPKIMsgTimeStampGetTimeStampToken(void* timeStamp, unsigned char** token, int* length)
{
    return Guarded(QUARNPKI_FAILED, [&] {
        const auto* ts = LookupAs<CTimeStampHandle>(timeStamp, HandleKind::TimeStamp);
        if (ts == nullptr) {
            return QUARNPKI_INVALID_ARGUMENT;
        }
        if (!ts->exchanged || !ts->result.verified) {
            SetError("no verified time-stamp");
            return QUARNPKI_FAILED;
        }
        return HandOut(ts->result.token, token, length);
    });
}

void QuarnPKIMsgFreeTimeStamp(void* timeStamp)
{
    Release(timeStamp, HandleKind::TimeStamp);
}

int QuarnPKISetTimeStampTrustAnchors(const char* const* pemFiles, int count)
{
    return Guarded(QUARNPKI_FAILED, [&] {
        if (count < 0 || (pemFiles == nullptr && count > 0)) {
            SetError("bad trust anchor list");
            return QUARNPKI_INVALID_ARGUMENT;
        }
        std::vector<std::string> files;
        for (int i = 0; i < count; ++i) {
            if (pemFiles[i] != nullptr && *pemFiles[i] != '\0') {
                files.emplace_back(pemFiles[i]);
            }
        }
        const std::lock_guard lock(anchorMutex);
        anchorFiles = std::move(files);
        return QUARNPKI_OK;
    });
}

} // extern "C"
