// The checks one file went through, as a front end reports them file by file (kelvane-cli
// --json): each check by its stable English name, in the order it ran, with its result and, for a
// failure or a check that was passed over, the reason; and the file's verification code when the
// run was asked for it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

enum class CheckResult
{
    NotRun,
    Passed,
    Failed
};

struct CFileCheck
{
    std::string name;
    CheckResult result = CheckResult::NotRun;
    std::wstring reason;
};

class CFileChecks
{
public:
    void Passed(const char* name) { checks.push_back({ name, CheckResult::Passed, {} }); }
    void Failed(const char* name, const std::wstring& reason)
    {
        checks.push_back({ name, CheckResult::Failed, reason });
    }
    void NotRun(const char* name, const std::wstring& reason)
    {
        checks.push_back({ name, CheckResult::NotRun, reason });
    }
    const std::vector<CFileCheck>& List() const { return checks; }
    // The recorded check of that name, or null when none ran under it.
    const CFileCheck* Find(const std::string& name) const;
    // The reason of the first failed check, else of the last check passed over, else empty.
    std::wstring Reason() const;

    // The verification code: the digest in upper-case hexadecimal, empty when it was not had.
    void SetVerifyCode(const std::vector<unsigned char>& digest)
    {
        verifyCode = HexDigest(digest.data(), digest.size());
    }
    const std::wstring& VerifyCode() const { return verifyCode; }

    // Two upper-case hexadecimal digits per byte of a digest.
    static std::wstring HexDigest(const unsigned char* digest, std::size_t size);

private:
    std::vector<CFileCheck> checks;
    std::wstring verifyCode;
};
