#include "opening/COpeningErrorTexts.h"

#include "app/LanguageCatalogue.h"

bool COpeningErrorTexts::GetText(int code, std::wstring& text)
{
    const char* key = nullptr;
    if (code == kNone)
        key = "success";
    else if (code == kRulesNotFetched)
        key = "fail_to_get_rule";
    else
        return false;
    CLanguageCatalogue& catalogue = CLanguageCatalogue::Instance();
    catalogue.Load();
    text = catalogue.GetText(key);
    return true;
}
