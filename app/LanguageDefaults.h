// The catalogue's built-in table; see CLanguageCatalogue.
#pragma once

#include <span>

struct LanguageDefault
{
    const char* key;
    const wchar_t* text;
};

std::span<const LanguageDefault> LanguageDefaults();
