#include "opening/OpeningRecord.h"

#include "CertificateStore.h"
#include "OpenSslPtr.h"
#include "PkiPtr.h"
#include "app/LocalLog.h"
#include "app/TextConversion.h"
#include "app/Utility.h"
#include "app/Version.h"
#include "audit/OperatorSignature.h"
#include "opening/CBidFileHolder.h"
#include "opening/CBidderTrust.h"
#include "opening/COpeningManager.h"
#include "opening/CTimeStampClient.h"
#include "opening/OpeningTime.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using kelvane::BioPtr;
using kelvane::CmsPtr;
using kelvane::OpenSslMemoryPtr;
using kelvane::X509Ptr;
using kelvane::X509StoreCtxPtr;
using kelvane::X509StorePtr;

namespace {

// The record's JSON: std::map keeps the keys sorted, which makes the text canonical.
using Json = nlohmann::json;

// id-aa-timeStampToken, the unsigned attribute of RFC 3161's appendix A.
constexpr char kTimeStampTokenOid[] = "1.2.840.113549.1.9.16.2.14";
constexpr char kRecordPrefix[] = "开标记录-";

using Pkcs7Ptr = kelvane::FreedPtr<PKCS7, PKCS7_free>;
using TstInfoPtr = kelvane::FreedPtr<TS_TST_INFO, TS_TST_INFO_free>;
using ObjectPtr = kelvane::FreedPtr<ASN1_OBJECT, ASN1_OBJECT_free>;

std::string Utf8(const std::wstring& text)
{
    return WideToUtf8(text);
}

std::string Hex(const unsigned char* bytes, size_t size)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

std::vector<unsigned char> CertDer(void* cert)
{
    unsigned char* raw = nullptr;
    int length = 0;
    if (cert == nullptr || QuarnPKICertGetCertEncoded(cert, &raw, &length) != 1)
        return {};
    const kelvane::pki::BytesPtr owned(raw);
    return owned != nullptr ? std::vector<unsigned char>(raw, raw + length) : std::vector<unsigned char>();
}

// The subject as RFC 2253 text with its UTF-8 kept.
std::string SubjectText(const X509_NAME* name)
{
    const BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || name == nullptr
        || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0)
        return {};
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string();
}

X509Ptr ReadCert(const std::vector<unsigned char>& der)
{
    const unsigned char* cursor = der.data();
    return X509Ptr(der.empty() ? nullptr : d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
}

// "YYYY-MM-DDThh:mm:ssZ" of an ASN.1 time, and its seconds since the epoch.
std::optional<std::time_t> AsnSeconds(const ASN1_TIME* time)
{
    std::tm parts {};
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1)
        return std::nullopt;
    return timegm(&parts);
}

std::string IsoUtc(std::time_t seconds)
{
    std::tm parts {};
    gmtime_r(&seconds, &parts);
    char text[32] = {};
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

// What a time-stamp token says: its time, serial and the authority's certificate.
struct CTokenFacts
{
    std::optional<std::time_t> time;
    std::string serial;
    std::string authority;
};

Pkcs7Ptr ReadToken(const unsigned char* der, size_t size)
{
    const unsigned char* cursor = der;
    return Pkcs7Ptr(size == 0 ? nullptr : d2i_PKCS7(nullptr, &cursor, static_cast<long>(size)));
}

CTokenFacts ReadTokenFacts(PKCS7* token)
{
    CTokenFacts facts;
    if (token == nullptr || !PKCS7_type_is_signed(token))
        return facts;
    const TstInfoPtr info(PKCS7_to_TS_TST_INFO(token));
    if (info) {
        facts.time = AsnSeconds(TS_TST_INFO_get_time(info.get()));
        const kelvane::BignumPtr serial(ASN1_INTEGER_to_BN(TS_TST_INFO_get_serial(info.get()), nullptr));
        const OpenSslMemoryPtr<char> text(serial ? BN_bn2hex(serial.get()) : nullptr);
        facts.serial = text != nullptr ? text.get() : "";
    }
    STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(token);
    PKCS7_SIGNER_INFO* signer = signers != nullptr ? sk_PKCS7_SIGNER_INFO_value(signers, 0) : nullptr;
    if (signer != nullptr && token->d.sign->cert != nullptr) {
        X509* cert = X509_find_by_issuer_and_serial(
            token->d.sign->cert, signer->issuer_and_serial->issuer, signer->issuer_and_serial->serial);
        if (cert != nullptr)
            facts.authority = SubjectText(X509_get_subject_name(cert));
    }
    ERR_clear_error();
    return facts;
}

std::optional<std::string> FileSha256(const fs::path& path, std::uintmax_t& size)
{
    std::ifstream in(path, std::ios::binary);
    const kelvane::MdCtxPtr context(EVP_MD_CTX_new());
    if (!in || !context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        return std::nullopt;
    std::vector<char> buffer(1 << 16);
    size = 0;
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const auto got = static_cast<size_t>(in.gcount());
        size += got;
        if (got > 0 && EVP_DigestUpdate(context.get(), buffer.data(), got) != 1)
            return std::nullopt;
    }
    if (in.bad())
        return std::nullopt;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1)
        return std::nullopt;
    return Hex(digest, length);
}

