// Certificates and private keys as sealed bid files and their makers hand them over: DER, PEM, or
// Base64 text with white space (the rules document's form). Decoding only; what a certificate's
// key is used for is the business of the shares and the signature.
#pragma once

#include "OpenSslPtr.h"

#include <cstddef>
#include <openssl/x509.h>
#include <vector>

namespace kelvane::bidx {

using PKey = PkeyPtr;
using Cert = X509Ptr;

// A DER certificate and nothing after it; decoded once per process and shared after that.
Cert DecodeDerCertificate(const unsigned char* data, size_t size);
// DER, PEM or Base64 text.
Cert DecodeCertificate(const unsigned char* data, size_t size);
std::vector<unsigned char> CertificateDer(const X509* cert);
bool IsParsableCertificate(const std::vector<unsigned char>& der);
// The public key of a DER certificate, null when it does not parse.
PKey CertificatePublicKey(const std::vector<unsigned char>& der);
// Whether an EC key lies on P-256, the one curve of the EC share wrap.
bool IsP256(const EVP_PKEY* key);

// PEM or DER private key.
PKey DecodePrivateKey(const unsigned char* data, size_t size);

} // namespace kelvane::bidx
