#include "SecretFileTestSupport.h"

#include "BidFormat.h"

#include <array>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>

namespace kelvane::bidx::test {

CIdentity MakeIdentity(KeyKind kind, const std::string& commonName, CertUsage usage)
{
    const kelvane::test::CTestIssued issued
        = kelvane::test::SelfSignedCert(kelvane::test::Request(commonName, kind, usage));
    return CIdentity { issued.keyPem, issued.certDer, commonName };
}

const CIdentity& Bidder()
{
    static const CIdentity id = MakeIdentity(KeyKind::P256, "Bidder Co. Ltd", CertUsage::Signature);
    return id;
}

// Key usages: RSA key encipherment, EC key agreement, none at all, and signing besides enciphering.
const CIdentity& Opener(int index)
{
    static const std::array<CIdentity, 5> openers = {
        MakeIdentity(KeyKind::Rsa2048, "Opener A", CertUsage::Encryption),
        MakeIdentity(KeyKind::P256, "Opener B", CertUsage::Encryption),
        MakeIdentity(KeyKind::Rsa2048, "Opener C"),
        MakeIdentity(KeyKind::P256, "Opener D"),
        MakeIdentity(KeyKind::Rsa2048, "Opener E", CertUsage::SignatureAndEncryption),
    };
    return openers.at(static_cast<size_t>(index));
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
        DecodePrivateKey(reinterpret_cast<const unsigned char*>(who.keyPem.data()), who.keyPem.size()));
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
    std::array<unsigned char, kDigestSize> digest {};
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
    return QuarnSecretFileDecryptorTryKey(
        handle, reinterpret_cast<const unsigned char*>(pem.data()), static_cast<int>(pem.size()));
}

} // namespace kelvane::bidx::test
