#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;
struct x509_store_st;

namespace httplib {
class Server;
}

// Decodes an application/x-www-form-urlencoded body. Refuses (nullopt) a malformed % escape, a
// field without "=", an empty name and a name given twice, so that a record can never be read in
// two ways.
std::optional<std::map<std::string, std::string>> ParseFormBody(std::string_view body);

// One operation record as the service stored it.
struct CStoredLogRecord
{
    int64_t id = 0;
    std::string received; // UTC, ISO 8601
    int64_t logType = 0;
    std::string projectId;
    std::string projectName;
    std::string message;
    std::string signer; // the signer certificate's subject common name
    std::string recordId; // the record's "recordid", empty for a record without one
    bool resent = false; // the first arrival was marked as sent again
};

// The log service for development and tests. A record is accepted only when its signature is a
// valid CMS SignedData whose signed content is byte for byte the submitted plain text, whose signer
// certificate chains to the tender's CA (when one is given), and whose plain text is the JSON
// object of an operation record: "logtype", "projectid", "projectname", "logmsg", in that order,
// optionally followed by "recordid" (32 lower-case hexadecimal digits). A record whose id is
// stored already is answered 200 and not stored again (a workstation sends a record again when
// it missed the answer); another record under a stored id is refused.
//
// POST /log          form body plainText=...&signedData=...[&resent=1]; 200 stored, 400 refused
// GET  /log/records  every stored record as a JSON array
class CLogService
{
public:
    struct Verdict
    {
        bool accepted = false;
        std::string reason;
    };

    // Opens (or creates) the SQLite database. caPem may be empty: signatures are then checked
    // against the certificate they carry without a chain.
    static std::unique_ptr<CLogService> Open(
        const std::filesystem::path& database, const std::filesystem::path& caPem, std::string& error);
    ~CLogService();

    Verdict Submit(std::string_view body);
    std::vector<CStoredLogRecord> Records() const;
    void Mount(httplib::Server& server);

    // The largest body taken; a record is a few hundred bytes and its signature a few kilobytes.
    static constexpr size_t kMaxBody = 1024 * 1024;

private:
    CLogService() = default;
    Verdict Store(const CStoredLogRecord& record, std::string_view plainText, std::string_view signedData);

    sqlite3* database = nullptr;
    // Prepared once: a record's lookup by its id and its insertion.
    sqlite3_stmt* lookupById = nullptr;
    sqlite3_stmt* insertRecord = nullptr;
    x509_store_st* trust = nullptr;
    mutable std::mutex mutex;
    // The certificates (SHA-256 of their DER, in order) that records carried and that chained to
    // the trusted authorities, with when: an operator's records all carry the same certificate.
    std::mutex chainsMutex;
    std::map<std::string, std::chrono::steady_clock::time_point> verifiedChains;
};
