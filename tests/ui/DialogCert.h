// A self-signed RSA certificate with a key usage, as the PKI library's handle, for the tests of the
// certificate chooser and viewer.
#pragma once

#include "QuarnPKI.h"
#include "services/pki/PkiPtr.h"
#include "tests/support/TestCa.h"

inline kelvane::pki::CertPtr MakeDialogCert(const char* commonName, long serial, const char* organisation)
{
    using namespace kelvane::test;
    CTestCertRequest request
        = Request(commonName, KeyKind::Rsa2048, CertUsage::SignatureAndEncryption, organisation);
    request.serial = serial;
    request.validFromSeconds = 0;
    const CTestIssued issued = SelfSignedCert(request);
    return kelvane::pki::CertPtr(
        QuarnPKICertNewCert(issued.certDer.data(), static_cast<int>(issued.certDer.size())));
}
