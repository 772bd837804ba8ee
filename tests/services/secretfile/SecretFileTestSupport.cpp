#include "SecretFileTestSupport.h"

#include "BidFormat.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <array>
#include <fstream>
#include <iterator>
#include <random>

namespace kelvane::bidx::test {
namespace {

struct CBioFree {
    void operator()(BIO* p) const { BIO_free(p); }
};

PKey Generate(KeyKind kind)
{
    switch (kind) {
    case KeyKind::Rsa2048:
        return PKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{2048}));
    case KeyKind::P256:
        return PKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    case KeyKind::Ed25519:
        return PKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    }
    return nullptr;
}

}  // namespace

CIdentity MakeIdentity(KeyKind kind, const std::string& commonName, const std::string& keyUsage)
{
    CIdentity id;
    id.name = commonName;
    PKey key = Generate(kind);
    Cert cert(X509_new());
    if (!key || !cert) {
        ADD_FAILURE() << "key generation failed";
        return id;
    }
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), static_cast<long>(std::random_device{}() & 0x7fffffff));
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400L * 365);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                               -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509_set_pubkey(cert.get(), key.get());
    if (!keyUsage.empty()) {
        X509V3_CTX ctx;
        X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
        X509_EXTENSION* ext = X509V3_EXT_nconf_nid(nullptr, &ctx, NID_key_usage, keyUsage.c_str());
        X509_add_ext(cert.get(), ext, -1);
        X509_EXTENSION_free(ext);
    }
    X509_sign(cert.get(), key.get(), kind == KeyKind::Ed25519 ? nullptr : EVP_sha256());
    id.certDer = CertificateDer(cert.get());
    std::unique_ptr<BIO, CBioFree> bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio.get(), &data);
    id.keyPem.assign(data, static_cast<size_t>(len));
    return id;
}

const CIdentity& Bidder()
{
    static const CIdentity id = MakeIdentity(KeyKind::P256, "Bidder Co. Ltd", "digitalSignature");
    return id;
}

const CIdentity& Opener(int index)
{
    static const std::array<CIdentity, 5> openers = {
        MakeIdentity(KeyKind::Rsa2048, "Opener A", "keyEncipherment"),
        MakeIdentity(KeyKind::P256, "Opener B", "keyAgreement"),
        MakeIdentity(KeyKind::Rsa2048, "Opener C"),
        MakeIdentity(KeyKind::P256, "Opener D"),
        MakeIdentity(KeyKind::Rsa2048, "Opener E", "keyEncipherment,digitalSignature"),
    };
    return openers.at(static_cast<size_t>(index));
}

CTempDir::CTempDir()
{
    std::string templ = (std::filesystem::temp_directory_path() / "kelvane-bidx-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp failed";
    }
    path_ = templ;
}

CTempDir::~CTempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::vector<unsigned char> ReadAll(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::filesystem::path& path, const std::vector<unsigned char>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::pair<std::string, std::vector<unsigned char>>> ListTree(const std::filesystem::path& root)
{
    std::vector<std::pair<std::string, std::vector<unsigned char>>> out;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) {
            out.emplace_back(std::filesystem::relative(entry.path(), root).string(), ReadAll(entry.path()));
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

size_t CountEntries(const std::filesystem::path& folder)
{
    std::error_code ec;
    if (!std::filesystem::exists(folder, ec)) {
        return 0;
    }
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(folder), {}));
}

CSoftwareSealSigner MakeSigner(const CIdentity& who)
{
    return CSoftwareSealSigner(DecodeCertificate(who.certDer.data(), who.certDer.size()),
                               DecodePrivateKey(reinterpret_cast<const unsigned char*>(who.keyPem.data()),
                                                who.keyPem.size()));
}

CSealRequest MakeRequest(const CSealSpec& spec, ISealSigner& signer)
{
    CSealRequest request;
    request.signerCert = Bidder().certDer;
    request.signer = &signer;
    request.customData = MakeRulesCustomData(spec.rules);
    request.threshold = spec.threshold;
    for (const int i : spec.openers) {
        request.openerCerts.push_back(Opener(i).certDer);
    }
    request.files = spec.files;
    return request;
}

void Seal(const CSealSpec& spec, const std::filesystem::path& path)
{
    CSoftwareSealSigner signer = MakeSigner(Bidder());
    ASSERT_EQ(SealBidFile(MakeRequest(spec, signer), path.string(), nullptr), 0);
}

CLayout LayoutOf(const std::vector<unsigned char>& file)
{
    CLayout layout;
    layout.headerSize = GetU32(file.data() + 14);
    layout.signatureSize = GetU32(file.data() + file.size() - kTrailerSize);
    layout.payloadSize = file.size() - layout.headerSize - layout.signatureSize - kTrailerSize;
    layout.chunkCount = (layout.payloadSize + kSealedChunkSize - 1) / kSealedChunkSize;
    return layout;
}

void ResignWithHeader(const std::filesystem::path& path, const std::function<void(CBidHeader&)>& edit)
{
    const std::vector<unsigned char> file = ReadAll(path);
    const CLayout layout = LayoutOf(file);
    CBidHeader header;
    ASSERT_EQ(ParseHeader(file.data(), layout.headerSize, header), 0);
    edit(header);
    std::vector<unsigned char> out;
    ASSERT_EQ(SerializeHeader(header, out), 0);
    out.insert(out.end(), file.begin() + static_cast<long>(layout.headerSize),
               file.begin() + static_cast<long>(layout.headerSize + layout.payloadSize));
    CFileHash hash;
    hash.Update(out.data(), out.size());
    std::array<unsigned char, kDigestSize> digest{};
    ASSERT_TRUE(hash.Final(digest));
    CSoftwareSealSigner signer = MakeSigner(Bidder());
    std::vector<unsigned char> signature;
    ASSERT_EQ(signer.Sign(digest.data(), digest.size(), signature), 0);
    out.insert(out.end(), signature.begin(), signature.end());
    PutU32(out, static_cast<uint32_t>(signature.size()));
    out.insert(out.end(), kTrailerMagic.begin(), kTrailerMagic.end());
    WriteAll(path, out);
}

Handle OpenHandle(const std::filesystem::path& bid, const std::filesystem::path& outFolder, int* code)
{
    CQuarnFileDecryptor* raw = nullptr;
    int rc = QuarnSecretFileDecryptorCreateHandle(&raw, bid.c_str());
    if (rc == 0) {
        rc = QuarnSecretFileDecryptorSetFolder(raw, outFolder.c_str());
    }
    if (code != nullptr) {
        *code = rc;
    }
    return Handle(raw);
}

int TryOpener(CQuarnFileDecryptor* handle, int opener)
{
    const std::string& pem = Opener(opener).keyPem;
    return QuarnSecretFileDecryptorTryKey(handle, reinterpret_cast<const unsigned char*>(pem.data()),
                                          static_cast<int>(pem.size()));
}

}  // namespace kelvane::bidx::test
