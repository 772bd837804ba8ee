// The process's one PKCS#11 context and the tokens it has logged in.
#pragma once

#include "PkiHandles.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quarnpki {

// A certificate found on a present token, with the key pair it belongs to.
struct CTokenCertificate
{
    X509Ptr cert;
    std::shared_ptr<CKeyMaterial> keypair;
    std::string objectLabel;
};

// Runs `operation` with the private key of a key pair: a software key directly; a token key
// after finding its token by label and serial number and logging it in through the PIN
// prompt once per insertion. A token key used before, while its token stays logged in, is used
// again after checking only that its token is still in its slot. Returns the operation's result, or a failure
// code (QUARNPKI_TOKEN_ABSENT, QUARNPKI_PIN_INCORRECT, QUARNPKI_CANCELLED, ...).
int WithPrivateKey(const CKeyMaterial& key, const std::function<int(EVP_PKEY*)>& operation);

// The key pair matching a public key on any present token (or only the token of `device`),
// found through public objects without a PIN. `privateKeyMissing`, when given, tells whether a
// token holds the certificate or public key but shows that it lacks the private key.
std::shared_ptr<CKeyMaterial> FindTokenKeypair(
    EVP_PKEY* publicKey, const CDeviceHandle* device, bool* privateKeyMissing = nullptr);

// The key pairs of one present token, in a stable order.
std::vector<std::shared_ptr<CKeyMaterial>> TokenKeypairs(const CDeviceHandle& device);

// Every certificate on every present token.
std::vector<CTokenCertificate> TokenCertificates();

// What the present tokens hold of a certificate (QUARNPKI_CERT_... of the best token), found through
// public objects without a PIN; the label and PIN state (QUARNPKI_PIN_STATE_...) of that token.
int CertificateOnTokens(X509* cert, std::string& tokenLabel, int& pinState);

// Whether the key pair's token is present now (a software key always is): a question to the slot
// it was seen in, the tokens listed afresh only when it is not there. Neither objects nor logins
// are touched.
bool IsTokenPresent(const CKeyMaterial& key);

// The labels of the tokens present now, in slot order; false (with the reason) when the module
// cannot be loaded or cannot list its tokens.
bool PresentTokenLabels(std::vector<std::string>& labels);

// Whether a token with this serial number is present now; fills its label.
bool FindPresentToken(const std::string& serial, std::string& label);

} // namespace quarnpki
