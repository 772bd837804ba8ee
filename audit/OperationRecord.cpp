#include "audit/OperationRecord.h"

#include "PkiPtr.h"
#include "QuarnJson.h"
#include "app/LocalLog.h"
#include "app/SettingFile.h"
#include "app/TextConversion.h"
#include "audit/CRecordOutbox.h"
#include "audit/OperatorSignature.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <openssl/rand.h>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

namespace {

constexpr unsigned kJsonOptions = 0x90000000u; // compact, characters beyond ASCII kept as UTF-8

struct CJsonFree
{
    void operator()(quarn_json* item) const { quarn_json_free(item); }
};
using JsonPtr = std::unique_ptr<quarn_json, CJsonFree>;

// Adds item under name; the object owns the item only when the call accepted it.
bool AddMember(quarn_json* object, const char* name, quarn_json* made)
{
    JsonPtr item(made);
    if (item == nullptr || quarn_json_addobjectitem(object, name, -1, item.get()) != 1)
        return false;
    item.release();
    return true;
}

constexpr std::chrono::milliseconds kDefaultPause = std::chrono::seconds(60);

// The submissions of this process. The mutex is held while the outbox is sent and the new record
// posted, so that records leave in the order they were kept, and so that threads that come while
// a submission waits for a stalling service find the pause set when it ends.
struct CSubmissionState
{
    std::mutex mutex;
    std::chrono::milliseconds pause = kDefaultPause;
    std::chrono::steady_clock::time_point pausedUntil {};
    // Records that could not be written to the outbox (disk full, folder not writable): newer
    // than every record there, written there at the next chance.
    std::deque<CPendingRecord> unsaved;
    // Why the last record was not accepted, for the operator; kept through a pause.
    std::string failure;
};

CSubmissionState& State()
{
    static CSubmissionState state;
    return state;
}

// Set after a signing failure was shown, cleared by the next signature: one message per run of
// failures, not one per record of an opening.
std::atomic<bool> signFailureShown { false };

bool Paused(const CSubmissionState& state)
{
    return std::chrono::steady_clock::now() < state.pausedUntil;
}

// Signs with the held operator certificate without any message: 1 when signed.
int SignQuietly(const std::string& json, std::string& signature)
{
    const kelvane::pki::CertPtr cert(CopyOperatorCert());
    if (cert == nullptr || KeepPrivateKey(cert.get()) != 1)
        return 0;
    return SignOperatorData(true, json, cert.get(), signature) == 1 ? 1 : 0;
}

enum class CSendResult
{
    Accepted,
    Refused,
    NoAnswer
};

CSendResult Send(CSubmissionState& state, const std::string& url, const CPendingRecord& record, bool resent)
{
    std::string response;
    int status = 0;
    if (PostLogRecord(url, record.plainText, record.signedData, response, &status, resent) == 1)
        return CSendResult::Accepted;
    const std::string where = url.empty() ? std::string("\"\" (no [LogSubmitURL] url in the settings)") : url;
    state.failure = status != 0
        ? "the log service at " + where + " refused the record with HTTP status " + std::to_string(status)
        : "the log service at " + where + " gave no answer: " + QuarnPKIGetLastError();
    if (status != 0) {
        WriteLocalLog(2,
            "the log service refused operation record %s with status %d; it waits in the outbox\n",
            record.recordId.c_str(), status);
        return CSendResult::Refused;
    }
    state.pausedUntil = std::chrono::steady_clock::now() + state.pause;
    WriteLocalLog(2, "the log service at %s gave no answer; records wait in the outbox for %lld s\n",
        url.c_str(),
        static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(state.pause).count()));
    return CSendResult::NoAnswer;
}

// During the pause nothing is sent: the reason is the answer that started it.
void SayPaused(CSubmissionState& state)
{
    constexpr char kWaiting[] = "records wait in the outbox after ";
    if (state.failure.rfind(kWaiting, 0) != 0)
        state.failure = kWaiting + state.failure;
}

