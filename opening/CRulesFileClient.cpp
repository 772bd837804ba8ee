#include "opening/CRulesFileClient.h"

#include "app/LanguageCatalogue.h"
#include "app/ServiceProbe.h"
#include "app/SettingFile.h"
#include "app/TextConversion.h"
#include "opening/CResultTexts.h"
#include "opening/OpeningTime.h"

#include <iterator>

namespace {

// What the query carries before the project number; ASCII, so as long in the narrow query.
constexpr wchar_t kQueryPrefix[] = L"projectid=";
constexpr std::size_t kQueryPrefixLength = std::size(kQueryPrefix) - 1;

} // namespace

CRulesFileClient::CRulesFileClient(CQuelvarLibrary& quelvar)
    : library(quelvar)
{
    if (library.IsLoaded() && library.CreateHandle(&handle) != QUELVAR_OK)
        handle = nullptr;
}

CRulesFileClient::~CRulesFileClient()
{
    if (handle != nullptr)
        library.ReleaseHandle(handle);
}

int CRulesFileClient::SetTarget(const std::wstring& projectNumber)
{
    int result = -1;
    if (handle != nullptr) {
        const std::string url = WideToAnsi(CSettingFile::Instance().GetBidRuleFileUrl());
        result = library.SetTargetUrl(handle, url.c_str());
    }
    query = WideToAnsi(kQueryPrefix + projectNumber);
    return result;
}

std::string CRulesFileClient::ProjectId() const
{
    return query.size() > kQueryPrefixLength ? query.substr(kQueryPrefixLength) : std::string();
}

int CRulesFileClient::GetRules()
{
    if (handle == nullptr)
        return -1;
    return library.GetRules(handle, query.data(), static_cast<int>(query.size()));
}

std::wstring CRulesFileClient::DescribeFailure(int code)
{
    std::wstring reason;
    if (!CResultTexts::GetText(CResultTexts::kRulesTable, code, reason))
        reason = CLanguageCatalogue::Instance().GetText("unknow_error");
    const CSettingFile& settings = CSettingFile::Instance();
    const std::wstring url = settings.GetBidRuleFileUrl();
    std::wstring text = reason + L" (" + std::to_wstring(code) + L"): ";
    if (TrimBlanks(url).empty())
        return text + L"\"\" ([BidRuleFileURL] url is empty in " + settings.GetSettingFilePath() + L")";
    text += EscapeControlCharacters(url);
    // The library keeps no reason of its own: asking the server once more gives the transport's.
    if (code == QUELVAR_DOWNLOAD_FAILED) {
        if (const CServiceAnswer answer = ProbeService(WideToAnsi(url)); !answer.answered)
            text += L": " + Utf8ToWide(EscapeControlCharacters(std::string_view(answer.reason)));
    }
    return text;
}

int CRulesFileClient::ReadText(decltype(&QuelvarGetOpenOrg) getter, std::string& text)
{
    if (handle == nullptr)
        return -1;
    int length = 0;
    if (const int result = getter(handle, nullptr, &length); result != QUELVAR_OK)
        return result;
    if (length < 0)
        return -1;
    std::string buffer(static_cast<size_t>(length) + 1, '\0');
    int filled = length;
    if (const int result = getter(handle, buffer.data(), &filled); result != QUELVAR_OK)
        return result;
    buffer.resize(static_cast<size_t>(length));
    text = std::move(buffer);
    return 0;
}

int CRulesFileClient::GetProjectName(std::string& name)
{
    const int result = ReadText(library.GetProjectName, projectName);
    if (result == 0)
        name = projectName;
    return result;
}

int CRulesFileClient::GetOpenTime(std::int64_t& openTime)
{
    if (handle == nullptr)
        return -1;
    int length = 0;
    if (const int result = library.GetOpenTime(handle, nullptr, &length); result != QUELVAR_OK)
        return result;
    if (length < 1)
        return -1;
    std::string text;
    if (const int result = ReadText(library.GetOpenTime, text); result != 0)
        return result;
    const auto parsed = ParseOpeningTime(text);
    if (!parsed)
        return -1;
    openTime = *parsed;
    return 0;
}

std::wstring CRulesFileClient::GetOpenOrg()
{
    std::string text;
    if (ReadText(library.GetOpenOrg, text) != 0)
        return {};
    return AnsiToWide(text);
}

int CRulesFileClient::GetOpenerCerts()
{
    if (handle == nullptr)
        return 0;
    int count = 0;
    if (library.GetCertCount(handle, &count) != QUELVAR_OK)
        return -1;
    if (count <= 0)
        return 0;
    openerCerts.clear();
    std::vector<kelvane::pki::CertPtr> loaded;
    for (int i = 0; i < count; ++i) {
        int length = 0;
        if (const int result = library.GetCertLen(handle, i, &length); result != QUELVAR_OK || length <= 0)
            return result;
        std::vector<unsigned char> buffer(static_cast<size_t>(length));
        int participate = 0;
        if (const int result = library.GetCert(handle, i, buffer.data(), &participate); result != QUELVAR_OK)
            return result;
        kelvane::pki::CertPtr cert(QuarnPKICertNewCert(buffer.data(), length));
        if (cert == nullptr)
            return -1;
        loaded.push_back(std::move(cert));
    }
    openerCerts = std::move(loaded);
    return 0;
}

int CRulesFileClient::GetThreshold(int& minimum)
{
    if (handle == nullptr)
        return -1;
    return library.GetMinNum(handle, &minimum);
}

bool CRulesFileClient::IsAnyOpenerKeyPresent() const
{
    for (const auto& cert : openerCerts) {
        const kelvane::pki::KeypairPtr keypair(
            QuarnPKICertGetCertKeyPair(cert.get(), 0x40000000, 0x10000001, nullptr));
        if (keypair != nullptr)
            return true;
    }
    return false;
}

int CRulesFileClient::CompareFile(const unsigned char* data, int length)
{
    if (handle == nullptr)
        return -1;
    return library.CompareFile(handle, reinterpret_cast<const char*>(data), length);
}
