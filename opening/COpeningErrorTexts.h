// The texts of an opening's error code (COpeningManager::GetOpeningError): 0 "success", 1 the
// rules were not fetched. Both are looked up again at every fetch, so a change of the interface
// language shows at once.
#pragma once

#include <string>

class COpeningErrorTexts
{
public:
    static constexpr int kNone = 0;
    static constexpr int kRulesNotFetched = 1;

    // Writes the text of code into text and answers true; leaves text unchanged and answers false
    // for another code.
    static bool GetText(int code, std::wstring& text);
};
