// The opening record (开标记录): one account of each opening that nobody can alter afterwards
// unnoticed. At the end of a run the opening writes into the package folder
//   开标记录-<project>-<package>-<yyyymmddHHMMSS>.json  what the run knows, as canonical JSON
//                                                     (sorted keys, UTF-8, no spaces)
//   开标记录-<project>-<package>-<yyyymmddHHMMSS>.p7s   the operator's detached CMS signature over
//                                                     the JSON's bytes, with an RFC 3161 token over
//                                                     the signature value as the unsigned attribute
//                                                     id-aa-timeStampToken
//   开标记录-<project>-<package>-<yyyymmddHHMMSS>.pdf   the same for printing, when the program
//                                                     installed a printer (SetRecordPrinter)
// Each file is written aside and linked under its name, which never replaces a file: a second
// record of the same package in the same second gets "-2", "-3" ... before the extension.
// VerifyOpeningRecord checks a record with nothing but the record and the anchors.
#pragma once

#include "opening/BidStatus.h"

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

class CBidFileHolder;
enum class COpeningEnd : int;

// The stable English names of a bid's state and of a run's end, for the record and kelvane-cli --json.
const char* BidStatusName(BidStatus status);
const char* OpeningEndName(COpeningEnd end);

// ISO 8601 in the local zone with its offset: "2026-12-08T22:40:05+08:00", "...Z" in UTC.
std::string IsoLocalTime(std::time_t moment);
// ISO 8601 of Beijing wall-clock seconds (see OpeningTime.h): "2026-12-08T22:40:05+08:00".
std::string IsoBeijingTime(std::int64_t wallClockSeconds);

// Lower-case hexadecimal SHA-256 of bytes.
std::string Sha256Hex(const void* data, std::size_t size);

class COpeningRecord
{
public:
    struct COpener
    {
        std::wstring name;
        std::string fingerprint; // SHA-256 of the certificate's DER
    };

    explicit COpeningRecord(std::time_t startedAt = std::time(nullptr))
        : started(startedAt)
    {
    }

    void SetProject(const std::string& number, const std::string& name)
    {
        projectNumber = number;
        projectName = name;
    }
    // The package folder (ending in "/"); its last part is the package's number.
    void SetPackageFolder(const std::wstring& folder) { packageFolder = folder; }
    const std::wstring& PackageFolder() const { return packageFolder; }
    void SetOpeningOrganisation(const std::wstring& organisation) { openOrg = organisation; }
    // The served rules' opening time, Beijing wall-clock seconds.
    void SetServedOpeningTime(std::int64_t seconds) { servedOpeningTime = seconds; }
    // The verified time-stamp token the time check used (DER ContentInfo) and its time.
    void SetTimeStamp(const std::vector<unsigned char>& token, std::int64_t beijingSeconds);
    // The operator's certificate (a PKI library handle; null leaves the operator out).
    void SetOperator(void* cert);
    // One bid as the run left it; decryptedFolder is the folder its files went to, empty when none.
    void AddBid(const CBidFileHolder& holder, const std::wstring& decryptedFolder);
    void SetEnd(COpeningEnd end);
    // One opener the rules name (a PKI library handle); the record marks those who contributed.
    void AddRulesOpener(void* cert);

    // The canonical JSON, with the end time finishedAt.
    std::string ToJson(std::time_t finishedAt) const;

private:
    struct CBid
    {
        std::wstring fileName;
        std::wstring verifyCode;
        std::wstring signer;
        std::wstring company;
        std::string status;
        std::wstring reason;
        std::optional<std::int64_t> embeddedOpeningTime;
        std::vector<COpener> openers;
        struct CFile
        {
            std::string path; // under Open/
            std::uintmax_t size = 0;
            std::string sha256;
        };
        std::vector<CFile> files;
    };

    std::time_t started;
    std::string projectNumber;
    std::string projectName;
    std::wstring packageFolder;
    std::wstring openOrg;
    std::optional<std::int64_t> servedOpeningTime;
    std::vector<unsigned char> timeStampToken;
    std::optional<std::int64_t> timeStampTime;
    std::vector<unsigned char> operatorCert;
    std::vector<CBid> bids;
    std::vector<COpener> rulesOpeners;
    std::string end;
};

struct CRecordFiles
{
    std::wstring json; // full paths; empty when not written
    std::wstring signature;
    std::wstring pdf;
    std::string sha256; // of the JSON's bytes
    // What went wrong, for the operator; a record without its signature or time-stamp is still
    // written, with the reason here.
    std::wstring problem;
};

// What a printer gets: the record's JSON, its SHA-256 and the time of the time-stamp over its
// signature (ISO 8601, empty when it has none).
struct CRecordPrint
{
    const std::string& json;
    const std::string& sha256;
    const std::string& stampTime;
};
// Lays the record out for printing: the PDF's bytes, or empty with problem set. Called on the
// opening's worker thread.
using RecordPrinter = std::string (*)(const CRecordPrint& record, std::wstring& problem);
// The printer of the records this program writes; without one a record has no .pdf. Set before
// the first opening.
void SetRecordPrinter(RecordPrinter printer);

// Signs the record with the operator's certificate on its token, stamps the signature at the
// configured time-stamp authorities and writes its files into the record's package folder.
CRecordFiles WriteOpeningRecord(const COpeningRecord& record, std::time_t finishedAt = std::time(nullptr));

// The record's .p7s with the time-stamp token as the unsigned attribute id-aa-timeStampToken of its
// (first) signer: true, or false when the signature does not read.
bool AttachTimeStampToken(std::vector<unsigned char>& signature, const std::vector<unsigned char>& token);
// The value of the signature's (first) signer's signature, empty when it does not read.
std::vector<unsigned char> SignatureValue(const std::vector<unsigned char>& signature);

struct CRecordCheck
{
    std::string name;
    bool passed = false;
    std::string detail; // what was checked, or why it failed
};

// The anchors of a verification: PEM files; empty: the system store.
struct CRecordAnchors
{
    std::string operatorAnchors;
    std::string timeStampAnchors;
};
// The workstation's: bidder-ca.pem / KELVANE_BIDDER_CA for the operator, KELVANE_TSA_CA then
// tsa-ca.pem in the settings folder for the time-stamp authorities.
CRecordAnchors WorkstationAnchors();

// Checks the record whose JSON is jsonPath (its .p7s beside it): the signature over the JSON's
// bytes and that its signer is the operator the record names, the time-stamp token (imprint over the
// signature value, signature, chain to the time-stamp anchors at its own time), the operator's chain at the
// time-stamp's time, and with files every decrypted file's size and SHA-256 under the package folder's Open/.
// Each check once, in that order.
std::vector<CRecordCheck> VerifyOpeningRecord(
    const std::string& jsonPath, bool files, const CRecordAnchors& anchors = WorkstationAnchors());
