#include "audit/OperationRecord.h"

#include "QuarnJson.h"
#include "app/LocalLog.h"
#include "app/SettingFile.h"
#include "app/TextConversion.h"
#include "audit/OperatorSignature.h"
#include "audit/PkiPtr.h"

#include <memory>

namespace {

constexpr unsigned kJsonOptions = 0x90000000u; // compact, characters beyond ASCII kept as UTF-8

struct CJsonFree {
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

} // namespace

int SubmitOperationRecord(int logType, const std::string& projectId, const std::string& projectName,
    const std::wstring& message)
{
    const CSettingFile& settings = CSettingFile::Instance();
    const std::string ansiMessage = WideToAnsi(message);

    // The local copy comes first and stays whatever happens to the submission.
    if (const std::wstring writeLocal = settings.GetWriteLocalLog(); writeLocal == L"true") {
        InitLocalLog(writeLocal);
        // Messages carry file names from outside: none may forge a line of the log.
        WriteLocalLog(3, " %s \n  ", EscapeControlCharacters(ansiMessage).c_str());
    }
    if (settings.GetSubmitLog() != L"true")
        return 1;

    std::string json;
    if (BuildLogRecord(projectId, projectName, ansiMessage, logType, json) != 1)
        return 0;

    std::string signature;
    const kelvane::pki::CertPtr cert(CopyOperatorCert());
    if (SignOperatorData(true, json, cert.get(), signature) != 1) {
        kelvane::audit::ShowAuditMessage(kRecordSignFailedText, L"提示");
        return 0;
    }

    std::string response;
    return PostLogRecord(WideToAnsi(settings.GetLogSubmitUrl()), json, signature, response) == 1 ? 1 : 0;
}

int BuildLogRecord(const std::string& projectId, const std::string& projectName, const std::string& message,
    int logType, std::string& json)
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
        || !AddMember(object.get(), "projectname", quarn_json_newstring(name.data(), static_cast<int>(name.size())))
        || !AddMember(object.get(), "logmsg", quarn_json_newstring(text.data(), static_cast<int>(text.size()))))
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
    std::string& response, int* status)
{
    const std::string body = "plainText=" + UrlEncode(plainText) + "&signedData=" + UrlEncode(signedText);
    const char* headers[] = { "Connection:Keep-Alive", "Cache-Control:no-cache",
        "Content-type:application/x-www-form-urlencoded" };
    int received = 0;
    unsigned char* rawResponse = nullptr;
    int responseLength = 0;
    const int result = QuarnPKICryptoHttpPost(url.c_str(), headers, 3, reinterpret_cast<const unsigned char*>(body.data()),
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
        if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') || byte == '-'
            || byte == '_' || byte == '.' || byte == '~') {
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