// Writes the records kept in memory to the outbox, oldest first, while it takes them.
void SaveUnsaved(CSubmissionState& state, CRecordOutbox& outbox)
{
    while (!state.unsaved.empty() && outbox.Add(state.unsaved.front()))
        state.unsaved.pop_front();
}

// Keeps a record that was not accepted: in the outbox, or in memory when the outbox cannot take
// it (and behind records already in memory, so that the order holds).
void Keep(CSubmissionState& state, CRecordOutbox& outbox, CPendingRecord record)
{
    if (state.unsaved.empty() && outbox.Add(record)) {
        WriteLocalLog(2, "operation record %s waits in the outbox %s\n", record.recordId.c_str(),
            record.fileName.c_str());
        return;
    }
    WriteLocalLog(1, "operation record %s could not be written to the outbox; it waits in memory\n",
        record.recordId.c_str());
    state.unsaved.push_back(std::move(record));
}

// Sends the waiting records oldest first. True when none waits any more.
bool SendPending(CSubmissionState& state, CRecordOutbox& outbox, const std::string& url)
{
    SaveUnsaved(state, outbox);
    std::vector<std::string> damaged;
    std::vector<CPendingRecord> pending = outbox.Pending(&damaged);
    for (const std::string& name : damaged)
        WriteLocalLog(
            1, "the outbox file %s is damaged (cut off by a crash?) and was set aside\n", name.c_str());
    const size_t saved = pending.size();
    pending.insert(pending.end(), state.unsaved.begin(), state.unsaved.end());
    if (pending.empty())
        return true;
    if (Paused(state)) {
        SayPaused(state);
        return false;
    }
    for (size_t i = 0; i < pending.size(); ++i) {
        CPendingRecord& record = pending[i];
        const bool inOutbox = i < saved;
        if (record.signedData.empty()) {
            if (SignQuietly(record.plainText, record.signedData) != 1) {
                state.failure = "an earlier record waits to be signed with the operator's certificate";
                return false;
            }
            // Kept signed from now on, whatever the service answers.
            if (inOutbox)
                outbox.Replace(record);
            else
                state.unsaved.front().signedData = record.signedData;
        }
        if (Send(state, url, record, true) != CSendResult::Accepted)
            return false;
        if (inOutbox)
            outbox.Remove(record);
        else
            state.unsaved.pop_front();
    }
    return true;
}

// Writes the local copy, then builds and signs the record. False when nothing is to be posted:
// submission is switched off (result 1) or the record cannot be built (result 0).
bool PrepareRecord(int logType, const std::string& projectId, const std::string& projectName,
    const std::wstring& message, CPendingRecord& record, int& result)
{
    const CSettingFile& settings = CSettingFile::Instance();
    const std::string ansiMessage = WideToAnsi(message);

    // The local copy comes first and stays whatever happens to the submission.
    if (const std::wstring writeLocal = settings.GetWriteLocalLog(); writeLocal == L"true") {
        InitLocalLog(writeLocal);
        // Messages carry file names from outside: none may forge a line of the log.
        WriteLocalLog(3, " %s \n  ", EscapeControlCharacters(ansiMessage).c_str());
    }
    result = 1;
    if (settings.GetSubmitLog() != L"true")
        return false;

    result = 0;
    record.recordId = NewRecordId();
    if (record.recordId.empty()
        || BuildLogRecord(projectId, projectName, ansiMessage, logType, record.plainText, record.recordId)
            != 1)
        return false;

    // Signed before the queue is taken: the signature may ask the operator for the token.
    if (!signFailureShown.load()) {
        const kelvane::pki::CertPtr cert(CopyOperatorCert());
        if (SignOperatorData(true, record.plainText, cert.get(), record.signedData) != 1) {
            record.signedData.clear();
            signFailureShown.store(true);
            kelvane::audit::ShowAuditMessage(kRecordSignFailedText, L"提示");
        }
    } else if (SignQuietly(record.plainText, record.signedData) != 1) {
        record.signedData.clear();
    }
    if (!record.signedData.empty())
        signFailureShown.store(false);
    return true;
}

