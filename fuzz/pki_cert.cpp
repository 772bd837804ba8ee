// Certificates as the PKI library receives them: DER, PEM or Base64 text from rules documents
// and sealed bid files, then every attribute read from what parsed.
#include "QuarnPKI.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > static_cast<size_t>(std::numeric_limits<int>::max())) {
        return 0;
    }
    void* cert = QuarnPKICertNewCert(data, static_cast<int>(size));
    if (cert == nullptr) {
        return 0;
    }
    for (const int attribute : { 1, 2, 3, 5, 6, 16, 18, 20 }) {
        char* value = nullptr;
        if (QuarnPKICertGetCertStringAttribute(cert, attribute, &value, nullptr) == 1) {
            QuarnPKICryptoFreeMemory(value);
        }
    }
    for (const int attribute : { 4, 43, 44, 45 }) {
        int value = 0;
        QuarnPKICertGetCertIntegerAttribute(cert, attribute, &value);
    }
    void* publicKey = QuarnPKICertGetCertPublicKey(cert, 7);
    unsigned char* der = nullptr;
    int length = 0;
    if (QuarnPKICryptoGetPublicKeyEncoded(publicKey, &der, &length) == 1) {
        QuarnPKICryptoFreeMemory(der);
    }
    QuarnPKICryptoFreePublicKey(publicKey);
    void* copy = QuarnPKICertDupCert(cert);
    if (QuarnPKICertGetCertEncoded(copy, &der, &length) == 1) {
        QuarnPKICryptoFreeMemory(der);
    }
    QuarnPKICertFreeCert(copy);
    QuarnPKICertFreeCert(cert);
    return 0;
}
