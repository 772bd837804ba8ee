#include "app/SettingFile.h"

#include "app/IniFile.h"
#include "app/TextConversion.h"
#include "app/Utility.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <string_view>

namespace {

constexpr std::int64_t kMegabyte = 1LL << 20;
constexpr std::int64_t kGigabyte = 1LL << 30;

// The key really ends with a blank, in files written by every version of the program.
constexpr const wchar_t* kFreeSpaceKey = L"freespace ";

} // namespace

CSettingFile& CSettingFile::Instance()
{
    static CSettingFile instance;
    return instance;
}

std::wstring CSettingFile::GetSettingFilePath() const
{
    const std::wstring folder = GetAppDataDir();
    if (folder.empty()) {
        return {};
    }
    return folder.back() == L'/' ? folder + L"Setting.ini" : folder + L"/Setting.ini";
}

std::vector<std::wstring> CSettingFile::GetSystemSettingFilePaths() const
{
    const char* variable = std::getenv("XDG_CONFIG_DIRS");
    const std::string_view dirs = variable != nullptr && variable[0] != '\0' ? variable : "/etc/xdg";
    std::vector<std::wstring> paths;
    for (size_t start = 0; start <= dirs.size();) {
        const size_t colon = std::min(dirs.find(':', start), dirs.size());
        std::string dir(dirs.substr(start, colon - start));
        start = colon + 1;
        // A relative entry would name a folder below wherever the program was started.
        if (dir.empty() || dir.front() != '/')
            continue;
        while (dir.size() > 1 && dir.back() == '/')
            dir.pop_back();
        paths.push_back(Utf8ToWide(dir == "/" ? "/QUARN/rmw/Setting.ini" : dir + "/QUARN/rmw/Setting.ini"));
    }
    return paths;
}

std::wstring CSettingFile::Read(
    const wchar_t* section, const wchar_t* key, const std::wstring& defaultValue) const
{
    if (auto value = FindIniString(std::filesystem::path(WideToUtf8(GetSettingFilePath())), section, key))
        return *value;
    for (const std::wstring& path : GetSystemSettingFilePaths()) {
        if (auto value = FindIniString(std::filesystem::path(WideToUtf8(path)), section, key))
            return *value;
    }
    return defaultValue;
}

int CSettingFile::Write(const wchar_t* section, const wchar_t* key, const std::wstring& value) const
{
    return WriteIniString(std::filesystem::path(WideToUtf8(GetSettingFilePath())), section, key, value) ? 0
                                                                                                        : -1;
}

std::wstring CSettingFile::GetWorkingDir() const
{
    return Read(L"WorkingDir", L"path", GetHomeDir() + L"/BidFiles/");
}

std::wstring CSettingFile::GetNetWorkingDir() const
{
    return Read(L"NetWorkingDir", L"path", L"");
}

std::wstring CSettingFile::GetRulesCompare() const
{
    return Read(L"RulesCompare", L"IsCompare", L"true");
}

std::wstring CSettingFile::GetBidRuleFileUrl() const
{
    return Read(L"BidRuleFileURL", L"url", L"");
}

std::wstring CSettingFile::GetTimeStampUrl() const
{
    return Read(L"TimeStampURL", L"url", L"");
}

std::wstring CSettingFile::GetSubmitLog() const
{
    // "Sumbit" is how the key is spelled in every settings file written so far.
    return Read(L"LogService", L"IsSumbitLog", L"true");
}

std::wstring CSettingFile::GetLogSubmitUrl() const
{
    return Read(L"LogSubmitURL", L"url", L"");
}

std::wstring CSettingFile::GetWriteLocalLog() const
{
    return Read(L"LocalLog", L"IsWriteLocalLog", L"true");
}

int CSettingFile::SetWorkingDir(const std::wstring& path) const
{
    return Write(L"WorkingDir", L"path", path);
}

int CSettingFile::SetNetWorkingDir(const std::wstring& path) const
{
    return Write(L"NetWorkingDir", L"path", path);
}

int CSettingFile::SetWriteLocalLog(const std::wstring& value) const
{
    return Write(L"LocalLog", L"IsWriteLocalLog", value);
}

std::int64_t CSettingFile::GetFreeSpace() const
{
    return ParseFreeSpace(Read(L"Common", kFreeSpaceKey, L""));
}

int CSettingFile::SetFreeSpace(std::uint64_t bytes) const
{
    const std::uint64_t megabytes = bytes / kMegabyte;
    if (megabytes == 0) {
        return -2;
    }
    const std::wstring text
        = megabytes < 1024 ? std::to_wstring(megabytes) + L"MB" : std::to_wstring(megabytes / 1024) + L"GB";
    return Write(L"Common", kFreeSpaceKey, text);
}

std::int64_t ParseFreeSpace(const std::wstring& stored)
{
    constexpr std::wstring_view blanks = L" \t\r\n\v\f";
    const auto first = stored.find_first_not_of(blanks);
    if (first == std::wstring::npos) {
        return 0;
    }
    const std::wstring text = stored.substr(first, stored.find_last_not_of(blanks) - first + 1);
    if (text.size() <= 2) {
        return 0;
    }
    const std::wstring_view unit = std::wstring_view(text).substr(text.size() - 2);
    const std::int64_t factor = unit == L"MB" ? kMegabyte : unit == L"GB" ? kGigabyte : 0;
    if (factor == 0) {
        return 0;
    }
    std::size_t pos = 0;
    const std::size_t end = text.size() - 2;
    while (pos < end && blanks.find(text[pos]) != std::wstring_view::npos) {
        ++pos;
    }
    bool negative = false;
    if (pos < end && (text[pos] == L'+' || text[pos] == L'-')) {
        negative = text[pos] == L'-';
        ++pos;
    }
    // Saturates instead of overflowing: an absurd minimum is still a minimum.
    const std::int64_t limit = std::numeric_limits<std::int64_t>::max() / factor;
    std::int64_t number = 0;
    for (; pos < end && text[pos] >= L'0' && text[pos] <= L'9'; ++pos) {
        number = number >= limit ? limit : std::min(limit, number * 10 + (text[pos] - L'0'));
    }
    return (negative ? -number : number) * factor;
}
