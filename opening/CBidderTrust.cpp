#include "opening/CBidderTrust.h"

#include "CertificateStore.h"
#include "OpenSslPtr.h"
#include "RegularFile.h"
#include "app/TextConversion.h"
#include "app/Utility.h"

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

namespace {

using kelvane::BioPtr;
using kelvane::OpenSslMemoryPtr;
using kelvane::X509Ptr;
using kelvane::X509StoreCtxPtr;
using kelvane::X509StorePtr;

constexpr char kAnchorFileName[] = "bidder-ca.pem";

bool IsFile(const std::string& path)
{
    std::error_code ignored;
    return !path.empty() && std::filesystem::is_regular_file(path, ignored);
}

X509StorePtr NewAnchors(const std::string& file)
{
    X509StorePtr store(X509_STORE_new());
    if (!store)
        return nullptr;
    // An anchor file that cannot be read or holds no certificate leaves the store empty, and then
    // no bidder is trusted: it must not open the system store instead.
    if (!file.empty())
        kelvane::AddCertificateFile(store.get(), file);
    else
        kelvane::AddSystemCertificates(store.get());
    return store;
}

// An opening checks every bid's signer against the anchors: they are read once and kept while
// their file stays the same (device, inode, size and times). A file changed in its last two
// seconds is read each time, since file times advance in coarse steps.
X509StorePtr Anchors()
{
    static std::mutex mutex;
    static std::string keptFile;
    static struct stat keptStatus
    {
    };
    // Never destroyed: OpenSSL may be cleaned up before static objects at exit.
    static X509StorePtr& kept = *new X509StorePtr;

    const std::string file = BidderAnchorFile();
    struct stat status
    {
    };
    const bool known = file.empty() || stat(file.c_str(), &status) == 0;
    const std::lock_guard lock(mutex);
    if (kept && known && file == keptFile && (file.empty() || kelvane::SameFileStatus(status, keptStatus))
        && X509_STORE_up_ref(kept.get()) == 1)
        return X509StorePtr(kept.get());
    X509StorePtr store = NewAnchors(file);
    const bool settled = file.empty() || (known && kelvane::HasSettled(status, std::time(nullptr)));
    if (store && settled && X509_STORE_up_ref(store.get()) == 1) {
        kept.reset(store.get());
        keptFile = file;
        keptStatus = status;
    }
    return store;
}

std::wstring SubjectName(X509* cert)
{
    const X509_NAME* subject = X509_get_subject_name(cert);
    const int at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    const X509_NAME_ENTRY* entry = at >= 0 ? X509_NAME_get_entry(subject, at) : nullptr;
    unsigned char* utf8 = nullptr;
    const int length = entry != nullptr ? ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry)) : -1;
    const OpenSslMemoryPtr<unsigned char> owned(utf8);
    return length > 0 ? Utf8ToWide(std::string(reinterpret_cast<const char*>(utf8), length)) : L"";
}

std::wstring TimeText(const ASN1_TIME* time)
{
    std::tm parts {};
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1)
        return {};
    char text[32] = {};
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return Utf8ToWide(text);
}

// Chains the certificate to the anchors at the present time; 0 or OpenSSL's verify error, with
// the certificate of the chain that failed.
int VerifyChain(X509* cert, X509*& failed)
{
    failed = cert;
    const X509StorePtr anchors = Anchors();
    const X509StoreCtxPtr context(X509_STORE_CTX_new());
    if (!anchors || !context || X509_STORE_CTX_init(context.get(), anchors.get(), cert, nullptr) != 1)
        return X509_V_ERR_OUT_OF_MEM;
    if (X509_verify_cert(context.get()) == 1)
        return X509_V_OK;
    const int error = X509_STORE_CTX_get_error(context.get());
    if (X509* current = X509_STORE_CTX_get_current_cert(context.get());
        current != nullptr && current != cert) {
        X509_up_ref(current);
        failed = current;
    }
    return error != X509_V_OK ? error : X509_V_ERR_UNSPECIFIED;
}

std::wstring ChainReason(int error, X509* cert, X509* failed)
{
    const std::wstring whose = failed == cert ? std::wstring() : L"（颁发者 " + SubjectName(failed) + L"）";
    switch (error) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return L"签名证书已过期" + whose + L"：有效期至 " + TimeText(X509_get0_notAfter(failed));
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return L"签名证书尚未生效" + whose + L"：有效期自 " + TimeText(X509_get0_notBefore(failed));
    default:
        return L"签名证书不受信任：" + Utf8ToWide(X509_verify_cert_error_string(error));
    }
}

} // namespace

std::string BidderAnchorFile()
{
    const std::wstring settings = GetAppDataDir();
    if (!settings.empty()) {
        const std::string file = WideToUtf8(settings) + "/" + kAnchorFileName;
        if (IsFile(file))
            return file;
    }
    const char* named = std::getenv("KELVANE_BIDDER_CA");
    return named != nullptr && IsFile(named) ? std::string(named) : std::string();
}

bool IsTrustedBidderCert(const unsigned char* der, size_t length, std::wstring& reason)
{
    const unsigned char* cursor = der;
    const X509Ptr cert(
        der != nullptr && length > 0 ? d2i_X509(nullptr, &cursor, static_cast<long>(length)) : nullptr);
    bool trusted = false;
    if (!cert || cursor != der + length) {
        reason = L"签名证书无法解析";
    } else if ((X509_get_extension_flags(cert.get()) & EXFLAG_CA) != 0) {
        // An authority's certificate signs certificates; a bid signed with it names no bidder.
        reason = L"签名证书是证书颁发机构的证书，不能签署标书（" + SubjectName(cert.get()) + L"）";
    } else if (const uint32_t usage = X509_get_key_usage(cert.get());
               usage != UINT32_MAX && (usage & KU_DIGITAL_SIGNATURE) == 0) {
        reason = L"签名证书没有数字签名用途（" + SubjectName(cert.get()) + L"）";
    } else {
        X509* failed = nullptr;
        const int error = VerifyChain(cert.get(), failed);
        // The chain's certificate is held for the reason and released with it.
        const X509Ptr heldFailed(failed != cert.get() ? failed : nullptr);
        trusted = error == X509_V_OK;
        if (!trusted)
            reason = ChainReason(error, cert.get(), failed) + L"（" + SubjectName(cert.get()) + L"）";
    }
    ERR_clear_error();
    if (trusted)
        reason.clear();
    return trusted;
}
