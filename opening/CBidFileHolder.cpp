#include "opening/CBidFileHolder.h"

#include "app/TextConversion.h"

#include <cstring>
#include <new>

using kelvane::pki::CertPtr;

namespace {

constexpr unsigned char kRulesMark[4] = { 'R', 'U', 'L', 'F' };
constexpr size_t kRulesHeaderSize = 8;

// One variable-length value of the decryptor in two calls: the length with no buffer, then the
// bytes. Returns the decryptor's code; 1 when the buffer cannot be had.
template <typename Read>
int ReadBytes(Read read, std::vector<unsigned char>& bytes)
{
    int length = 0;
    if (const int result = read(nullptr, &length); result != 0)
        return result;
    if (length < 0)
        return 2;
    try {
        bytes.assign(static_cast<size_t>(length), 0);
    } catch (const std::bad_alloc&) {
        return 1;
    }
    return read(bytes.data(), &length);
}

std::wstring CertText(void* cert, int attribute)
{
    std::string text;
    return kelvane::pki::GetCertText(cert, attribute, text) ? Utf8ToWide(text) : std::wstring();
}

} // namespace

int FindEmbeddedRules(const unsigned char* data, size_t size, bool& found, int& length)
{
    found = false;
    length = 0;
    if (data == nullptr || size < kRulesHeaderSize || std::memcmp(data, kRulesMark, sizeof kRulesMark) != 0)
        return 0;
    const uint32_t declared = (static_cast<uint32_t>(data[4]) << 24) | (static_cast<uint32_t>(data[5]) << 16)
        | (static_cast<uint32_t>(data[6]) << 8) | static_cast<uint32_t>(data[7]);
    if (declared > size - kRulesHeaderSize)
        return -1;
    found = true;
    length = static_cast<int>(declared);
    return 0;
}

const char* BidStatusKey(int status)
{
    switch (status) {
    case Ready:
        return "status_ready";
    case Decrypting:
        return "status_decrypting";
    case Decrypted:
        return "status_derypted";
    case Destroyed:
        return "status_destroy";
    case DecryptCancelled:
        return "status_decrypt_cancel";
    default:
        return "status_unknown";
    }
}

CBidFileHolder::~CBidFileHolder()
{
    Release();
}

void CBidFileHolder::SetPath(const std::wstring& path)
{
    fullPath = path;
    const size_t slash = path.find_last_of(L'/');
    fileName = slash == std::wstring::npos ? path : path.substr(slash + 1);
}

const unsigned char* CBidFileHolder::GetEmbeddedRules(int* length) const
{
    if (length != nullptr)
        *length = hasEmbeddedRules ? embeddedRulesLength : 0;
    return hasEmbeddedRules ? customData.data() + kRulesHeaderSize : nullptr;
}

int CBidFileHolder::Open()
{
    Release();
    if (fullPath.empty() || outputFolder.empty())
        return -1;
    CQuarnFileDecryptor* created = nullptr;
    if (const int result = QuarnSecretFileDecryptorCreateHandle(&created, WideToUtf8(fullPath).c_str()); result != 0)
        return result;
    handle = created;
    return QuarnSecretFileDecryptorSetFolder(handle, WideToUtf8(outputFolder).c_str());
}

int CBidFileHolder::Release()
{
    if (handle != nullptr)
        QuarnSecretFileDecryptorReleaseHandle(handle);
    handle = nullptr;
    return 0;
}

int CBidFileHolder::VerifyStructure()
{
    if (handle == nullptr)
        return -1;
    if (const int result = QuarnSecretFileDecryptorVerify(handle); result != 0)
        return result;

    std::vector<unsigned char> certBytes;
    const int certResult = ReadBytes(
        [this](unsigned char* buffer, int* length) { return QuarnSecretFileDecryptorGetSignCert(handle, buffer, length); },
        certBytes);
    if (certResult == 1)
        return 1;
    if (certResult != 0)
        return -1;
    signCert.reset();
    signCert.reset(QuarnPKICertNewCert(certBytes.data(), static_cast<int>(certBytes.size())));
    if (signCert == nullptr)
        return -1;

    signerName = CertText(signCert.get(), QUARNPKI_CERT_COMMON_NAME);
    signerOrg = CertText(signCert.get(), QUARNPKI_CERT_ORGANIZATION);
    if (signerName.empty())
        signerName = signerOrg;

    std::vector<unsigned char> data;
    if (const int result = ReadBytes(
            [this](unsigned char* buffer, int* length) {
                return QuarnSecretFileDecryptorGetCustomData(handle, buffer, length);
            },
            data);
        result != 0)
        return result;
    customData = std::move(data);

    return FindEmbeddedRules(customData.data(), customData.size(), hasEmbeddedRules, embeddedRulesLength);
}

int CBidFileHolder::GetDecryptorStatus()
{
    return handle != nullptr ? QuarnSecretFileDecryptorGetStatus(handle) : -1;
}

int CBidFileHolder::Try()
{
    return handle != nullptr ? QuarnSecretFileDecryptorTry(handle) : -1;
}

int CBidFileHolder::Decrypt()
{
    // Without a handle nothing can be decrypted; saying so keeps a caller from counting the file
    // as opened.
    return handle != nullptr ? QuarnSecretFileDecryptorDecrypt(handle) : -1;
}

int CBidFileHolder::GetMinNum()
{
    int minimum = 0;
    if (handle == nullptr || QuarnSecretFileDecryptorGetMinNum(handle, &minimum) != 0)
        return 0;
    return minimum;
}

void CBidFileHolder::LoadOpenerCerts()
{
    openerCerts.clear();
    if (handle == nullptr)
        return;
    int count = 0;
    if (QuarnSecretFileDecryptorGetCrackerNum(handle, &count) != 0)
        return;
    std::vector<CertPtr> loaded;
    for (int i = 0; i < count; ++i) {
        std::vector<unsigned char> bytes;
        const int result = ReadBytes(
            [this, i](unsigned char* buffer, int* length) {
                return QuarnSecretFileDecryptorGetCrackerCert(handle, i, buffer, length);
            },
            bytes);
        if (result != 0)
            return;
        CertPtr cert(QuarnPKICertNewCert(bytes.data(), static_cast<int>(bytes.size())));
        if (cert == nullptr)
            return;
        loaded.push_back(std::move(cert));
    }
    openerCerts = std::move(loaded);
}

std::wstring CBidFileHolder::GetOpenerName(int index) const
{
    if (index < 0 || index >= GetOpenerCount())
        return {};
    return CertText(openerCerts[static_cast<size_t>(index)].get(), QUARNPKI_CERT_COMMON_NAME);
}

std::wstring CBidFileHolder::GetOpenersText(const std::wstring& separator) const
{
    std::wstring text = L"(" + std::to_wstring(openerCerts.size()) + L")";
    for (size_t i = 0; i < openerCerts.size(); ++i) {
        text += CertText(openerCerts[i].get(), QUARNPKI_CERT_COMMON_NAME);
        if (i + 1 < openerCerts.size())
            text += separator;
    }
    return text;
}

int CBidFileHolder::ShowSignCert(void* owner) const
{
    if (signCert == nullptr)
        return -1;
    QuarnPKIUIDisplayCert(owner, signCert.get());
    return 0;
}
