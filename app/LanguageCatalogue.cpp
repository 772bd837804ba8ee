#include "app/LanguageCatalogue.h"

#include "app/LanguageDefaults.h"
#include "app/TextConversion.h"

#include <cstdlib>
#include <map>
#include <mutex>
#include <utility>

namespace fs = std::filesystem;

namespace {

// The language library gives values in a buffer of this many characters, terminator included.
constexpr int kValueBufferSize = 100;

const std::map<std::string, std::wstring, std::less<>>& DefaultTable()
{
    static const auto table = [] {
        std::map<std::string, std::wstring, std::less<>> map;
        for (const LanguageDefault& entry : LanguageDefaults()) {
            map.insert_or_assign(entry.key, entry.text);
        }
        return map;
    }();
    return table;
}

std::vector<fs::path> InstalledLanguageFolders()
{
    std::error_code error;
    const fs::path program = fs::read_symlink("/proc/self/exe", error);
    if (error || program.empty()) {
        return {};
    }
    const fs::path folder = program.parent_path();
    return { folder / "lang", folder / ".." / "share" / "kelvane" / "lang" };
}

// Language files write a line break as backslash-n.
std::wstring ExpandLineBreaks(const wchar_t* value)
{
    std::wstring text;
    for (const wchar_t* p = value; *p != L'\0'; ++p) {
        if (p[0] == L'\\' && p[1] == L'n') {
            text += L'\n';
            ++p;
        } else {
            text += *p;
        }
    }
    return text;
}

} // namespace

CLanguageCatalogue& CLanguageCatalogue::Instance()
{
    static CLanguageCatalogue catalogue;
    return catalogue;
}

CLanguageCatalogue::CLanguageCatalogue()
    : folders(InstalledLanguageFolders())
{
}

CLanguageCatalogue::CLanguageCatalogue(fs::path languageFolder, int language)
    : folders { std::move(languageFolder) }
    , languageId(language)
{
}

CLanguageCatalogue::~CLanguageCatalogue() = default;

int CLanguageCatalogue::LanguageIdFromLocaleName(std::string_view locale)
{
    const std::string_view name = locale.substr(0, locale.find_first_of(".@"));
    const std::string_view language = name.substr(0, name.find('_'));
    const std::string_view territory
        = name.find('_') == std::string_view::npos ? std::string_view() : name.substr(name.find('_') + 1);
    if (language == "zh") {
        return (territory == "TW" || territory == "HK") ? 1028 : 2052;
    }
    if (language == "en") {
        return 1033;
    }
    if (language == "ja") {
        return 1041;
    }
    if (language == "de") {
        return 1031;
    }
    if (language == "fr") {
        return 1036;
    }
    return 2052;
}

int CLanguageCatalogue::LanguageIdFromLocale()
{
    for (const char* variable : { "LC_ALL", "LC_MESSAGES", "LANG" }) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') {
            return LanguageIdFromLocaleName(value);
        }
    }
    return LanguageIdFromLocaleName("C");
}

fs::path CLanguageCatalogue::LanguageFilePath() const
{
    const int id = languageId != 0 ? languageId : LanguageIdFromLocale();
    const std::string name = std::to_string(id) + ".lng";
    for (const fs::path& folder : folders) {
        std::error_code error;
        if (fs::is_regular_file(folder / name, error)) {
            return folder / name;
        }
    }
    return folders.empty() ? fs::path() : folders.front() / name;
}

void CLanguageCatalogue::Load()
{
    const fs::path path = LanguageFilePath();
    if (path.empty()) {
        return;
    }
    // The file is read before the lock is taken, so readers wait only for the swap.
    Handle fresh(QUARN_Language_CreateLanguageHandle());
    if (fresh && QUARN_Language_LoadLang(fresh.get(), Utf8ToWide(path.string()).c_str()) != 1) {
        fresh.reset();
    }
    Handle previous;
    {
        const std::unique_lock lock(mutex);
        previous = std::exchange(handle, std::move(fresh));
    }
}

std::wstring CLanguageCatalogue::GetText(std::string_view key) const
{
    {
        const std::shared_lock lock(mutex);
        if (handle) {
            wchar_t value[kValueBufferSize] = {};
            QUARN_Language_GetValue(handle.get(), std::string(key).c_str(), value, kValueBufferSize);
            std::wstring text = ExpandLineBreaks(value);
            if (!text.empty()) {
                return text;
            }
        }
    }
    return GetDefaultText(key);
}

std::wstring CLanguageCatalogue::GetDefaultText(std::string_view key)
{
    const auto& table = DefaultTable();
    const auto found = table.find(key);
    return found == table.end() ? std::wstring() : found->second;
}

std::vector<std::string> CLanguageCatalogue::Keys()
{
    std::vector<std::string> keys;
    for (const LanguageDefault& entry : LanguageDefaults()) {
        keys.emplace_back(entry.key);
    }
    return keys;
}
