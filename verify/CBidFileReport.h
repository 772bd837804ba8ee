// The verification report of one bid file, without the dialog: the file's verification code (the
// SM3 digest of the whole file in upper-case hexadecimal, which a bidder compares with the code on
// the receipt), whether its format and its signature are valid (a signature counts only when the
// tender's trust anchors vouch for its signer), why not, and who signed it. The signer and
// the signer's certificate are those of the last successful verification: a later failure leaves
// them, so the certificate button still shows the earlier signer.
#pragma once

#include "PkiPtr.h"

#include <string>

// The hash algorithm of the verification code.
inline constexpr int kVerifyCodeHash = 4096;

// The verification code of a file: SM3 over its bytes, read in blocks of 8192, two upper-case
// hexadecimal digits per byte of the digest. 0 and the code, or -1 (code untouched) when the hash
// or the file cannot be had; a name that is not a regular file (a FIFO, a device) is refused at
// once, with the reason in the local log and, when given, in reason.
int ComputeVerifyCode(const std::wstring& path, std::wstring& code, std::wstring* reason = nullptr);

class CBidFileReport
{
public:
    enum class Check
    {
        NotChecked,
        Passed,
        Failed
    };

    void SetPath(const std::wstring& value) { path = value; }
    const std::wstring& GetPath() const { return path; }

    // The verify button: the decryptor's open, then its verification, which gives the code from
    // the same read (the code of a file that does not open as a bid comes from a read of its own).
    // Returns 0 when both passed, else the code of the step that failed.
    int Verify();

    const std::wstring& GetVerifyCode() const { return verifyCode; }
    const std::wstring& GetBidder() const { return bidder; }
    Check GetFormatResult() const { return formatResult; }
    Check GetSignResult() const { return signResult; }
    // Why the last verification failed: the decryptor's text of its code and what was found beyond
    // it ("验证失败!：签名证书不受信任：..."); empty after a success.
    const std::wstring& GetFailureReason() const { return failureReason; }
    // The signer certificate of the last successful verification (owned by the report), or null.
    void* GetSignCert() const { return signCert.get(); }

    // The result cell of a check: "√" passed, "×" failed, empty before any verification.
    static const wchar_t* ResultMark(Check check);

private:
    void UpdateCode();

    std::wstring path;
    std::wstring verifyCode;
    std::wstring bidder;
    std::wstring failureReason;
    std::wstring codeFailure;
    Check formatResult = Check::NotChecked;
    Check signResult = Check::NotChecked;
    kelvane::pki::CertPtr signCert;
};
