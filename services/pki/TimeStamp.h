// Reading and verifying an RFC 3161 time-stamp response.
#pragma once

#include <openssl/ts.h>
#include <openssl/x509_vfy.h>
#include <string>
#include <vector>

namespace quarnpki {

struct CTimeStampResult
{
    int status = -1; // the response's PKIStatus
    bool verified = false; // granted, and every check passed
    std::string time; // YYYYMMDDhhmmssZ, only when verified
    std::vector<unsigned char> token; // DER ContentInfo, only when verified
};

// Reads a response to `request`. QUARNPKI_OK with the status for a refusal (2 and above) and
// for a verified grant; a grant that fails any check (imprint, nonce, signature, the
// authority's certificate and its chain to `anchors`) fails with the reason as error text.
int EvaluateTimeStampResponse(
    TS_REQ* request, const unsigned char* der, size_t length, X509_STORE* anchors, CTimeStampResult& result);

// The trust anchors for authorities: the files the program named with
// QuarnPKISetTimeStampTrustAnchors, and the system store.
X509_STORE* NewTimeStampAnchors();

} // namespace quarnpki
