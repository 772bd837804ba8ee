// Everything that reads a sealed bid file from outside: the header with its certificates and
// custom data, the trailer and the signature (through the decryptor's interface, on the input as
// a file), and the payload archive's entry framing and names (through the extractor, which must
// never write outside its staging folder).
#include "BidExtractor.h"
#include "QuarnSecretFile.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

// A scratch folder for the extractor, removed when the process ends.
struct CScratch
{
    CScratch()
    {
        std::string templ = (std::filesystem::temp_directory_path() / "kelvane-bidx-fuzz-XXXXXX").string();
        if (mkdtemp(templ.data()) == nullptr) {
            std::abort();
        }
        path = templ;
    }
    ~CScratch()
    {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string path;
};

void ParseAsBidFile(const uint8_t* data, size_t size)
{
    const int fd = memfd_create("bidx", MFD_CLOEXEC);
    if (fd < 0) {
        return;
    }
    if (size == 0 || write(fd, data, size) == static_cast<ssize_t>(size)) {
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        CQuarnFileDecryptor* handle = nullptr;
        if (QuarnSecretFileDecryptorCreateHandle(&handle, path.c_str()) == 0) {
            QuarnSecretFileDecryptorVerify(handle);
            int length = 0;
            if (QuarnSecretFileDecryptorGetSignCert(handle, nullptr, &length) == 0) {
                std::vector<unsigned char> cert(static_cast<size_t>(length));
                QuarnSecretFileDecryptorGetSignCert(handle, cert.data(), &length);
            }
            if (QuarnSecretFileDecryptorGetCustomData(handle, nullptr, &length) == 0) {
                std::vector<unsigned char> custom(static_cast<size_t>(length));
                QuarnSecretFileDecryptorGetCustomData(handle, custom.data(), &length);
            }
            int n = 0;
            QuarnSecretFileDecryptorGetMinNum(handle, &n);
            int m = 0;
            if (QuarnSecretFileDecryptorGetOpenerNum(handle, &m) == 0) {
                for (int i = 0; i < m; ++i) {
                    if (QuarnSecretFileDecryptorGetOpenerCert(handle, i, nullptr, &length) == 0) {
                        std::vector<unsigned char> cert(static_cast<size_t>(length));
                        QuarnSecretFileDecryptorGetOpenerCert(handle, i, cert.data(), &length);
                    }
                }
            }
            QuarnSecretFileDecryptorReleaseHandle(handle);
        }
    }
    close(fd);
}

void ParseAsArchive(const uint8_t* data, size_t size)
{
    static CScratch scratch;
    kelvane::bidx::CBidExtractor extractor(scratch.path, "bid");
    if (extractor.Begin() != 0) {
        return;
    }
    // Uneven pieces, so that fields straddle the chunk boundaries as they do in real payloads.
    size_t at = 0;
    size_t piece = 1;
    while (at < size) {
        const size_t take = std::min(piece, size - at);
        if (extractor.Write(data + at, take) != 0) {
            return;
        }
        at += take;
        piece = piece * 3 + 1;
    }
    extractor.Finish();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ParseAsBidFile(data, size);
    ParseAsArchive(data, size);
    return 0;
}
