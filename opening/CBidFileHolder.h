// One bid file under verification or opening: its paths and display texts, its row in the
// bid-file list, its status, and the sealed-file decryptor handle with what the decryptor
// reported (the signer's certificate, the custom data with the embedded rules file, the
// certificates of the openers who have contributed so far).
//
// Operations return 0 or a code of the decryptor's result table (CheckAgainstEmbeddedRules: of the
// rules library's); -1 is the holder's own code (no handle, empty path or folder, signer
// certificate not obtained, embedded rules length beyond the data) and 1 a failed allocation. The
// holder shows nothing and logs nothing. One thread uses a holder at a time.
#pragma once

#include "PkiPtr.h"
#include "QuarnSecretFile.h"
#include "opening/BidStatus.h"
#include "opening/FileChecks.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Finds the rules file in a bid's custom data: "RULF", a 4-byte big-endian length L, then L
// bytes. 0 with found set and the L bytes at offset 8; 0 with found clear when the data is 7 bytes
// or shorter or lacks the mark; -1 when L runs past the data.
int FindEmbeddedRules(const unsigned char* data, size_t size, bool& found, int& length);

class CBidFileHolder
{
public:
    CBidFileHolder() = default;
    ~CBidFileHolder();
    CBidFileHolder(const CBidFileHolder&) = delete;
    CBidFileHolder& operator=(const CBidFileHolder&) = delete;

    // Stores the full path; the file name is the part after the last "/" (the whole path without
    // one).
    void SetPath(const std::wstring& path);
    void SetOutputFolder(const std::wstring& folder) { outputFolder = folder; }
    void SetRow(int value) { row = value; }
    void SetOpenTime(const std::wstring& text) { openTime = text; }
    void SetOpenOrg(const std::wstring& text) { openOrg = text; }
    void SetBidStatus(BidStatus status) { bidStatus = status; }

    const std::wstring& GetFileName() const { return fileName; }
    const std::wstring& GetFullPath() const { return fullPath; }
    const std::wstring& GetOutputFolder() const { return outputFolder; }
    int GetRow() const { return row; }
    const std::wstring& GetSignerName() const { return signerName; }
    const std::wstring& GetSignerOrg() const { return signerOrg; }
    const std::wstring& GetOpenOrg() const { return openOrg; }
    const std::wstring& GetOpenTime() const { return openTime; }
    BidStatus GetBidStatus() const { return bidStatus; }
    // What the opening found of the file, check by check (the holder's callers fill it).
    CFileChecks& Checks() { return checks; }
    const CFileChecks& Checks() const { return checks; }
    // The signer's certificate from the last successful VerifyStructure (owned by the holder), or null.
    void* GetSignCert() const { return signCert.get(); }
    // The embedded rules file: a view into the custom data, valid while the holder keeps it.
    const unsigned char* GetEmbeddedRules(int* length) const;
    bool HasHandle() const { return handle != nullptr; }

    int Open();
    int Release();
    // The decryptor's structure and signature check, then the signer: a certificate that the
    // tender's trust anchors do not vouch for gives the decryptor's code for a wrong signature (23)
    // with the reason in GetFailureReason. With code, the same read also gives the file's
    // verification code (the SM3 digest of the bytes verified; empty when the file could not be
    // read through), whatever the check gave.
    int VerifyStructure(std::vector<unsigned char>* code = nullptr);
    // Holds the file to the rules embedded in it, whatever the settings say about the comparison
    // with the served rules: the header's threshold n, its opener count m and its openers'
    // certificates (as a set, by their DER) must be those of the embedded rules, for a header
    // sealed to other openers or a lower threshold would open with fewer or other keys than the
    // rules it carries name. After a successful VerifyStructure; 0 or a code of the rules
    // library's result table (24 no embedded rules, a parser code for rules that do not read,
    // 17 a difference), with the reason in GetFailureReason; -1 without a handle.
    int CheckAgainstEmbeddedRules();
    // The opening time of the embedded rules as wall-clock seconds (see OpeningTime.h), after a
    // successful CheckAgainstEmbeddedRules; nothing when the text is no date and time.
    const std::optional<std::int64_t>& GetEmbeddedOpenTime() const { return embeddedOpenTime; }
    // What the last failing VerifyStructure or CheckAgainstEmbeddedRules found beyond its code, or
    // empty; a signer that is not trusted also sets IsSignerRefused.
    const std::wstring& GetFailureReason() const { return failureReason; }
    bool IsSignerRefused() const { return signerRefused; }
    int GetDecryptorStatus();
    int Try();
    int Decrypt();
    int GetMinNum();

    void LoadOpenerCerts();
    void FreeOpenerCerts() { openerCerts.clear(); }
    int GetOpenerCount() const { return static_cast<int>(openerCerts.size()); }
    std::wstring GetOpenerName(int index) const;
    // The index-th contributing opener's certificate (owned by the holder), or null.
    void* GetOpenerCert(int index) const
    {
        return index >= 0 && index < GetOpenerCount() ? openerCerts[static_cast<size_t>(index)].get()
                                                      : nullptr;
    }
    // "(count)" followed by the openers' names joined with separator.
    std::wstring GetOpenersText(const std::wstring& separator) const;

    // Shows the signer's certificate with the PKI library's viewer; 0, or -1 without one.
    int ShowSignCert(void* owner) const;

private:
    std::wstring fileName;
    std::wstring fullPath;
    std::wstring outputFolder;
    std::wstring signerOrg;
    std::wstring signerName;
    std::wstring openOrg;
    std::wstring openTime;
    int row = -1;
    std::vector<unsigned char> customData;
    int embeddedRulesLength = 0;
    bool hasEmbeddedRules = false;
    std::optional<std::int64_t> embeddedOpenTime;
    std::wstring failureReason;
    bool signerRefused = false;
    CQuarnFileDecryptor* handle = nullptr;
    kelvane::pki::CertPtr signCert;
    BidStatus bidStatus = BidStatus::Ready;
    std::vector<kelvane::pki::CertPtr> openerCerts;
    CFileChecks checks;
};
