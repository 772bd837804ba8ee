#include "CLogService.h"

#include "CDevClock.h"
#include "OpenSslSupport.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <httplib.h>
#include <nlohmann/json.hpp>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sqlite3.h>

namespace {

using kelvane::CmsPtr;
using StmtPtr = FreedPtr<sqlite3_stmt, sqlite3_finalize>;

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::optional<std::string> DecodeComponent(std::string_view text)
{
    std::string decoded;
    decoded.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            decoded += ' ';
        } else if (text[i] == '%') {
            if (i + 2 >= text.size())
                return std::nullopt;
            const int high = HexValue(text[i + 1]);
            const int low = HexValue(text[i + 2]);
            if (high < 0 || low < 0)
                return std::nullopt;
            decoded += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

std::optional<std::string> DecodeBase64(std::string_view text)
{
    std::string compact;
    for (const char c : text) {
        if (c != '\r' && c != '\n' && c != ' ')
            compact += c;
    }
    if (compact.empty() || compact.size() % 4 != 0 || compact.size() > CLogService::kMaxBody)
        return std::nullopt;
    std::string bytes(compact.size() / 4 * 3, '\0');
    const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
        reinterpret_cast<const unsigned char*>(compact.data()), static_cast<int>(compact.size()));
    if (length < 0)
        return std::nullopt;
    // EVP_DecodeBlock counts the padding as zero bytes: drop them.
    size_t padding = 0;
    if (compact.back() == '=')
        padding = compact[compact.size() - 2] == '=' ? 2 : 1;
    bytes.resize(static_cast<size_t>(length) - padding);
    return bytes;
}

std::string CommonName(X509* certificate)
{
    X509_NAME* subject = X509_get_subject_name(certificate);
    const int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (index < 0)
        return {};
    unsigned char* utf8 = nullptr;
    const int length
        = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
    const OpenSslMemoryPtr<unsigned char> owned(utf8);
    if (length < 0)
        return {};
    return std::string(reinterpret_cast<char*>(utf8), static_cast<size_t>(length));
}

bool IsRecordId(std::string_view id)
{
    return id.size() == 32 && std::all_of(id.begin(), id.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    });
}

// The SHA-256 of each certificate the signed data carries, in order; empty when it carries none.
std::string CertificatesDigest(CMS_ContentInfo* cms)
{
    STACK_OF(X509)* certs = CMS_get1_certs(cms);
    std::string digests;
    for (int i = 0; i < sk_X509_num(certs); ++i) {
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (X509_digest(sk_X509_value(certs, i), EVP_sha256(), md, &length) != 1) {
            digests.clear();
            break;
        }
        digests.append(reinterpret_cast<const char*>(md), length);
    }
    sk_X509_pop_free(certs, X509_free);
    return digests;
}

} // namespace

std::optional<std::map<std::string, std::string>> ParseFormBody(std::string_view body)
{
    std::map<std::string, std::string> fields;
    while (!body.empty()) {
        const size_t end = body.find('&');
        const std::string_view field = body.substr(0, end);
        body = end == std::string_view::npos ? std::string_view() : body.substr(end + 1);
        const size_t equals = field.find('=');
        if (equals == std::string_view::npos)
            return std::nullopt;
        auto name = DecodeComponent(field.substr(0, equals));
        auto value = DecodeComponent(field.substr(equals + 1));
        if (!name || !value || name->empty() || fields.count(*name))
            return std::nullopt;
        fields.emplace(std::move(*name), std::move(*value));
    }
    return fields;
}

