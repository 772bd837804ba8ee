// The handles of the C interface and the key material they share.
#pragma once

#include "PkiInternal.h"

#include <memory>
#include <string>
#include <vector>

namespace quarnpki {

// A key pair: its public key, and where its private key lives. A software key holds the
// private key itself; a token key is found again by token label, serial number and CKA_ID at
// each use, so that a token pulled and put back is reached through its new session.
struct CKeyMaterial
{
    PkeyPtr publicKey;
    PkeyPtr softwareKey;
    std::string tokenLabel;
    std::string tokenSerial;
    std::vector<unsigned char> keyId;
    // The token showed all its private keys (logged in, or never hiding them) and this one was
    // not among them: the certificate or public key is there, the key pair is not.
    bool privateKeyMissing = false;

    bool OnToken() const { return softwareKey == nullptr; }
};

class CDeviceHandle final : public CHandle
{
public:
    CDeviceHandle(int deviceType, std::string tokenLabel, std::string serialNumber)
        : CHandle(HandleKind::Device)
        , type(deviceType)
        , label(std::move(tokenLabel))
        , serial(std::move(serialNumber))
    {
    }

    const int type;
    const std::string label;
    const std::string serial;
};

class CCertHandle final : public CHandle
{
public:
    explicit CCertHandle(X509Ptr cert)
        : CHandle(HandleKind::Cert)
        , x509(std::move(cert))
    {
    }

    X509Ptr x509;
    std::shared_ptr<const CKeyMaterial> keypair;
    // The label of the certificate object on its token; empty for one read from bytes.
    std::string objectLabel;
};

class CPublicKeyHandle final : public CHandle
{
public:
    explicit CPublicKeyHandle(PkeyPtr publicKey)
        : CHandle(HandleKind::PublicKey)
        , key(std::move(publicKey))
    {
    }

    PkeyPtr key;
};

class CKeypairHandle final : public CHandle
{
public:
    explicit CKeypairHandle(std::shared_ptr<const CKeyMaterial> material)
        : CHandle(HandleKind::Keypair)
        , key(std::move(material))
    {
    }

    std::shared_ptr<const CKeyMaterial> key;
};

} // namespace quarnpki
