#include "opening/FileChecks.h"

const CFileCheck* CFileChecks::Find(const std::string& name) const
{
    for (const CFileCheck& check : checks) {
        if (check.name == name)
            return &check;
    }
    return nullptr;
}

std::wstring CFileChecks::Reason() const
{
    std::wstring passedOver;
    for (const CFileCheck& check : checks) {
        if (check.result == CheckResult::Failed)
            return check.reason;
        if (check.result == CheckResult::NotRun)
            passedOver = check.reason;
    }
    return passedOver;
}

std::wstring CFileChecks::HexDigest(const unsigned char* digest, std::size_t size)
{
    static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring text;
    text.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        text += kDigits[digest[i] >> 4];
        text += kDigits[digest[i] & 0x0F];
    }
    return text;
}