std::unique_ptr<CLogService> CLogService::Open(
    const std::filesystem::path& databasePath, const std::filesystem::path& caPem, std::string& error)
{
    std::unique_ptr<CLogService> service(new CLogService());
    if (sqlite3_open(databasePath.c_str(), &service->database) != SQLITE_OK) {
        error = "cannot open the log database " + databasePath.string() + ": "
            + (service->database ? sqlite3_errmsg(service->database) : "out of memory");
        return nullptr;
    }
    // A record is committed before it is answered as stored; a write-ahead log commits it with one
    // append instead of a rollback journal made, synced and deleted for each record.
    if (sqlite3_exec(
            service->database, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL", nullptr, nullptr, nullptr)
        != SQLITE_OK) {
        error = std::string("cannot prepare the log database: ") + sqlite3_errmsg(service->database);
        return nullptr;
    }
    const char* schema = "CREATE TABLE IF NOT EXISTS records ("
                         " id INTEGER PRIMARY KEY,"
                         " received TEXT NOT NULL, logtype INTEGER NOT NULL, projectid TEXT NOT NULL,"
                         " projectname TEXT NOT NULL, logmsg TEXT NOT NULL, signer TEXT NOT NULL,"
                         " plaintext TEXT NOT NULL, signeddata TEXT NOT NULL)";
    if (sqlite3_exec(service->database, schema, nullptr, nullptr, nullptr) != SQLITE_OK) {
        error = std::string("cannot prepare the log database: ") + sqlite3_errmsg(service->database);
        return nullptr;
    }
    // A database made before records had ids gets the columns; adding one that is there fails
    // harmlessly.
    sqlite3_exec(
        service->database, "ALTER TABLE records ADD COLUMN recordid TEXT", nullptr, nullptr, nullptr);
    sqlite3_exec(service->database, "ALTER TABLE records ADD COLUMN resent INTEGER NOT NULL DEFAULT 0",
        nullptr, nullptr, nullptr);
    if (sqlite3_exec(service->database,
            "CREATE UNIQUE INDEX IF NOT EXISTS records_recordid ON records (recordid)", nullptr, nullptr,
            nullptr)
        != SQLITE_OK) {
        error = std::string("cannot prepare the log database: ") + sqlite3_errmsg(service->database);
        return nullptr;
    }
    if (sqlite3_prepare_v2(service->database, "SELECT plaintext FROM records WHERE recordid = ?", -1,
            &service->lookupById, nullptr)
            != SQLITE_OK
        || sqlite3_prepare_v2(service->database,
               "INSERT INTO records (received, logtype, projectid, projectname, logmsg, signer,"
               " plaintext, signeddata, recordid, resent) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
               -1, &service->insertRecord, nullptr)
            != SQLITE_OK) {
        error = std::string("cannot prepare the log database: ") + sqlite3_errmsg(service->database);
        return nullptr;
    }
    if (!caPem.empty()) {
        service->trust = X509_STORE_new();
        if (!service->trust || X509_STORE_load_file(service->trust, caPem.c_str()) != 1) {
            error = "cannot read the CA certificate " + caPem.string() + ": " + OpenSslError();
            return nullptr;
        }
    }
    return service;
}

CLogService::~CLogService()
{
    sqlite3_finalize(lookupById);
    sqlite3_finalize(insertRecord);
    sqlite3_close(database);
    X509_STORE_free(trust);
}

CLogService::Verdict CLogService::Submit(std::string_view body)
{
    const auto fields = ParseFormBody(body);
    if (!fields)
        return { false, "the body is not a well-formed form" };
    const auto plainText = fields->find("plainText");
    const auto signedData = fields->find("signedData");
    const auto resent = fields->find("resent");
    const bool isResent = resent != fields->end();
    if (plainText == fields->end() || signedData == fields->end() || fields->size() != (isResent ? 3u : 2u)
        || (isResent && resent->second != "1"))
        return { false,
            "the body must hold exactly plainText and signedData, and resent=1 for a record sent again" };

    const auto der = DecodeBase64(signedData->second);
    if (!der)
        return { false, "signedData is not Base64" };
    BioPtr derBio(BIO_new_mem_buf(der->data(), static_cast<int>(der->size())));
    CmsPtr cms(derBio ? d2i_CMS_bio(derBio.get(), nullptr) : nullptr);
    if (!cms || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) {
        ERR_clear_error();
        return { false, "signedData is not a CMS SignedData" };
    }

    // The content travels inside the signature; a detached signature is checked against the
    // plain text instead. Either way the signed bytes must be the plain text exactly.
    const bool detached = CMS_is_detached(cms.get()) == 1;
    BioPtr content(detached
            ? BIO_new_mem_buf(plainText->second.data(), static_cast<int>(plainText->second.size()))
            : nullptr);
    BioPtr signedContent(BIO_new(BIO_s_mem()));
    // A chain verified in the last minute is not verified again; the signature always is.
    const std::string chain = CertificatesDigest(cms.get());
    const auto now = std::chrono::steady_clock::now();
    bool chainKnown = false;
    if (trust != nullptr && !chain.empty()) {
        const std::lock_guard lock(chainsMutex);
        const auto it = verifiedChains.find(chain);
        chainKnown = it != verifiedChains.end() && now - it->second < std::chrono::minutes(1);
    }
    const unsigned flags = CMS_BINARY
        | (trust == nullptr || chainKnown ? static_cast<unsigned>(CMS_NO_SIGNER_CERT_VERIFY) : 0u);
    if (!signedContent
        || CMS_verify(cms.get(), nullptr, trust, content.get(), signedContent.get(), flags) != 1)
        return { false, "the signature does not verify: " + OpenSslError() };
    if (trust != nullptr && !chainKnown && !chain.empty()) {
        const std::lock_guard lock(chainsMutex);
        if (verifiedChains.size() >= 64)
            verifiedChains.clear();
        verifiedChains[chain] = now;
    }
    char* bytes = nullptr;
    const long length = BIO_get_mem_data(signedContent.get(), &bytes);
    if (std::string_view(bytes, static_cast<size_t>(length)) != plainText->second)
        return { false, "the signed content differs from the plain text" };

    // CMS_get0_signers lends its certificates in a stack of our own: free only the stack.
    STACK_OF(X509)* signers = CMS_get0_signers(cms.get());
    const bool oneSigner = signers && sk_X509_num(signers) == 1;
    const std::string signer = oneSigner ? CommonName(sk_X509_value(signers, 0)) : std::string();
    sk_X509_free(signers);
    if (!oneSigner)
        return { false, "the record must have exactly one signer" };

    nlohmann::ordered_json json;
    try {
        json = nlohmann::ordered_json::parse(plainText->second);
    } catch (const nlohmann::json::exception&) {
        return { false, "the plain text is not JSON" };
    }
    static const std::vector<std::string> kMembers { "logtype", "projectid", "projectname", "logmsg" };
    std::vector<std::string> members;
    if (json.is_object()) {
        for (const auto& item : json.items())
            members.push_back(item.key());
    }
    const bool hasId = members.size() == kMembers.size() + 1 && members.back() == "recordid";
    if (hasId)
        members.pop_back();
    if (members != kMembers || !json["logtype"].is_number_integer() || !json["projectid"].is_string()
        || !json["projectname"].is_string() || !json["logmsg"].is_string())
        return { false,
            "the plain text is not an operation record with logtype, projectid, projectname, logmsg" };
    if (hasId && (!json["recordid"].is_string() || !IsRecordId(json["recordid"].get<std::string>())))
        return { false, "recordid is not 32 lower-case hexadecimal digits" };

    CStoredLogRecord record;
    record.received = CDevClock::FormatUtc(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
    record.logType = json["logtype"].get<int64_t>();
    record.projectId = json["projectid"].get<std::string>();
    record.projectName = json["projectname"].get<std::string>();
    record.message = json["logmsg"].get<std::string>();
    record.signer = signer;
    record.recordId = hasId ? json["recordid"].get<std::string>() : std::string();
    record.resent = isResent;
    return Store(record, plainText->second, signedData->second);
}

CLogService::Verdict CLogService::Store(
    const CStoredLogRecord& record, std::string_view plainText, std::string_view signedData)
{
    std::lock_guard lock(mutex);
    // The kept statements are left reset and without bindings for the next record.
    const auto done = [](sqlite3_stmt* statement) {
        sqlite3_reset(statement);
        sqlite3_clear_bindings(statement);
    };
    if (!record.recordId.empty()) {
        // The same record again is answered as stored; another one under its id is not taken.
        const std::unique_ptr<sqlite3_stmt, decltype(done)> lookup(lookupById, done);
        sqlite3_bind_text(lookupById, 1, record.recordId.data(), static_cast<int>(record.recordId.size()),
            SQLITE_TRANSIENT);
        if (sqlite3_step(lookupById) == SQLITE_ROW) {
            const auto* stored = reinterpret_cast<const char*>(sqlite3_column_text(lookupById, 0));
            const std::string_view storedText(
                stored ? stored : "", static_cast<size_t>(sqlite3_column_bytes(lookupById, 0)));
            if (storedText != plainText)
                return { false, "another record with this recordid is stored" };
            return { true, "stored before" };
        }
    }
    sqlite3_stmt* raw = insertRecord;
    const std::unique_ptr<sqlite3_stmt, decltype(done)> statement(raw, done);
    auto text = [&](int index, std::string_view value) {
        sqlite3_bind_text(raw, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    };
    text(1, record.received);
    sqlite3_bind_int64(raw, 2, record.logType);
    text(3, record.projectId);
    text(4, record.projectName);
    text(5, record.message);
    text(6, record.signer);
    text(7, plainText);
    text(8, signedData);
    if (record.recordId.empty())
        sqlite3_bind_null(raw, 9);
    else
        text(9, record.recordId);
    sqlite3_bind_int(raw, 10, record.resent ? 1 : 0);
    if (sqlite3_step(raw) != SQLITE_DONE)
        return { false, std::string("cannot store: ") + sqlite3_errmsg(database) };
    return { true, {} };
}

std::vector<CStoredLogRecord> CLogService::Records() const
{
    std::lock_guard lock(mutex);
    std::vector<CStoredLogRecord> records;
    sqlite3_stmt* raw = nullptr;
    const char* select
        = "SELECT id, received, logtype, projectid, projectname, logmsg, signer, recordid, resent"
          " FROM records ORDER BY id";
    if (sqlite3_prepare_v2(database, select, -1, &raw, nullptr) != SQLITE_OK)
        return records;
    StmtPtr statement(raw);
    auto text = [&](int column) {
        const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(raw, column));
        return bytes ? std::string(bytes, static_cast<size_t>(sqlite3_column_bytes(raw, column)))
                     : std::string();
    };
    while (sqlite3_step(raw) == SQLITE_ROW) {
        records.push_back({ sqlite3_column_int64(raw, 0), text(1), sqlite3_column_int64(raw, 2), text(3),
            text(4), text(5), text(6), text(7), sqlite3_column_int(raw, 8) != 0 });
    }
    return records;
}

void CLogService::Mount(httplib::Server& server)
{
    // Read the body through a content reader: the server's own form parsing stops at 8 KiB.
    server.Post("/log",
        [this](const httplib::Request& request, httplib::Response& response,
            const httplib::ContentReader& reader) {
            std::string body;
            bool tooLarge = false;
            reader([&](const char* data, size_t length) {
                if (body.size() + length > kMaxBody) {
                    tooLarge = true;
                    return false;
                }
                body.append(data, length);
                return true;
            });
            if (tooLarge) {
                response.status = 413;
                response.set_content("record too large\n", "text/plain");
                return;
            }
            const Verdict verdict = Submit(body);
            std::fprintf(stderr, "log %s: %s%s\n", request.remote_addr.c_str(),
                verdict.accepted ? (verdict.reason.empty() ? "accepted" : "accepted, ") : "refused, ",
                verdict.reason.c_str());
            response.status = verdict.accepted ? 200 : 400;
            response.set_content(verdict.accepted ? "OK\n" : verdict.reason + "\n", "text/plain");
        });

    server.Get("/log/records", [this](const httplib::Request&, httplib::Response& response) {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const CStoredLogRecord& record : Records()) {
            list.push_back({ { "id", record.id }, { "received", record.received },
                { "logtype", record.logType }, { "projectid", record.projectId },
                { "projectname", record.projectName }, { "logmsg", record.message },
                { "signer", record.signer }, { "recordid", record.recordId }, { "resent", record.resent } });
        }
        response.set_content(
            list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n", "application/json");
    });
}
