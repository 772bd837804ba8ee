// The output sink of kelvane-cli: every line goes to standard output with the output view's
// time prefix, whole, whichever thread writes it.
#pragma once

#include "app/CMsgOutput.h"

#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>

// "%4d-%2d-%2d %2d:%2d:%2d   " of the local time, then the text: fields padded with blanks, as
// the output view shows them.
std::wstring FormatOutputLine(const std::tm& localTime, std::wstring_view text);

class CConsoleOutput : public CMsgOutput
{
public:
    explicit CConsoleOutput(std::FILE* stream = stdout) : stream(stream) {}
    void Output(const std::wstring& text, int kind) override;

private:
    std::FILE* stream;
    std::mutex mutex;
};
