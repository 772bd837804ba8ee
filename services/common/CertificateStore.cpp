#include "CertificateStore.h"

#include "OpenSslPtr.h"
#include "RegularFile.h"

#include <cstdlib>
#include <mutex>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <unistd.h>

namespace kelvane {
namespace {

// Far beyond any certificate bundle (the system's is about 200 KiB); a larger file is no anchor file.
constexpr size_t kMaxCertificateFile = 64u << 20;

// Whether a store has read the system's certificate file yet; owned by the store's ex_data.
struct CSystemFile
{
    std::once_flag read;
};

void FreeSystemFile(void*, void* data, CRYPTO_EX_DATA*, int, long, void*)
{
    delete static_cast<CSystemFile*>(data);
}

int SystemFileIndex()
{
    static const int index
        = CRYPTO_get_ex_new_index(CRYPTO_EX_INDEX_X509_STORE, 0, nullptr, nullptr, nullptr, FreeSystemFile);
    return index;
}

// Reads the system's certificate file into the store the first time a store's verification asks.
// Returns whether it was read by this call, so that a lookup that missed is worth repeating.
bool ReadSystemFileOnce(X509_STORE_CTX* ctx)
{
    X509_STORE* store = X509_STORE_CTX_get0_store(ctx);
    auto* file = store != nullptr
        ? static_cast<CSystemFile*>(X509_STORE_get_ex_data(store, SystemFileIndex()))
        : nullptr;
    if (file == nullptr)
        return false;
    bool readNow = false;
    std::call_once(file->read, [&] {
        const char* path = secure_getenv(X509_get_default_cert_file_env());
        AddCertificateFile(store, path != nullptr ? path : X509_get_default_cert_file());
        readNow = true;
    });
    return readNow;
}

int GetIssuer(X509** issuer, X509_STORE_CTX* ctx, X509* subject)
{
    int found = X509_STORE_CTX_get1_issuer(issuer, ctx, subject);
    if (found == 0 && ReadSystemFileOnce(ctx))
        found = X509_STORE_CTX_get1_issuer(issuer, ctx, subject);
    return found;
}

STACK_OF(X509) * LookupCerts(X509_STORE_CTX* ctx, const X509_NAME* name)
{
    STACK_OF(X509)* certs = X509_STORE_CTX_get1_certs(ctx, name);
    if (certs == nullptr && ReadSystemFileOnce(ctx))
        certs = X509_STORE_CTX_get1_certs(ctx, name);
    return certs;
}

} // namespace

int AddCertificateFile(X509_STORE* store, const std::string& path)
{
    if (store == nullptr || path.empty())
        return 0;
    // Read whole and parsed from memory: PEM is read line by line, a read() each without a buffer.
    std::string reason;
    const int fd = OpenRegularFile(path, reason);
    if (fd < 0)
        return 0;
    std::string bytes;
    char chunk[16384];
    ssize_t got = 0;
    while (bytes.size() <= kMaxCertificateFile && (got = read(fd, chunk, sizeof chunk)) > 0)
        bytes.append(chunk, static_cast<size_t>(got));
    close(fd);
    if (got < 0 || bytes.size() > kMaxCertificateFile)
        return 0;
    const auto inMemory
        = [&bytes] { return BioPtr(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()))); };
    int added = 0;
    for (const BioPtr bio = inMemory(); bio;) {
        const X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
        if (!cert)
            break;
        added += X509_STORE_add_cert(store, cert.get()) == 1 ? 1 : 0;
    }
    if (added == 0) {
        if (const BioPtr bio = inMemory()) {
            if (const X509Ptr cert { d2i_X509_bio(bio.get(), nullptr) })
                added += X509_STORE_add_cert(store, cert.get()) == 1 ? 1 : 0;
        }
    }
    ERR_clear_error();
    return added;
}

bool AddSystemCertificates(X509_STORE* store)
{
    if (store == nullptr || SystemFileIndex() < 0)
        return false;
    if (X509_STORE_get_ex_data(store, SystemFileIndex()) != nullptr)
        return true;
    auto* file = new (std::nothrow) CSystemFile;
    if (file == nullptr || X509_STORE_set_ex_data(store, SystemFileIndex(), file) != 1) {
        delete file;
        return false;
    }
    X509_STORE_set_get_issuer(store, GetIssuer);
    X509_STORE_set_lookup_certs(store, LookupCerts);
    X509_LOOKUP* folder = X509_STORE_add_lookup(store, X509_LOOKUP_hash_dir());
    const bool ok = folder != nullptr && X509_LOOKUP_add_dir(folder, nullptr, X509_FILETYPE_DEFAULT) == 1;
    ERR_clear_error();
    return ok;
}

} // namespace kelvane
