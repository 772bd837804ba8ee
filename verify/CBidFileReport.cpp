#include "verify/CBidFileReport.h"

#include "RegularFile.h"
#include "app/LanguageCatalogue.h"
#include "app/LocalLog.h"
#include "app/TextConversion.h"
#include "opening/CBidFileHolder.h"
#include "opening/CResultTexts.h"
#include "opening/FileChecks.h"

#include <cstdio>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

struct CFileClose
{
    void operator()(std::FILE* file) const { std::fclose(file); }
};

} // namespace

int ComputeVerifyCode(const std::wstring& path, std::wstring& code, std::wstring* reason)
{
    // Only a regular file: a FIFO would block here and a device such as /dev/zero never ends.
    const std::string name = WideToUtf8(path);
    std::string why;
    const int fd = kelvane::OpenRegularFile(name, why);
    if (fd < 0) {
        WriteLocalLog(1, "verification code of \"%s\" not computed: %s\n", name.c_str(), why.c_str());
        if (reason != nullptr)
            *reason = Utf8ToWide(why);
        return -1;
    }
    const std::unique_ptr<std::FILE, CFileClose> file(::fdopen(fd, "rb"));
    if (file == nullptr) {
        ::close(fd);
        return -1;
    }
    const kelvane::pki::DevicePtr device(QuarnPKICryptoGetPseudoDevice());
    if (device == nullptr)
        return -1;
    const kelvane::pki::HashPtr hash(QuarnPKICryptoNewHash(device.get(), kVerifyCodeHash));
    if (hash == nullptr)
        return -1;
    std::vector<unsigned char> block(8192);
    for (;;) {
        const size_t got = std::fread(block.data(), 1, block.size(), file.get());
        if (got > 0 && QuarnPKICryptoHashUpdate(hash.get(), block.data(), static_cast<int>(got)) != 1)
            return -1;
        if (got < block.size())
            break;
    }
    if (std::ferror(file.get()))
        return -1;
    unsigned char* raw = nullptr;
    int length = 0;
    const int result = QuarnPKICryptoHashFinal(hash.get(), &raw, &length);
    const kelvane::pki::BytesPtr digest(raw);
    if (result != 1 || digest == nullptr || length <= 0)
        return -1;
    code = CFileChecks::HexDigest(digest.get(), static_cast<size_t>(length));
    return 0;
}

void CBidFileReport::UpdateCode()
{
    // A code that cannot be computed is shown empty, never as the code of a file verified before.
    codeFailure.clear();
    if (ComputeVerifyCode(path, verifyCode, &codeFailure) != 0)
        verifyCode.clear();
}

int CBidFileReport::Verify()
{
    CBidFileHolder holder;
    holder.SetPath(path);
    const size_t slash = path.rfind(L'/');
    holder.SetOutputFolder(slash == std::wstring::npos ? std::wstring() : path.substr(0, slash));

    // One read gives the structure, the signature's hash and the code, so the code shown is that of
    // the very bytes verified. A file that cannot be read through as a bid gets its code from a
    // read of its own, as the operator still compares it with the receipt.
    std::vector<unsigned char> digest;
    int code = holder.Open();
    if (code == 0)
        code = holder.VerifyStructure(&digest);
    if (!digest.empty()) {
        codeFailure.clear();
        verifyCode = CFileChecks::HexDigest(digest.data(), digest.size());
    } else {
        UpdateCode();
    }
    if (code != 0) {
        // A signer the anchors do not vouch for spoils the signature, not the file's format.
        formatResult = holder.IsSignerRefused() ? Check::Passed : Check::Failed;
        signResult = Check::Failed;
        std::wstring text;
        if (!CResultTexts::GetText(CResultTexts::kDecryptorTable, code, text))
            text = CLanguageCatalogue::Instance().GetText("unknow_error") + L"(" + std::to_wstring(code)
                + L")";
        // Why: the holder's reason, else why the file could not even be read for its code.
        const std::wstring& why = holder.GetFailureReason().empty() ? codeFailure : holder.GetFailureReason();
        failureReason = why.empty() ? text : text + L"：" + why;
        return code;
    }
    holder.Release();
    failureReason.clear();
    formatResult = signResult = Check::Passed;
    bidder = holder.GetSignerName();
    signCert.reset(holder.GetSignCert() != nullptr ? QuarnPKICertDupCert(holder.GetSignCert()) : nullptr);
    return 0;
}

const wchar_t* CBidFileReport::ResultMark(Check check)
{
    switch (check) {
    case Check::Passed:
        return L"√";
    case Check::Failed:
        return L"×";
    default:
        return L"";
    }
}
