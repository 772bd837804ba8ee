// Operation records: every significant step of an import, an opening or a time-stamp test is
// copied into the local log, signed with the operator's certificate and posted to the log
// service named in the settings.
//
// No record is lost on the way: one that the service does not accept (no answer, a time-out, an
// answer that is not HTTP, a refusal, any status but 200) waits in the outbox (CRecordOutbox.h)
// and is sent again, oldest first, before the next record and by ResendPendingRecords. Each record
// carries a random "recordid" after the four members, so that the service stores a record once
// however often it arrives; a record sent again carries the form field "resent=1". A record that
// could not be signed waits unsigned and is signed with the operator's certificate held when it
// is next sent.
#pragma once

#include <chrono>
#include <string>

// Record types.
inline constexpr int kLogTypeFailure = 0;
inline constexpr int kLogTypeSuccess = 1; // also the start of an operation
inline constexpr int kLogTypeNeutral = 2; // a refusal or a cancellation

// Writes the record to the local log (when "IsWriteLocalLog" is "true"), then, when "IsSumbitLog"
// is exactly "true", signs it, sends the records waiting in the outbox and then this one. Returns
// 1 when the record was accepted by the log service or submission is switched off, else 0: the
// record then waits in the outbox (PendingRecordCount counts it). projectId and projectName are
// narrow texts; for operator events outside a project projectId is the workstation's address.
//
// After a submission got no answer (service unreachable, stalling, answering garbage), the
// following ones keep their records in the outbox without waiting for the network for a pause of
// 60 s, so that a dead service costs one time-out of the HTTP client, not one per record.
// A signing failure shows its message for the first record only, until a signature succeeds.
int SubmitOperationRecord(
    int logType, const std::string& projectId, const std::string& projectName, const std::wstring& message);

// As SubmitOperationRecord, for the many records of an opening: returns once the record is written
// locally, signed and handed to the process's sender thread, which posts it (or keeps it in the
// outbox) while the caller goes on. The thread takes one record at a time: a second waits until
// the first is accepted or kept, so that a crash loses no more than during a plain submission.
// The other functions here wait for the record in flight first.
void SubmitOperationRecordInBackground(
    int logType, const std::string& projectId, const std::string& projectName, const std::wstring& message);

// Waits until the record handed to the sender thread is accepted or kept in the outbox.
void WaitForOperationRecords();

// Sends the records waiting in the outbox, oldest first, each marked as resent, and stops at the
// first one not accepted (or, during the pause after a submission got no answer, sends nothing).
// A record waiting to be signed is signed with the held operator certificate, without a message;
// without one it waits. Returns the number of records still waiting. The programs call it at
// start; nothing is sent when submission is switched off.
int ResendPendingRecords();

// Why the last record this process submitted was not accepted, for the operator: the log
// service's URL and the transport's reason or the service's status, or what held the record back
// (the pause after no answer, a missing signature). Empty while every record was accepted.
std::string LastSubmissionFailure();

// The number of records waiting to be accepted by the log service: those in the outbox, and those
// that could not even be written there (kept in memory, lost with the process).
int PendingRecordCount();

// The line the summaries of an opening or an import append when records wait, or an empty text:
// "\n<N>条操作记录等待发送到日志服务".
std::wstring PendingRecordsNotice();

// Sets the pause after a submission that got no answer (60 s unless set) and ends a pause under
// way. For tests, and for a front end's explicit "send now".
void SetLogServicePause(std::chrono::milliseconds pause);

// The record as compact UTF-8 JSON with the members logtype, projectid, projectname and logmsg in
// that order, then "recordid" when recordId is not empty. Returns 1 and the text, or 0.
int BuildLogRecord(const std::string& projectId, const std::string& projectName, const std::string& message,
    int logType, std::string& json, const std::string& recordId = {});

// A new record id: 128 random bits as 32 lower-case hexadecimal digits (empty when the random
// generator fails).
std::string NewRecordId();

// Posts plainText and signedText as a form to url, with "&resent=1" when resent. Returns 1 when
// the service answered with HTTP status 200 (response then holds its body); otherwise 0, with the
// status received in *status when status is not null (0 when no answer came).
int PostLogRecord(const std::string& url, const std::string& plainText, const std::string& signedText,
    std::string& response, int* status = nullptr, bool resent = false);

// Form encoding: letters, digits and "-_.~" stay, a blank becomes "+", every other byte "%XX".
std::string UrlEncode(const std::string& text);

// The fixed message shown when a record cannot be signed.
inline constexpr wchar_t kRecordSignFailedText[] = L"操作签名失败，可能会影响您当前的操作！";