// Writes bytes to a file that appears under name only when whole and synced; never over an
// existing file (EEXIST then). 0 or an errno.
int WriteNew(const std::string& folder, const std::string& name, const std::string& bytes)
{
    // An unnamed file in the folder, linked under its name at the end: a crash leaves nothing.
    int fd = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
    std::string temporary;
    if (fd < 0) {
        temporary = folder + "/.kelvane-record-XXXXXX";
        fd = mkstemp(temporary.data());
        if (fd < 0)
            return errno;
        fchmod(fd, 0644);
    }
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t result = write(fd, bytes.data() + written, bytes.size() - written);
        if (result < 0 && errno == EINTR)
            continue;
        if (result <= 0)
            break;
        written += static_cast<size_t>(result);
    }
    int error = written == bytes.size() && fsync(fd) == 0 ? 0 : (errno != 0 ? errno : EIO);
    const std::string target = folder + "/" + name;
    if (error == 0) {
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        const int linked = temporary.empty()
            ? linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW)
            : link(temporary.c_str(), target.c_str());
        error = linked == 0 ? 0 : errno;
    }
    close(fd);
    if (!temporary.empty())
        unlink(temporary.c_str());
    return error;
}

void SyncFolder(const std::string& folder)
{
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

std::vector<unsigned char> DecodeBase64(const std::string& text)
{
    std::vector<unsigned char> bytes(text.size() / 4 * 3 + 3);
    const int length = EVP_DecodeBlock(
        bytes.data(), reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (length < 0)
        return {};
    size_t padding = 0;
    for (auto it = text.rbegin(); it != text.rend() && *it == '='; ++it)
        ++padding;
    bytes.resize(static_cast<size_t>(length) - std::min(padding, static_cast<size_t>(length)));
    return bytes;
}

CmsPtr ReadCms(const std::vector<unsigned char>& der)
{
    const unsigned char* cursor = der.data();
    return CmsPtr(
        der.empty() ? nullptr : d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(der.size())));
}

CMS_SignerInfo* FirstSigner(CMS_ContentInfo* cms)
{
    STACK_OF(CMS_SignerInfo)* signers = cms != nullptr ? CMS_get0_SignerInfos(cms) : nullptr;
    return signers != nullptr && sk_CMS_SignerInfo_num(signers) > 0 ? sk_CMS_SignerInfo_value(signers, 0)
                                                                    : nullptr;
}

std::optional<std::string> ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

X509StorePtr NewStore(const std::string& file)
{
    X509StorePtr store(X509_STORE_new());
    if (!store)
        return store;
    if (file.empty())
        kelvane::AddSystemCertificates(store.get());
    else
        kelvane::AddCertificateFile(store.get(), file);
    return store;
}

std::string OpenSslReason()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return "no further reason";
    char text[256] = {};
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

} // namespace

const char* BidStatusName(BidStatus status)
{
    switch (status) {
    case BidStatus::Ready:
        return "not_opened";
    case BidStatus::Decrypting:
        return "decrypting";
    case BidStatus::Decrypted:
        return "decrypted";
    case BidStatus::Destroyed:
        return "damaged";
    case BidStatus::DecryptCancelled:
        return "conditions_not_met";
    case BidStatus::DecryptFailed:
        return "decrypt_failed";
    }
    return "unknown";
}

