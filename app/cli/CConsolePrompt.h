// The message boxes of kelvane-cli. CConsolePrompt asks at the terminal (or reads answers piped
// into standard input); CUnattendedPrompt (--yes) answers from a fixed policy so that a headless
// opening always ends. Both print every question and its answer, so the run can be followed.
#pragma once

#include "app/IPrompt.h"

#include <cstdio>
#include <istream>
#include <mutex>
#include <string>

class CLanguageCatalogue;

class CConsolePrompt : public IPrompt
{
public:
    CConsolePrompt(std::istream& input, std::FILE* output)
        : in(input)
        , out(output)
    {
    }
    // Reads one answer line; the end of input answers No, or Cancel where there is no No
    // (OK for a box that has only OK).
    int Ask(const std::wstring& text, const std::wstring& caption, unsigned type) override;

private:
    std::istream& in;
    std::FILE* out;
    std::mutex mutex;
};

class CUnattendedPrompt : public IPrompt
{
public:
    CUnattendedPrompt(const CLanguageCatalogue& catalogue, std::FILE* output)
        : texts(catalogue)
        , out(output)
    {
    }
    // "insert_bidder_key": Yes, but No once "found_no_key" has come twice in a row;
    // "try_goon": Cancel (open what is ready); "bidder_confirm": OK; the drill's
    // "drill_insert_token" (followed by the opener's name): OK; any other question the
    // cautious answer: No, Cancel, or OK for a box that has only OK.
    int Ask(const std::wstring& text, const std::wstring& caption, unsigned type) override;

private:
    bool Is(const std::wstring& text, const char* key) const;

    const CLanguageCatalogue& texts;
    std::FILE* out;
    std::mutex mutex;
    int noKeyInARow = 0;
};

// Whether text is the catalogue text `pattern` with each "%d" filled by a (possibly signed)
// number, as the opening fills "try_goon".
bool MatchesFilledText(const std::wstring& text, const std::wstring& pattern);
