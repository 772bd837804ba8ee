// One bid file under verification or opening: its paths and display texts, its row in the
// bid-file list, its status, and the sealed-file decryptor handle with what the decryptor
// reported (the signer's certificate, the custom data with the embedded rules file, the
// certificates of the openers who have contributed so far).
//
// Operations return 0 or a code of the decryptor's result table; -1 is the holder's own code
// (no handle, empty path or folder, signer certificate not obtained, embedded rules length beyond
// the data) and 1 a failed allocation. The holder shows nothing and logs nothing. One thread uses
// a holder at a time.
#pragma once

#include "QuarnSecretFile.h"
#include "audit/PkiPtr.h"
#include "opening/BidStatus.h"

#include <memory>
#include <string>
#include <vector>

// Finds the rules file in a bid's custom data: "RULF", a 4-byte big-endian length L, then L
// bytes. 0 with found set and the L bytes at offset 8; 0 with found clear when the data is 7 bytes
// or shorter or lacks the mark; -1 when L runs past the data.
int FindEmbeddedRules(const unsigned char* data, size_t size, bool& found, int& length);

class CBidFileHolder {
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
    void SetBidStatus(int status) { bidStatus = status; }

    const std::wstring& GetFileName() const { return fileName; }
    const std::wstring& GetFullPath() const { return fullPath; }
    const std::wstring& GetOutputFolder() const { return outputFolder; }
    int GetRow() const { return row; }
    const std::wstring& GetSignerName() const { return signerName; }
    const std::wstring& GetSignerOrg() const { return signerOrg; }
    const std::wstring& GetOpenOrg() const { return openOrg; }
    const std::wstring& GetOpenTime() const { return openTime; }
    int GetBidStatus() const { return bidStatus; }
    // The signer's certificate from the last successful VerifyStructure (owned by the holder), or null.
    void* GetSignCert() const { return signCert.get(); }
    // The embedded rules file: a view into the custom data, valid while the holder keeps it.
    const unsigned char* GetEmbeddedRules(int* length) const;
    bool HasHandle() const { return handle != nullptr; }

    int Open();
    int Release();
    int VerifyStructure();
    int GetDecryptorStatus();
    int Try();
    int Decrypt();
    int GetMinNum();

    void LoadOpenerCerts();
    void FreeOpenerCerts() { openerCerts.clear(); }
    int GetOpenerCount() const { return static_cast<int>(openerCerts.size()); }
    std::wstring GetOpenerName(int index) const;
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
    CQuarnFileDecryptor* handle = nullptr;
    kelvane::pki::CertPtr signCert;
    int bidStatus = Ready;
    std::vector<kelvane::pki::CertPtr> openerCerts;
};