const char* OpeningEndName(COpeningEnd end)
{
    switch (end) {
    case COpeningEnd::NotRun:
        return "not_run";
    case COpeningEnd::RulesNotFetched:
        return "rules_not_fetched";
    case COpeningEnd::NoTimeStamp:
        return "no_time_stamp";
    case COpeningEnd::NoOpeningTime:
        return "no_opening_time";
    case COpeningEnd::OpeningTimeNotYet:
        return "opening_time_not_yet";
    case COpeningEnd::NoOpenerCerts:
        return "no_opener_certificates";
    case COpeningEnd::NoFileVerified:
        return "no_file_verified";
    case COpeningEnd::Cancelled:
        return "cancelled";
    case COpeningEnd::Completed:
        return "completed";
    case COpeningEnd::Aborted:
        return "aborted";
    }
    return "unknown";
}

std::string IsoLocalTime(std::time_t moment)
{
    std::tm local {};
    localtime_r(&moment, &local);
    char text[40] = {};
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    std::string iso = text;
    const long offset = local.tm_gmtoff;
    if (offset == 0)
        return iso + "Z";
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    std::snprintf(text, sizeof text, "%c%02ld:%02ld", offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return iso + text;
}

std::string IsoBeijingTime(std::int64_t wallClockSeconds)
{
    return Utf8(FormatWallClock(wallClockSeconds, "%Y-%m-%dT%H:%M:%S+08:00"));
}

std::string Sha256Hex(const void* data, std::size_t size)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data, size, digest, &length, EVP_sha256(), nullptr) != 1)
        return {};
    return Hex(digest, length);
}

void COpeningRecord::SetTimeStamp(const std::vector<unsigned char>& token, std::int64_t beijingSeconds)
{
    timeStampToken = token;
    timeStampTime = beijingSeconds;
}

void COpeningRecord::SetOperator(void* cert)
{
    operatorCert = CertDer(cert);
}

void COpeningRecord::AddRulesOpener(void* cert)
{
    std::string name;
    kelvane::pki::GetCertText(cert, QUARNPKI_CERT_COMMON_NAME, name);
    const std::vector<unsigned char> der = CertDer(cert);
    rulesOpeners.push_back({ Utf8ToWide(name), Sha256Hex(der.data(), der.size()) });
}

void COpeningRecord::AddBid(const CBidFileHolder& holder, const std::wstring& decryptedFolder)
{
    CBid bid;
    bid.fileName = holder.GetFileName();
    bid.verifyCode = holder.Checks().VerifyCode();
    bid.signer = holder.GetSignerName();
    bid.company = holder.GetSignerOrg();
    bid.status = holder.Checks().List().empty() ? "not_reached" : BidStatusName(holder.GetBidStatus());
    bid.reason = holder.Checks().Reason();
    bid.embeddedOpeningTime = holder.GetEmbeddedOpenTime();
    for (int k = 0; k < holder.GetOpenerCount(); ++k) {
        const std::vector<unsigned char> der = CertDer(holder.GetOpenerCert(k));
        bid.openers.push_back({ holder.GetOpenerName(k), Sha256Hex(der.data(), der.size()) });
    }
    if (!decryptedFolder.empty()) {
        const fs::path folder(Utf8(decryptedFolder));
        const fs::path open = folder.parent_path();
        std::error_code error;
        for (auto it = fs::recursive_directory_iterator(folder, error);
             !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
            if (!it->is_regular_file(error) || it->is_symlink(error))
                continue;
            CBid::CFile file;
            file.path = it->path().lexically_relative(open).generic_string();
            if (const auto digest = FileSha256(it->path(), file.size))
                file.sha256 = *digest;
            bid.files.push_back(std::move(file));
        }
        std::sort(bid.files.begin(), bid.files.end(),
            [](const CBid::CFile& a, const CBid::CFile& b) { return a.path < b.path; });
    }
    bids.push_back(std::move(bid));
}

void COpeningRecord::SetEnd(COpeningEnd how)
{
    end = OpeningEndName(how);
}

