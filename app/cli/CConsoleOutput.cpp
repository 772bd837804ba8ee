#include "CConsoleOutput.h"

#include "app/OutputLine.h"
#include "app/TextConversion.h"

void CConsoleOutput::Output(const std::wstring& text, int /*kind*/)
{
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    const std::string line = WideToUtf8(FormatOutputLine(local, text)) + "\n";
    std::lock_guard lock(mutex);
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fflush(stream);
}
