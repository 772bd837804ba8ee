#include "app/OutputLine.h"

#include "app/TextConversion.h"

#include <cwchar>

std::wstring FormatOutputLine(const std::tm& localTime, std::wstring_view text)
{
    wchar_t prefix[64];
    std::swprintf(prefix, sizeof prefix / sizeof prefix[0], L"%4d-%2d-%2d %2d:%2d:%2d   ",
        localTime.tm_year + 1900, localTime.tm_mon + 1, localTime.tm_mday, localTime.tm_hour,
        localTime.tm_min, localTime.tm_sec);
    return prefix + EscapeControlCharacters(text);
}
