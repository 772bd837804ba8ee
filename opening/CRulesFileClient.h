// The program's side of the rules-file library: one object per use, which fetches the rules of
// one project from the rules server and answers the questions of an opening or an import about
// them. Every operation returns 0 or a result code of the library; -1 means the client holds no
// library handle (the library is not bound or could not make one).
#pragma once

#include "PkiPtr.h"
#include "opening/CQuelvarLibrary.h"

#include <cstdint>
#include <string>
#include <vector>

class CRulesFileClient
{
public:
    // Creates a library handle; a failure shows up as -1 from GetRules.
    explicit CRulesFileClient(CQuelvarLibrary& library = CQuelvarLibrary::Instance());
    ~CRulesFileClient();
    CRulesFileClient(const CRulesFileClient&) = delete;
    CRulesFileClient& operator=(const CRulesFileClient&) = delete;

    // Points the handle at the rules URL of the settings and forms the query "projectid=" and the
    // project number. Returns the library's answer to the URL; the query is formed in any case.
    int SetTarget(const std::wstring& projectNumber);
    int GetRules();
    // Why GetRules failed, for the operator and the local log: the result table's text of code,
    // the code, and the rules server's URL from the settings (its control characters escaped).
    static std::wstring DescribeFailure(int code);
    // The project name as the rules give it (narrow text).
    int GetProjectName(std::string& projectName);
    // The opening time as wall-clock seconds (see OpeningTime.h): 0, a library code, or -1 when the
    // text is not a valid date and time.
    int GetOpenTime(std::int64_t& openTime);
    // The opening organisation, empty on failure.
    std::wstring GetOpenOrg();
    // Loads the openers' certificates; 0 also when there is no handle or the rules name none.
    int GetOpenerCerts();
    // The openers' certificates loaded by GetOpenerCerts, in the rules' order.
    const std::vector<kelvane::pki::CertPtr>& OpenerCerts() const { return openerCerts; }
    // The rules' threshold, the least number of openers an opening needs: 0, a library code, or -1
    // without a handle.
    int GetThreshold(int& minimum);
    // True when a present token holds the private key of one of the loaded openers.
    bool IsAnyOpenerKeyPresent() const;
    // 0 when the bytes are the fetched rules file.
    int CompareFile(const unsigned char* data, int length);

    // The query as formed by SetTarget (narrow text).
    const std::string& Query() const { return query; }
    // The project number as the query carries it (the query after "projectid="), the project id
    // of the operation records; empty before SetTarget or for an empty number.
    std::string ProjectId() const;
    int GetOpenerCertCount() const { return static_cast<int>(openerCerts.size()); }
    // The loaded opener certificate at index (a PKI library handle the client keeps).
    void* GetOpenerCert(int index) const { return openerCerts.at(static_cast<size_t>(index)).get(); }

private:
    // Reads a text of the library in two calls: the length, then n bytes into n + 1 zeroed bytes.
    int ReadText(decltype(&QuelvarGetOpenOrg) getter, std::string& text);

    CQuelvarLibrary& library;
    std::string query;
    std::string projectName;
    CQuelvar* handle = nullptr;
    std::vector<kelvane::pki::CertPtr> openerCerts;
};
