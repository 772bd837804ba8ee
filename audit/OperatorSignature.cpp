#include "audit/OperatorSignature.h"

#include "PkiPtr.h"
#include "app/LanguageCatalogue.h"
#include "app/PkiSettings.h"
#include "app/TextConversion.h"

#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

using namespace kelvane::pki;

namespace {

// The certificate chooser shows signing certificates that are valid now and whose key is on a
// present token. The members and their order are what the PKI library's chooser expects.
constexpr char kSelectionFilter[]
    = R"({"UIFlag":"default","InValidity":true,"Type":"signature","Method":"device","Value":"any"})";

// The flag words the workstation passes when it looks for its operator's key.
constexpr unsigned kOperatorFlags = 0x10000000;
constexpr unsigned kOperatorUsage = 2;

// The session's text of a catalogue key: the built-in Chinese, or the language file's.
std::wstring Text(const char* key)
{
    return CLanguageCatalogue::Instance().GetText(key);
}

std::mutex operatorMutex;
CertPtr operatorCert;

std::mutex promptMutex;
IPrompt* auditPrompt = nullptr;

// Appends a library buffer to out and frees it.
void TakePiece(unsigned char* piece, int length, std::vector<unsigned char>& out)
{
    const BytesPtr owned(piece);
    if (owned != nullptr && length > 0)
        out.insert(out.end(), owned.get(), owned.get() + length);
}

} // namespace

namespace kelvane::audit {

int ShowAuditMessage(const std::wstring& text, const std::wstring& caption)
{
    IPrompt* prompt = nullptr;
    {
        const std::lock_guard lock(promptMutex);
        prompt = auditPrompt;
    }
    return prompt != nullptr ? prompt->Ask(text, caption, MB_OK | MB_ICONINFORMATION) : 0;
}

} // namespace kelvane::audit

void SetAuditPrompt(IPrompt* prompt)
{
    const std::lock_guard lock(promptMutex);
    auditPrompt = prompt;
}

void* CopyOperatorCert()
{
    const std::lock_guard lock(operatorMutex);
    return operatorCert != nullptr ? QuarnPKICertDupCert(operatorCert.get()) : nullptr;
}

void SetOperatorCert(void* cert)
{
    CertPtr copy(cert != nullptr ? QuarnPKICertDupCert(cert) : nullptr);
    const std::lock_guard lock(operatorMutex);
    operatorCert.swap(copy);
}

int CheckOperatorCert(std::chrono::milliseconds wait)
{
    std::this_thread::sleep_for(wait);

    // The key is bound on a copy, outside the lock: binding may talk to a token for a while, and
    // a signature on another thread must not wait for it.
    if (const CertPtr held(CopyOperatorCert()); held != nullptr && KeepPrivateKey(held.get()) == 1) {
        SetOperatorCert(held.get());
        return 1;
    }

    void* chosen = nullptr;
    const int result = QuarnPKISelectCert(kSelectionFilter, 0, &chosen);
    const CertPtr owned(chosen);
    if (result == 1 && owned != nullptr) {
        SetOperatorCert(owned.get());
        return 1;
    }
    if (result == QUARNPKI_CERT_AMBIGUOUS) {
        // The library lists the candidates with their fingerprints; the operator names one.
        kelvane::audit::ShowAuditMessage(
            Text("operator_cert_ambiguous") + L"\n" + Utf8ToWide(QuarnPKIGetLastError()), Text("tips"));
        return 0;
    }
    if (result == QUARNPKI_CANCELLED) {
        kelvane::audit::ShowAuditMessage(Text("operator_cert_cancelled"), Text("tips"));
        return 0;
    }
    // What to check: whether the module loaded and which tokens it sees.
    kelvane::audit::ShowAuditMessage(
        Text("operator_insert_cert") + L"\n" + Utf8ToWide(kelvane::DescribeTokens(kelvane::ViewTokens())),
        Text("tips"));
    return 0;
}

int BindPrivateKey(void* cert)
{
    if (cert == nullptr)
        return 0;
    DevicePtr device;
    {
        const KeypairPtr keypair(QuarnPKICertGetCertKeyPair(cert, kOperatorFlags, kOperatorUsage, nullptr));
        if (keypair == nullptr)
            return 0;
        device.reset(QuarnPKICryptoGetDeviceHandleFromKeypair(keypair.get()));
    }
    if (device == nullptr)
        return 0;

    // The device is looked up again by its serial number with "present now", so that a token
    // pulled since the key pair was found is noticed here rather than at the signature.
    DevicePtr present;
    {
        char* rawSerial = nullptr;
        const int serialResult = QuarnPKICryptoGetSerialNumber(device.get(), &rawSerial);
        const TextPtr serial(rawSerial);
        if (serialResult != 1 || serial == nullptr)
            return 0;
        const int type = QuarnPKICryptoGetType(device.get());
        void* found = nullptr;
        const int findResult = QuarnPKICryptoFindDevice(type, serial.get(), 1, &found);
        present.reset(found);
        device.reset();
        if (findResult != 1 || present == nullptr)
            return 0;
    }

    const KeypairPtr keypair(FindKeypairForCert(present.get(), cert));
    present.reset();
    if (keypair == nullptr)
        return 0;
    return QuarnPKICertSetCertKeyPair(cert, keypair.get()) == 1 ? 1 : 0;
}

int KeepPrivateKey(void* cert)
{
    if (cert == nullptr)
        return 0;
    const KeypairPtr keypair(QuarnPKICertGetCertKeyPair(cert, kOperatorFlags, kOperatorUsage, nullptr));
    return keypair != nullptr && QuarnPKICertSetCertKeyPair(cert, keypair.get()) == 1 ? 1 : 0;
}