// Sends the outbox and then the record; keeps the record in the outbox when it is not accepted.
// Returns 1 when it was accepted.
int Deliver(CPendingRecord record)
{
    CSubmissionState& state = State();
    const std::lock_guard lock(state.mutex);
    CRecordOutbox outbox(CRecordOutbox::DefaultFolder());
    const std::string url = WideToAnsi(CSettingFile::Instance().GetLogSubmitUrl());
    if (SendPending(state, outbox, url)) {
        if (record.signedData.empty())
            state.failure = "the record could not be signed with the operator's certificate";
        else if (Paused(state))
            SayPaused(state);
        else if (Send(state, url, record, false) == CSendResult::Accepted) {
            state.failure.clear();
            return 1;
        }
    }
    Keep(state, outbox, std::move(record));
    return 0;
}

// The thread that delivers the records handed over in the background, one at a time: a record is
// handed over only once the one before it was accepted or kept in the outbox, so that a crash
// loses no more than it would while a submission waits for the service. One thread for the
// process, so that its kept-alive connection to the service serves every record.
class CRecordSender
{
public:
    static CRecordSender& Instance()
    {
        // Never destroyed: the thread waits for work until the process ends, and every caller
        // waits for its records before it reports or ends.
        static CRecordSender& sender = *new CRecordSender;
        return sender;
    }

    // Waits until the record before is delivered, then hands this one over. Without a thread the
    // record is delivered here.
    void Hand(CPendingRecord record)
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return !inFlight; });
        if (!StartThread()) {
            lock.unlock();
            Deliver(std::move(record));
            return;
        }
        inFlight = std::move(record);
        changed.notify_all();
    }

    void Wait()
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return !inFlight; });
    }

private:
    bool StartThread()
    {
        if (thread.joinable())
            return true;
        try {
            thread = std::thread([this] { Loop(); });
        } catch (const std::system_error&) {
            return false;
        }
        return true;
    }

    void Loop()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return inFlight.has_value(); });
            CPendingRecord record = *inFlight;
            lock.unlock();
            Deliver(std::move(record));
            lock.lock();
            inFlight.reset();
            changed.notify_all();
        }
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::optional<CPendingRecord> inFlight;
    std::thread thread;
};

} // namespace

int SubmitOperationRecord(
    int logType, const std::string& projectId, const std::string& projectName, const std::wstring& message)
{
    CPendingRecord record;
    int result = 0;
    if (!PrepareRecord(logType, projectId, projectName, message, record, result))
        return result;
    CRecordSender::Instance().Wait();
    return Deliver(std::move(record));
}

void SubmitOperationRecordInBackground(
    int logType, const std::string& projectId, const std::string& projectName, const std::wstring& message)
{
    CPendingRecord record;
    int result = 0;
    if (PrepareRecord(logType, projectId, projectName, message, record, result))
        CRecordSender::Instance().Hand(std::move(record));
}

void WaitForOperationRecords()
{
    CRecordSender::Instance().Wait();
}

int ResendPendingRecords()
{
    WaitForOperationRecords();
    CSubmissionState& state = State();
    const std::lock_guard lock(state.mutex);
    CRecordOutbox outbox(CRecordOutbox::DefaultFolder());
    const CSettingFile& settings = CSettingFile::Instance();
    if (settings.GetSubmitLog() == L"true")
        SendPending(state, outbox, WideToAnsi(settings.GetLogSubmitUrl()));
    return static_cast<int>(outbox.Pending().size() + state.unsaved.size());
}

std::string LastSubmissionFailure()
{
    WaitForOperationRecords();
    CSubmissionState& state = State();
    const std::lock_guard lock(state.mutex);
    return state.failure;
}