std::string COpeningRecord::ToJson(std::time_t finishedAt) const
{
    Json document = Json::object();
    const auto text = [](Json& object, const char* key, const std::wstring& value) {
        if (!value.empty())
            object[key] = Utf8(value);
    };
    document["format"] = 1;
    document["program"] = { { "name", "Kelvane" }, { "version", kKelvaneVersion } };
    document["started"] = IsoLocalTime(started);
    document["finished"] = IsoLocalTime(finishedAt);
    if (!end.empty())
        document["outcome"] = end;
    Json project = Json::object();
    if (!projectNumber.empty())
        project["number"] = projectNumber;
    if (!projectName.empty())
        project["name"] = projectName;
    document["project"] = project;
    const std::string folder = Utf8(packageFolder);
    const fs::path package = fs::path(folder).parent_path().filename();
    if (!package.empty())
        document["package"] = package.string();
    text(document, "opening_organisation", openOrg);
    if (servedOpeningTime)
        document["opening_time"] = IsoBeijingTime(*servedOpeningTime);
    if (!timeStampToken.empty()) {
        const Pkcs7Ptr token = ReadToken(timeStampToken.data(), timeStampToken.size());
        const CTokenFacts facts = ReadTokenFacts(token.get());
        Json stamp = Json::object();
        if (facts.time)
            stamp["time"] = IsoUtc(*facts.time);
        if (!facts.serial.empty())
            stamp["serial"] = facts.serial;
        if (!facts.authority.empty())
            stamp["authority"] = facts.authority;
        stamp["sha256"] = Sha256Hex(timeStampToken.data(), timeStampToken.size());
        document["time_stamp"] = stamp;
    }
    if (const X509Ptr cert = ReadCert(operatorCert)) {
        document["operator"] = { { "subject", SubjectText(X509_get_subject_name(cert.get())) },
            { "sha256", Sha256Hex(operatorCert.data(), operatorCert.size()) } };
    }

    Json list = Json::array();
    std::map<std::string, Json> present; // the openers who contributed, by fingerprint
    std::map<std::string, int> counts;
    for (const CBid& bid : bids) {
        Json item = Json::object();
        item["file"] = Utf8(bid.fileName);
        text(item, "verification_code", bid.verifyCode);
        text(item, "signer", bid.signer);
        text(item, "company", bid.company);
        item["status"] = bid.status;
        text(item, "reason", bid.reason);
        if (bid.embeddedOpeningTime)
            item["opening_time"] = IsoBeijingTime(*bid.embeddedOpeningTime);
        Json openers = Json::array();
        for (const COpener& opener : bid.openers) {
            const Json one = { { "name", Utf8(opener.name) }, { "sha256", opener.fingerprint } };
            openers.push_back(one);
            present[opener.fingerprint] = one;
        }
        item["openers"] = openers;
        if (!bid.files.empty()) {
            Json files = Json::array();
            for (const CBid::CFile& file : bid.files)
                files.push_back({ { "path", file.path }, { "size", file.size }, { "sha256", file.sha256 } });
            item["decrypted_files"] = files;
        }
        ++counts[bid.status];
        list.push_back(std::move(item));
    }
    document["bids"] = list;
    Json openers = Json::array();
    for (const auto& [fingerprint, opener] : present)
        openers.push_back(opener);
    document["openers_present"] = openers;
    if (!rulesOpeners.empty()) {
        Json named = Json::array();
        for (const COpener& opener : rulesOpeners)
            named.push_back({ { "name", Utf8(opener.name) }, { "sha256", opener.fingerprint },
                { "contributed", present.count(opener.fingerprint) == 1 } });
        document["openers"] = named;
    }
    Json countObject = Json::object();
    countObject["bids"] = bids.size();
    for (const auto& [status, count] : counts)
        countObject[status] = count;
    document["counts"] = countObject;
    // A name that is no UTF-8 is kept readable with U+FFFD rather than ending the run.
    return document.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::vector<unsigned char> SignatureValue(const std::vector<unsigned char>& signature)
{
    const CmsPtr cms = ReadCms(signature);
    CMS_SignerInfo* signer = FirstSigner(cms.get());
    ASN1_OCTET_STRING* value = signer != nullptr ? CMS_SignerInfo_get0_signature(signer) : nullptr;
    ERR_clear_error();
    if (value == nullptr)
        return {};
    const unsigned char* data = ASN1_STRING_get0_data(value);
    return std::vector<unsigned char>(data, data + ASN1_STRING_length(value));
}

bool AttachTimeStampToken(std::vector<unsigned char>& signature, const std::vector<unsigned char>& token)
{
    const CmsPtr cms = ReadCms(signature);
    CMS_SignerInfo* signer = FirstSigner(cms.get());
    const ObjectPtr oid(OBJ_txt2obj(kTimeStampTokenOid, 1));
    bool attached = signer != nullptr && oid && !token.empty()
        && CMS_unsigned_add1_attr_by_OBJ(
               signer, oid.get(), V_ASN1_SEQUENCE, token.data(), static_cast<int>(token.size()))
            == 1;
    unsigned char* der = nullptr;
    const int length = attached ? i2d_CMS_ContentInfo(cms.get(), &der) : -1;
    const OpenSslMemoryPtr<unsigned char> owned(der);
    attached = length > 0;
    if (attached)
        signature.assign(der, der + length);
    ERR_clear_error();
    return attached;
}

namespace {
std::atomic<RecordPrinter> recordPrinter { nullptr };
} // namespace

void SetRecordPrinter(RecordPrinter printer)
{
    recordPrinter.store(printer);
}

CRecordFiles WriteOpeningRecord(const COpeningRecord& record, std::time_t finishedAt)
{
    CRecordFiles written;
    const std::string json = record.ToJson(finishedAt);
    written.sha256 = Sha256Hex(json.data(), json.size());

    std::vector<unsigned char> signature;
    std::string stampTime;
    if (const kelvane::pki::CertPtr cert(CopyOperatorCert()); cert == nullptr) {
        written.problem = L"没有操作人的证书，开标记录未签名";
    } else if (std::string base64; SignOperatorData(false, json, cert.get(), base64) != 1
               || (signature = DecodeBase64(base64)).empty()) {
        written.problem = L"操作人签名失败，开标记录未签名";
    } else {
        const std::vector<unsigned char> value = SignatureValue(signature);
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        std::vector<unsigned char> token;
        CTimeStampClient authorities;
        if (value.empty()
            || EVP_Digest(value.data(), value.size(), digest, &length, EVP_sha256(), nullptr) != 1
            || authorities.GetTimeStampToken(std::vector<unsigned char>(digest, digest + length), token) != 1
            || !AttachTimeStampToken(signature, token)) {
            written.problem = L"开标记录的签名未能加盖时间戳：" + Utf8ToWide(authorities.Failure());
        } else if (const Pkcs7Ptr stamp = ReadToken(token.data(), token.size());
                   const auto time = ReadTokenFacts(stamp.get()).time) {
            stampTime = IsoUtc(*time);
        }
    }
    // The printed record is made before any file is written: a printer that fails leaves the
    // signed record as it is.
    std::string pdf;
    std::wstring printProblem;
    if (const RecordPrinter printer = recordPrinter.load(); printer != nullptr) {
        try {
            pdf = printer({ json, written.sha256, stampTime }, printProblem);
        } catch (const std::exception& failure) {
            pdf.clear();
            printProblem = Utf8ToWide(failure.what());
        }
        if (pdf.empty() && printProblem.empty())
            printProblem = L"没有内容";
    }

    const std::string folder = Utf8(record.PackageFolder());
    const std::string trimmed
        = folder.size() > 1 && folder.back() == '/' ? folder.substr(0, folder.size() - 1) : folder;
    std::tm local {};
    localtime_r(&finishedAt, &local);
    char stamp[20] = {};
    std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &local);
    const Json document = Json::parse(json, nullptr, false);
    const std::string project = document.is_object() ? document["project"].value("number", "") : "";
    const std::string package = document.is_object() ? document.value("package", "") : "";
    const std::string base = kRecordPrefix + project + "-" + package + "-" + stamp;
    const std::string p7s(signature.begin(), signature.end());
    for (int attempt = 1; attempt < 1000; ++attempt) {
        const std::string name = base + (attempt == 1 ? "" : "-" + std::to_string(attempt));
        // Every name must be free: a .p7s or .pdf is never replaced either.
        if (fs::exists(trimmed + "/" + name + ".p7s") || fs::exists(trimmed + "/" + name + ".pdf"))
            continue;
        const int error = WriteNew(trimmed, name + ".json", json);
        if (error == EEXIST)
            continue;
        if (error != 0) {
            written.problem = L"开标记录未能写入：" + Utf8ToWide(trimmed + "/" + name + ".json: ")
                + Utf8ToWide(std::strerror(error));
            break;
        }
        written.json = Utf8ToWide(trimmed + "/" + name + ".json");
        if (!signature.empty()) {
            if (const int signError = WriteNew(trimmed, name + ".p7s", p7s); signError == 0)
                written.signature = Utf8ToWide(trimmed + "/" + name + ".p7s");
            else
                written.problem = L"开标记录的签名未能写入：" + Utf8ToWide(std::strerror(signError));
        }
        if (!pdf.empty()) {
            if (const int printError = WriteNew(trimmed, name + ".pdf", pdf); printError == 0)
                written.pdf = Utf8ToWide(trimmed + "/" + name + ".pdf");
            else
                printProblem = Utf8ToWide(std::strerror(printError));
        }
        SyncFolder(trimmed);
        break;
    }
    if (!printProblem.empty() && !written.json.empty()) {
        written.problem += (written.problem.empty() ? L"" : L"；")
            + std::wstring(L"开标记录的 PDF 未能写入：") + printProblem;
    }
    if (!written.problem.empty())
        WriteLocalLog(1, "opening record: %s\n", Utf8(written.problem).c_str());
    return written;
}