void* FindKeypairForCert(void* device, void* cert)
{
    const PublicKeyPtr certKey(QuarnPKICertGetCertPublicKey(cert, QUARNPKI_PUBLIC_KEY_SPKI_DER));
    if (certKey == nullptr)
        return nullptr;
    int count = 0;
    if (QuarnPKICryptoGetKeypairCount(device, &count) != 1)
        return nullptr;
    for (int i = 0; i < count; ++i) {
        KeypairPtr keypair(QuarnPKICryptoGetKeypair(device, i));
        if (keypair == nullptr)
            continue;
        const PublicKeyPtr key(QuarnPKICryptoGetPublicKeyFromKeypair(keypair.get()));
        if (key != nullptr && QuarnPKICryptoPublicKeyEqual(key.get(), certKey.get()) != 0)
            return keypair.release();
    }
    return nullptr;
}

int GetSignAlgorithm(void* cert, int* algorithm)
{
    if (algorithm == nullptr)
        return -1;
    *algorithm = QUARNPKI_ALG_ECDSA_SHA256;
    if (cert == nullptr)
        return -1;
    int keyType = -1;
    if (QuarnPKICertGetCertIntegerAttribute(cert, QUARNPKI_CERT_KEY_TYPE, &keyType) != 1 || keyType == -1)
        return 0;
    if (keyType == QUARNPKI_KEY_TYPE_RSA) {
        *algorithm = QUARNPKI_ALG_SHA256_RSA;
    } else if (keyType == QUARNPKI_KEY_TYPE_EC) {
        int curve = 0;
        if (QuarnPKICertGetCertIntegerAttribute(cert, QUARNPKI_CERT_KEY_CURVE, &curve) != 1)
            return 0;
        if (curve == QUARNPKI_CURVE_SM2)
            *algorithm = QUARNPKI_ALG_SM2_SM3;
    }
    return 1;
}

int SignOperatorData(bool attached, const std::string& data, void* cert, std::string& signature)
{
    int algorithm = 0;
    if (GetSignAlgorithm(cert, &algorithm) != 1)
        return 0;
    if (KeepPrivateKey(cert) != 1) {
        kelvane::audit::ShowAuditMessage(Text("operator_no_private_key"), Text("error"));
        return 0;
    }

    std::vector<unsigned char> encoded;
    {
        const SignedDataPtr signedData(QuarnPKIMsgNewSignedData(1));
        if (signedData == nullptr || QuarnPKIMsgSignedDataSetSignCert(signedData.get(), cert, 0) != 1
            || QuarnPKIMsgSignedDataSetIntegerAttribute(
                   signedData.get(), QUARNPKI_SIGNED_ATTACHED, 0, attached ? 1 : 0)
                != 1
            || QuarnPKIMsgSignedDataSetIntegerAttribute(
                   signedData.get(), QUARNPKI_SIGNED_ALGORITHM, 0, algorithm)
                != 1)
            return 0;
        unsigned char* piece = nullptr;
        int length = 0;
        int result = QuarnPKIMsgSignedDataSignInit(signedData.get(), &piece, &length);
        TakePiece(piece, length, encoded);
        if (result != 1)
            return 0;
        piece = nullptr;
        length = 0;
        result = QuarnPKIMsgSignedDataSignUpdate(signedData.get(),
            reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()), &piece,
            &length);
        TakePiece(piece, length, encoded);
        if (result != 1)
            return 0;
        piece = nullptr;
        length = 0;
        result = QuarnPKIMsgSignedDataSignFinal(signedData.get(), &piece, &length);
        TakePiece(piece, length, encoded);
        // A token that hides its private keys until login shows only now that it has none.
        if (result == QUARNPKI_NO_PRIVATE_KEY)
            kelvane::audit::ShowAuditMessage(Text("operator_no_private_key"), Text("error"));
        if (result != 1)
            return 0;
    }

    char* text = nullptr;
    int textLength = 0;
    const int result = EncodeBase64(encoded.data(), static_cast<int>(encoded.size()), &text, &textLength);
    const TextPtr owned(text);
    signature.assign(result == 1 && owned != nullptr
            ? std::string(owned.get(), static_cast<size_t>(textLength))
            : std::string());
    return result;
}

int EncodeBase64(const unsigned char* data, int length, char** text, int* textLength)
{
    if (text == nullptr || textLength == nullptr || length < 0 || (data == nullptr && length > 0))
        return 0;
    const Base64Ptr base64(QuarnPKICryptoNewBase64(1, 1));
    if (base64 == nullptr)
        return 0;
    unsigned char* rawBody = nullptr;
    int bodyLength = 0;
    const int updateResult = QuarnPKICryptoBase64Update(base64.get(), data, length, &rawBody, &bodyLength);
    const BytesPtr body(rawBody);
    if (updateResult != 1)
        return 0;
    unsigned char* rawTail = nullptr;
    int tailLength = 0;
    const int finalResult = QuarnPKICryptoBase64Final(base64.get(), &rawTail, &tailLength);
    const BytesPtr tail(rawTail);
    if (finalResult != 1)
        return 0;
    bodyLength = body != nullptr ? bodyLength : 0;
    tailLength = tail != nullptr ? tailLength : 0;
    auto* joined = static_cast<char*>(QuarnPKICryptoAllocMemory(bodyLength + tailLength + 1));
    if (joined == nullptr)
        return 0;
    if (bodyLength > 0)
        std::memcpy(joined, body.get(), static_cast<size_t>(bodyLength));
    if (tailLength > 0)
        std::memcpy(joined + bodyLength, tail.get(), static_cast<size_t>(tailLength));
    *text = joined;
    *textLength = bodyLength + tailLength;
    return 1;
}
