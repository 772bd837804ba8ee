#include "app/FreeSpaceCheck.h"

#include "app/IPrompt.h"
#include "app/LanguageCatalogue.h"
#include "app/SettingFile.h"
#include "app/Utility.h"

bool CheckWorkingDirFreeSpace(IPrompt& prompt, const CLanguageCatalogue& texts)
{
    const CSettingFile& settings = CSettingFile::Instance();
    // A negative minimum is as meaningless as none; read as unsigned it would fail every check.
    const std::int64_t minimum = settings.GetFreeSpace();
    if (minimum <= 0) {
        return true;
    }
    std::wstring workingDir = settings.GetWorkingDir();
    constexpr std::wstring_view blanks = L" \t\r\n";
    workingDir.erase(0, workingDir.find_first_not_of(blanks));
    workingDir.erase(workingDir.find_last_not_of(blanks) + 1);
    if (HasEnoughFreeSpace(workingDir, static_cast<std::uint64_t>(minimum)) != 0) {
        return true;
    }
    prompt.Ask(texts.GetText("space_not_enough"), texts.GetText("tips"), MB_OK | MB_ICONWARNING);
    return false;
}
