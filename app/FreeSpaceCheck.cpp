#include "app/FreeSpaceCheck.h"

#include "app/IPrompt.h"
#include "app/LanguageCatalogue.h"
#include "app/SettingFile.h"
#include "app/TextConversion.h"
#include "app/Utility.h"

bool CheckWorkingDirFreeSpace(IPrompt& prompt, const CLanguageCatalogue& texts)
{
    const CSettingFile& settings = CSettingFile::Instance();
    // A negative minimum is as meaningless as none; read as unsigned it would fail every check.
    const std::int64_t minimum = settings.GetFreeSpace();
    if (minimum <= 0) {
        return true;
    }
    const std::wstring workingDir = TrimBlanks(settings.GetWorkingDir());
    if (HasEnoughFreeSpace(workingDir, static_cast<std::uint64_t>(minimum)) != 0) {
        return true;
    }
    prompt.Ask(texts.GetText("space_not_enough"), texts.GetText("tips"), MB_OK | MB_ICONWARNING);
    return false;
}
