// Software identities, temporary folders and file surgery for the sealed-bid-file tests.
#pragma once

#include "BidCrypto.h"
#include "BidSealer.h"
#include "QuarnSecretFile.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCa.h"

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace kelvane::bidx::test {

using kelvane::test::CertUsage;
using kelvane::test::KeyKind;

// A self-signed certificate and its private key, made in the test.
struct CIdentity
{
    std::string keyPem;
    std::vector<unsigned char> certDer;
    std::string name;
};
CIdentity MakeIdentity(
    KeyKind kind, const std::string& commonName, CertUsage usage = CertUsage::Unrestricted);

// Identities are slow to make (RSA): tests share one set per process.
const CIdentity& Bidder();
const CIdentity& Opener(int index); // 0..4: RSA, P-256, RSA, P-256, RSA

std::vector<unsigned char> ReadAll(const std::filesystem::path& path);
void WriteAll(const std::filesystem::path& path, const std::vector<unsigned char>& bytes);
// Every regular file below a folder, by relative name, with its contents.
std::vector<std::pair<std::string, std::vector<unsigned char>>> ListTree(const std::filesystem::path& root);
size_t CountEntries(const std::filesystem::path& folder);

CSoftwareSealSigner MakeSigner(const CIdentity& who);

struct CSealSpec
{
    int threshold = 2;
    std::vector<int> openers = { 0, 1, 2 };
    std::vector<CSealFile> files;
    std::vector<unsigned char> rules = { '<', 'b', 'i', 'd', 'e', 'n', 'v', '/', '>' };
};
CSealRequest MakeRequest(const CSealSpec& spec, ISealSigner& signer);
// Seals spec into path; fails the calling test on error.
void Seal(const CSealSpec& spec, const std::filesystem::path& path);

// Rewrites a sealed file's header through edit and signs it again, as a dishonest bidder would.
void ResignWithHeader(const std::filesystem::path& path, const std::function<void(CBidHeader&)>& edit);

// Where the parts of a sealed file lie.
struct CLayout
{
    size_t headerSize = 0;
    size_t payloadSize = 0;
    size_t signatureSize = 0;
    size_t chunkCount = 0;
};
CLayout LayoutOf(const std::vector<unsigned char>& file);

// A handle with the given openers' software keys tried in order; null on failure.
struct CHandleFree
{
    void operator()(CQuarnFileDecryptor* h) const { QuarnSecretFileDecryptorReleaseHandle(h); }
};
using Handle = std::unique_ptr<CQuarnFileDecryptor, CHandleFree>;
Handle OpenHandle(
    const std::filesystem::path& bid, const std::filesystem::path& outFolder, int* code = nullptr);
int TryOpener(CQuarnFileDecryptor* handle, int opener);

} // namespace kelvane::bidx::test
