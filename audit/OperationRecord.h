// Operation records: every significant step of an import, an opening or a time-stamp test is
// copied into the local log, signed with the operator's certificate and posted to the log
// service named in the settings.
#pragma once

#include <string>

// Record types.
inline constexpr int kLogTypeFailure = 0;
inline constexpr int kLogTypeSuccess = 1; // also the start of an operation
inline constexpr int kLogTypeNeutral = 2; // a refusal or a cancellation

// Writes the record to the local log (when "IsWriteLocalLog" is "true"), then, when "IsSumbitLog"
// is exactly "true", signs and posts it. Returns 1 when the record was accepted by the log
// service or submission is switched off, else 0. projectId and projectName are narrow texts; for
// operator events outside a project projectId is the workstation's address.
int SubmitOperationRecord(int logType, const std::string& projectId, const std::string& projectName,
    const std::wstring& message);

// The record as compact UTF-8 JSON with the members logtype, projectid, projectname and logmsg in
// that order. Returns 1 and the text, or 0.
int BuildLogRecord(const std::string& projectId, const std::string& projectName, const std::string& message,
    int logType, std::string& json);

// Posts plainText and signedText as a form to url. Returns 1 when the service answered with HTTP
// status 200 (response then holds its body); otherwise 0, with the status received in *status
// when status is not null (0 when no answer came).
int PostLogRecord(const std::string& url, const std::string& plainText, const std::string& signedText,
    std::string& response, int* status = nullptr);

// Form encoding: letters, digits and "-_.~" stay, a blank becomes "+", every other byte "%XX".
std::string UrlEncode(const std::string& text);

// The fixed message shown when a record cannot be signed.
inline constexpr wchar_t kRecordSignFailedText[] = L"操作签名失败，可能会影响您当前的操作！";