CRecordAnchors WorkstationAnchors()
{
    CRecordAnchors anchors;
    anchors.operatorAnchors = BidderAnchorFile();
    const auto isFile = [](const std::string& path) {
        struct stat status
        {
        };
        return !path.empty() && stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
    };
    if (const char* named = std::getenv("KELVANE_TSA_CA"); named != nullptr && isFile(named)) {
        anchors.timeStampAnchors = named;
    } else if (const std::wstring settings = GetAppDataDir(); !settings.empty()) {
        const std::string file = Utf8(settings) + "/tsa-ca.pem";
        if (isFile(file))
            anchors.timeStampAnchors = file;
    }
    return anchors;
}

std::vector<CRecordCheck> VerifyOpeningRecord(
    const std::string& jsonPath, bool files, const CRecordAnchors& anchors)
{
    std::vector<CRecordCheck> checks;
    const auto add = [&checks](const std::string& name, bool passed, const std::string& detail) {
        checks.push_back({ name, passed, detail });
        return passed;
    };
    const std::string stem = jsonPath.size() > 5 && jsonPath.ends_with(".json")
        ? jsonPath.substr(0, jsonPath.size() - 5)
        : jsonPath;
    const auto json = ReadWholeFile(jsonPath);
    const auto p7s = ReadWholeFile(stem + ".p7s");
    const Json document = json ? Json::parse(*json, nullptr, false) : Json();
    if (!add("record", json && p7s && document.is_object(),
            !json                       ? "cannot read " + jsonPath
                : !p7s                  ? "cannot read " + stem + ".p7s"
                : !document.is_object() ? "the record is no JSON object"
                                        : jsonPath))
        return checks;

    // The signature over the JSON's bytes, by the operator the record names.
    const std::vector<unsigned char> der(p7s->begin(), p7s->end());
    const CmsPtr cms = ReadCms(der);
    const BioPtr content(BIO_new_mem_buf(json->data(), static_cast<int>(json->size())));
    const bool verified = cms && content
        && CMS_verify(
               cms.get(), nullptr, nullptr, content.get(), nullptr, CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY)
            == 1;
    // The signer's certificate among those the signature carries, whether the signature holds or not.
    CMS_SignerInfo* signer = FirstSigner(cms.get());
    const kelvane::X509StackOwningPtr carried(cms ? CMS_get1_certs(cms.get()) : nullptr);
    X509* signerCert = nullptr;
    for (int i = 0; signer != nullptr && carried && i < sk_X509_num(carried.get()) && signerCert == nullptr;
         ++i) {
        if (CMS_SignerInfo_cert_cmp(signer, sk_X509_value(carried.get(), i)) == 0)
            signerCert = sk_X509_value(carried.get(), i);
    }
    std::string signerFingerprint;
    unsigned char* certDer = nullptr;
    const int certLength = signerCert != nullptr ? i2d_X509(signerCert, &certDer) : -1;
    const OpenSslMemoryPtr<unsigned char> ownedDer(certDer);
    if (certLength > 0)
        signerFingerprint = Sha256Hex(certDer, static_cast<size_t>(certLength));
    const std::string named
        = document.contains("operator") ? document["operator"].value("sha256", "") : std::string();
    if (!verified)
        add("signature", false, "the signature does not verify over the record: " + OpenSslReason());
    else if (signerFingerprint.empty() || signerFingerprint != named)
        add("signature", false, "the signer is not the operator the record names");
    else
        add("signature", true, "signed by " + SubjectText(X509_get_subject_name(signerCert)));

    // The time-stamp over the signature value.
    std::optional<std::time_t> stampTime;
    const ObjectPtr oid(OBJ_txt2obj(kTimeStampTokenOid, 1));
    const int at = signer != nullptr && oid ? CMS_unsigned_get_attr_by_OBJ(signer, oid.get(), -1) : -1;
    const ASN1_TYPE* attribute
        = at >= 0 ? X509_ATTRIBUTE_get0_type(CMS_unsigned_get_attr(signer, at), 0) : nullptr;
    if (attribute == nullptr || attribute->type != V_ASN1_SEQUENCE) {
        add("time-stamp", false, "the signature carries no time-stamp token");
    } else {
        const ASN1_STRING* sequence = attribute->value.sequence;
        const Pkcs7Ptr token
            = ReadToken(ASN1_STRING_get0_data(sequence), static_cast<size_t>(ASN1_STRING_length(sequence)));
        const CTokenFacts facts = ReadTokenFacts(token.get());
        const std::vector<unsigned char> value = SignatureValue(der);
        X509StorePtr store = NewStore(anchors.timeStampAnchors);
        // The authority's certificate is judged at the time it stamped, so an old record still verifies.
        if (store && facts.time)
            X509_VERIFY_PARAM_set_time(X509_STORE_get0_param(store.get()), *facts.time);
        const kelvane::TsVerifyCtxPtr context(TS_VERIFY_CTX_new());
        bool stamped = false;
        if (token && context && store && !value.empty()) {
            TS_VERIFY_CTX_set_flags(context.get(), TS_VFY_VERSION | TS_VFY_SIGNATURE | TS_VFY_DATA);
            TS_VERIFY_CTX_set_data(
                context.get(), BIO_new_mem_buf(value.data(), static_cast<int>(value.size())));
            TS_VERIFY_CTX_set_store(context.get(), store.release());
            stamped = TS_RESP_verify_token(context.get(), token.get()) == 1;
        }
        if (stamped) {
            stampTime = facts.time;
            add("time-stamp", true,
                "stamped " + (facts.time ? IsoUtc(*facts.time) : std::string("?")) + " by " + facts.authority
                    + " (serial " + facts.serial + ")");
        } else {
            add("time-stamp", false,
                "the time-stamp token does not verify over the signature: " + OpenSslReason());
        }
    }

    // The operator's certificate chains to the anchors at the time-stamp's time (else now).
    if (signerCert == nullptr) {
        add("operator chain", false, "no signer certificate to check");
    } else {
        const X509StorePtr store = NewStore(anchors.operatorAnchors);
        const X509StoreCtxPtr context(X509_STORE_CTX_new());
        bool chained = false;
        if (store && context
            && X509_STORE_CTX_init(context.get(), store.get(), signerCert, carried.get()) == 1) {
            if (stampTime)
                X509_STORE_CTX_set_time(context.get(), 0, *stampTime);
            chained = X509_verify_cert(context.get()) == 1;
            add("operator chain", chained,
                chained ? "chains to "
                        + (anchors.operatorAnchors.empty() ? "the system store" : anchors.operatorAnchors)
                        : std::string("the operator's certificate does not chain to the anchors: ")
                        + X509_verify_cert_error_string(X509_STORE_CTX_get_error(context.get())));
        } else {
            add("operator chain", false, "the anchors cannot be read");
        }
    }

    if (files) {
        const fs::path open = fs::path(jsonPath).parent_path() / "Open";
        for (const Json& bid : document.value("bids", Json::array())) {
            for (const Json& file : bid.value("decrypted_files", Json::array())) {
                const std::string path = file.value("path", "");
                std::uintmax_t size = 0;
                // A path that climbs out of Open/ names no decrypted file.
                const fs::path relative(path);
                const bool inside = !path.empty() && relative.is_relative()
                    && std::none_of(
                        relative.begin(), relative.end(), [](const fs::path& part) { return part == ".."; });
                const auto digest = inside ? FileSha256(open / relative, size) : std::nullopt;
                if (!digest)
                    add("file Open/" + path, false, "missing or unreadable");
                else if (size != file.value("size", std::uintmax_t { 0 }))
                    add("file Open/" + path, false,
                        "size " + std::to_string(size) + ", recorded "
                            + std::to_string(file.value("size", std::uintmax_t { 0 })));
                else if (*digest != file.value("sha256", ""))
                    add("file Open/" + path, false, "SHA-256 differs from the recorded one");
                else
                    add("file Open/" + path, true, std::to_string(size) + " bytes, SHA-256 as recorded");
            }
        }
    }
    ERR_clear_error();
    return checks;
}
