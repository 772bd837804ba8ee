// The output sink of kelvane-cli: every line goes to standard output with the output view's
// time prefix, whole, whichever thread writes it.
#pragma once

#include "app/CMsgOutput.h"

#include <cstdio>
#include <mutex>
#include <string>

class CConsoleOutput : public CMsgOutput
{
public:
    explicit CConsoleOutput(std::FILE* target = stdout)
        : stream(target)
    {
    }
    void Output(const std::wstring& text, int kind) override;

private:
    std::FILE* stream;
    std::mutex mutex;
};
