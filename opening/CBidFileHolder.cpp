#include "opening/CBidFileHolder.h"

#include "Quelvar.h"
#include "app/TextConversion.h"
#include "core/RulesParser.h"
#include "opening/CBidderTrust.h"
#include "opening/OpeningTime.h"

#include <algorithm>
#include <cstring>
#include <new>

using kelvane::pki::CertPtr;

namespace {

constexpr unsigned char kRulesMark[4] = { 'R', 'U', 'L', 'F' };
constexpr size_t kRulesHeaderSize = 8;
// The decryptor's code for a signature that does not hold.
constexpr int kSignatureWrong = 23;

// One variable-length value of the decryptor in two calls: the length with no buffer, then the
// bytes. Returns the decryptor's code; 1 when the buffer cannot be had.
template <typename Read> int ReadBytes(Read read, std::vector<unsigned char>& bytes)
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

// The DER of a certificate in any form the PKI library reads (the rules carry Base64 text); empty
// when it is none.
std::vector<unsigned char> CertDer(const unsigned char* data, size_t size)
{
    const CertPtr cert(size > 0 && size <= (size_t { 1 } << 20)
            ? QuarnPKICertNewCert(data, static_cast<int>(size))
            : nullptr);
    unsigned char* raw = nullptr;
    int length = 0;
    const bool encoded = cert != nullptr && QuarnPKICertGetCertEncoded(cert.get(), &raw, &length) == 1;
    const kelvane::pki::BytesPtr der(raw);
    if (!encoded || der == nullptr || length <= 0)
        return {};
    return std::vector<unsigned char>(der.get(), der.get() + length);
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

const char* BidStatusKey(BidStatus status)
{
    switch (status) {
    case BidStatus::Ready:
        return "status_ready";
    case BidStatus::Decrypting:
        return "status_decrypting";
    case BidStatus::Decrypted:
        return "status_derypted";
    case BidStatus::Destroyed:
        return "status_destroy";
    case BidStatus::DecryptCancelled:
        return "status_decrypt_cancel";
    case BidStatus::DecryptFailed:
        return "status_decrypt_fail";
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
    if (const int result = QuarnSecretFileDecryptorCreateHandle(&created, WideToUtf8(fullPath).c_str());
        result != 0)
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

int CBidFileHolder::VerifyStructure(std::vector<unsigned char>* code)
{
    failureReason.clear();
    signerRefused = false;
    if (code != nullptr)
        code->clear();
    if (handle == nullptr)
        return -1;
    int verified = 0;
    if (code == nullptr) {
        verified = QuarnSecretFileDecryptorVerify(handle);
    } else {
        std::vector<unsigned char> digest(64);
        int length = static_cast<int>(digest.size());
        verified = QuarnSecretFileDecryptorVerifyWithCode(handle, digest.data(), &length);
        digest.resize(static_cast<size_t>(std::max(length, 0)));
        *code = std::move(digest);
    }
    if (verified != 0)
        return verified;

    std::vector<unsigned char> certBytes;
    const int certResult
        = ReadBytes([this](unsigned char* buffer,
                        int* length) { return QuarnSecretFileDecryptorGetSignCert(handle, buffer, length); },
            certBytes);
    if (certResult == 1)
        return 1;
    if (certResult != 0)
        return -1;
    // Nothing of a signer the anchors do not vouch for is shown: its name is whatever the forger
    // chose.
    if (!IsTrustedBidderCert(certBytes.data(), certBytes.size(), failureReason)) {
        signerRefused = true;
        return kSignatureWrong;
    }
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

int CBidFileHolder::CheckAgainstEmbeddedRules()
{
    failureReason.clear();
    embeddedOpenTime.reset();
    if (handle == nullptr)
        return -1;
    if (!hasEmbeddedRules) {
        failureReason = L"标书没有内嵌规则文件";
        return QUELVAR_EMPTY_BODY;
    }
    CRulesContent content;
    try {
        const std::string text(reinterpret_cast<const char*>(customData.data() + kRulesHeaderSize),
            static_cast<size_t>(embeddedRulesLength));
        if (const int code = rules::ParseRules(text.c_str(), content); code != QUELVAR_OK) {
            failureReason = L"标书内嵌的规则文件无法解析";
            return code;
        }
    } catch (const std::bad_alloc&) {
        return QUELVAR_NO_MEMORY;
    }
    if (content.bidRules == nullptr)
        return QUELVAR_NO_RULE_ELEMENT;
    const CBidRules& embedded = *content.bidRules;

    int minimum = 0;
    int total = 0;
    if (QuarnSecretFileDecryptorGetMinNum(handle, &minimum) != 0
        || QuarnSecretFileDecryptorGetOpenerNum(handle, &total) != 0) {
        failureReason = L"无法读取文件头的门限";
        return QUELVAR_DATA_DIFFERS;
    }
    if (minimum != embedded.minimum) {
        failureReason = L"文件头的门限n=" + std::to_wstring(minimum) + L"与标书内嵌规则的n="
            + std::to_wstring(embedded.minimum) + L"不一致";
        return QUELVAR_DATA_DIFFERS;
    }
    if (total != embedded.total || static_cast<size_t>(total) != embedded.certs.size()) {
        failureReason = L"文件头的开标人数m=" + std::to_wstring(total) + L"与标书内嵌规则的m="
            + std::to_wstring(embedded.total) + L"不一致";
        return QUELVAR_DATA_DIFFERS;
    }

    std::vector<std::vector<unsigned char>> sealedTo;
    std::vector<std::vector<unsigned char>> named;
    for (int i = 0; i < total; ++i) {
        std::vector<unsigned char> der;
        const int result = ReadBytes(
            [this, i](unsigned char* buffer, int* length) {
                return QuarnSecretFileDecryptorGetOpenerCert(handle, i, buffer, length);
            },
            der);
        if (result == 1)
            return QUELVAR_NO_MEMORY;
        if (result != 0 || der.empty()) {
            failureReason = L"无法读取文件头的开标人证书";
            return QUELVAR_DATA_DIFFERS;
        }
        sealedTo.push_back(std::move(der));
        std::vector<unsigned char> ruleDer = CertDer(embedded.certs[static_cast<size_t>(i)].data.data(),
            embedded.certs[static_cast<size_t>(i)].data.size());
        if (ruleDer.empty()) {
            failureReason = L"标书内嵌规则中的开标人证书无法解析";
            return QUELVAR_DATA_DIFFERS;
        }
        named.push_back(std::move(ruleDer));
    }
    // The order of the shares is the sealer's; who holds them is what counts.
    std::sort(sealedTo.begin(), sealedTo.end());
    std::sort(named.begin(), named.end());
    if (sealedTo != named) {
        failureReason = L"文件头的开标人证书与标书内嵌规则中的开标人不一致";
        return QUELVAR_DATA_DIFFERS;
    }
    embeddedOpenTime = ParseOpeningTime(content.openTime);
    return 0;
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