int PendingRecordCount()
{
    WaitForOperationRecords();
    CSubmissionState& state = State();
    const std::lock_guard lock(state.mutex);
    CRecordOutbox outbox(CRecordOutbox::DefaultFolder());
    SaveUnsaved(state, outbox);
    return static_cast<int>(outbox.Pending().size() + state.unsaved.size());
}

std::wstring PendingRecordsNotice()
{
    const int waiting = PendingRecordCount();
    return waiting > 0 ? L"\n" + std::to_wstring(waiting) + L"条操作记录等待发送到日志服务" : std::wstring();
}

void SetLogServicePause(std::chrono::milliseconds pause)
{
    CSubmissionState& state = State();
    const std::lock_guard lock(state.mutex);
    state.pause = pause;
    state.pausedUntil = {};
}

std::string NewRecordId()
{
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        return {};
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string id;
    for (const unsigned char byte : bytes) {
        id += kDigits[byte >> 4];
        id += kDigits[byte & 0x0F];
    }
    return id;
}

int BuildLogRecord(const std::string& projectId, const std::string& projectName, const std::string& message,
    int logType, std::string& json, const std::string& recordId)
{
    const JsonPtr object(quarn_json_newobject());
    if (object == nullptr)
        return 0;
    const std::string id = AnsiToUtf8(projectId);
    const std::string name = AnsiToUtf8(projectName);
    const std::string text = AnsiToUtf8(message);
    // A text cut at a zero byte would sign something other than what the caller logged; the
    // lengths are given so that the members carry the whole texts.
    if (!AddMember(object.get(), "logtype", quarn_json_newnumber(static_cast<double>(logType)))
        || !AddMember(object.get(), "projectid", quarn_json_newstring(id.data(), static_cast<int>(id.size())))
        || !AddMember(
            object.get(), "projectname", quarn_json_newstring(name.data(), static_cast<int>(name.size())))
        || !AddMember(
            object.get(), "logmsg", quarn_json_newstring(text.data(), static_cast<int>(text.size())))
        || (!recordId.empty()
            && !AddMember(object.get(), "recordid",
                quarn_json_newstring(recordId.data(), static_cast<int>(recordId.size())))))
        return 0;
    char* encoded = nullptr;
    int length = 0;
    if (quarn_json_encode(object.get(), kJsonOptions, &encoded, &length) != 1 || encoded == nullptr) {
        quarn_json_freetext(encoded);
        return 0;
    }
    json.assign(encoded, static_cast<size_t>(length));
    quarn_json_freetext(encoded);
    return 1;
}

int PostLogRecord(const std::string& url, const std::string& plainText, const std::string& signedText,
    std::string& response, int* status, bool resent)
{
    std::string body = "plainText=" + UrlEncode(plainText) + "&signedData=" + UrlEncode(signedText);
    if (resent)
        body += "&resent=1";
    const char* headers[] = { "Connection:Keep-Alive", "Cache-Control:no-cache",
        "Content-type:application/x-www-form-urlencoded" };
    int received = 0;
    unsigned char* rawResponse = nullptr;
    int responseLength = 0;
    const int result
        = QuarnPKICryptoHttpPost(url.c_str(), headers, 3, reinterpret_cast<const unsigned char*>(body.data()),
            static_cast<int>(body.size()), &received, nullptr, &rawResponse, &responseLength);
    const kelvane::pki::BytesPtr owned(rawResponse);
    if (result == 1 && received == 200) {
        response.assign(owned != nullptr && responseLength > 0
                ? std::string(reinterpret_cast<const char*>(owned.get()), static_cast<size_t>(responseLength))
                : std::string());
        return 1;
    }
    if (status != nullptr)
        *status = result == 1 ? received : 0;
    return 0;
}

std::string UrlEncode(const std::string& text)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(text.size() * 3);
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9')
            || byte == '-' || byte == '_' || byte == '.' || byte == '~') {
            encoded += c;
        } else if (byte == ' ') {
            encoded += '+';
        } else {
            encoded += '%';
            encoded += kHex[byte >> 4];
            encoded += kHex[byte & 0x0F];
        }
    }
    return encoded;
}
