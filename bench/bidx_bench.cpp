// Throughput of sealing, verifying and decrypting a large bid, each next to the raw rate of a
// plain EVP loop over 64 KiB buffers doing the same cryptographic work per byte, and the peak
// resident memory; the decryption also next to a plain copy of the same bytes into the same
// folder (the memory's own cost, see CopyRate). Files go to a tmpfs folder so that the figures
// measure the code, not the disk; one more decryption goes to a disk folder, sync included.
//
//   bidx_bench [--gib N] [--sparse] [--disk DIR]
//   bidx_bench --open-peer FILE    (for peers.sh: the library's decryption of FILE, sealed first)
//
// The last lines are "decrypt_ratio: X", "decrypt_fresh_ratio: Y" and "peak_rss_mib: Z"; a
// ratio is our rate over the slower of the raw loop and the plain copy.
#include "BidCrypto.h"
#include "BidSealer.h"
#include "QuarnSecretFile.h"
#include "verify/CBidFileReport.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace kelvane::bidx;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kBuffer = 64 * 1024;
// Rounds of a step's timed runs (copy and our code, alternating); the best of each is kept.
constexpr int kRounds = 2;

double Seconds(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double MiBps(uint64_t bytes, double seconds)
{
    return static_cast<double>(bytes) / (1024.0 * 1024.0) / seconds;
}

// The same work per byte as the format: AES-256-GCM per 64 KiB with a fresh nonce, plus SHA-256
// over the ciphertext when hash is set.
double RawRate(bool encrypt, bool aead, bool hash, uint64_t bytes)
{
    std::vector<unsigned char> buffer(kBuffer + 16, 0x3C);
    unsigned char key[32] = { 1 };
    unsigned char nonce[12] = {};
    kelvane::CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    kelvane::MdCtxPtr md(EVP_MD_CTX_new());
    EVP_CipherInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key, nullptr, encrypt ? 1 : 0);
    EVP_DigestInit_ex(md.get(), EVP_sha256(), nullptr);
    const auto start = Clock::now();
    for (uint64_t done = 0, i = 0; done < bytes; done += kBuffer, ++i) {
        if (aead) {
            std::memcpy(nonce + 4, &i, sizeof i);
            int len = 0;
            EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, nullptr, nonce, encrypt ? 1 : 0);
            EVP_CipherUpdate(ctx.get(), buffer.data(), &len, buffer.data(), static_cast<int>(kBuffer));
            if (encrypt) {
                EVP_CipherFinal_ex(ctx.get(), buffer.data() + len, &len);
                EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, 16, buffer.data() + kBuffer);
            }
            // Decryption stops before the tag check: the bytes are not a real ciphertext, and the
            // tag costs the same either way.
        }
        if (hash) {
            EVP_DigestUpdate(md.get(), buffer.data(), kBuffer + 16);
        }
    }
    unsigned char digest[32];
    unsigned int len = 0;
    EVP_DigestFinal_ex(md.get(), digest, &len);
    return MiBps(bytes, Seconds(start));
}

// A raw SM3 pass over a file, as `openssl dgst -sm3` makes it: read in 64 KiB blocks, one EVP
// update each. The seal and the report are held to it: SM3 is the slowest thing either must do.
double Sm3PassSeconds(const fs::path& path)
{
    std::vector<unsigned char> buffer(kBuffer);
    kelvane::MdCtxPtr md(EVP_MD_CTX_new());
    EVP_DigestInit_ex(md.get(), EVP_sm3(), nullptr);
    const auto start = Clock::now();
    const int fd = open(path.c_str(), O_RDONLY);
    for (ssize_t n = 0; fd >= 0 && (n = read(fd, buffer.data(), buffer.size())) > 0;) {
        EVP_DigestUpdate(md.get(), buffer.data(), static_cast<size_t>(n));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_DigestFinal_ex(md.get(), digest, &len);
    const double seconds = Seconds(start);
    if (fd < 0) {
        std::perror("sm3 pass");
        std::exit(1);
    }
    close(fd);
    return seconds;
}

// The memory's own cost of a step that reads `input` and writes `outputBytes` into a new file:
// the same reads and writes with nothing between them, 1 MiB per call, fsync included as the
// steps do. The output is removed afterwards unless `keep`. In a virtual machine that gives freed
// memory back to its host, the first write to each such page is paid to the host; this rate
// includes that cost whenever the step's own writes pay it too.
double CopyRate(const fs::path& input, const fs::path& output, uint64_t outputBytes, bool keep = false)
{
    fs::create_directories(output.parent_path());
    std::vector<unsigned char> buffer(1 << 20);
    const int in = open(input.c_str(), O_RDONLY | O_CLOEXEC);
    const auto start = Clock::now();
    const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (in < 0 || out < 0) {
        std::perror("copy");
        std::exit(1);
    }
    for (uint64_t done = 0; done < outputBytes;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), outputBytes - done));
        const ssize_t got = read(in, buffer.data(), want);
        // An input shorter than the output (a seal writes more than it reads) is read again.
        if (got == 0) {
            lseek(in, 0, SEEK_SET);
            continue;
        }
        if (got < 0 || write(out, buffer.data(), static_cast<size_t>(got)) != got) {
            std::perror("copy");
            std::exit(1);
        }
        done += static_cast<uint64_t>(got);
    }
    const bool synced = fsync(out) == 0;
    close(out);
    const double seconds = Seconds(start);
    close(in);
    if (!synced) {
        std::perror("fsync");
        std::exit(1);
    }
    if (!keep) {
        fs::remove(output);
    }
    return MiBps(outputBytes, seconds);
}

void MakeInput(const fs::path& path, uint64_t bytes, bool sparse)
{
    if (sparse) {
        {
            std::ofstream create(path, std::ios::binary);
        }
        fs::resize_file(path, bytes);
        return;
    }
    std::vector<unsigned char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<unsigned char>(i * 2654435761u >> 13);
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    for (uint64_t done = 0; done < bytes; done += block.size()) {
        if (write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) {
            std::perror("write");
            std::exit(1);
        }
    }
    close(fd);
}

struct CIdentity
{
    Cert cert;
    PKey key;
    std::vector<unsigned char> der;
    std::string pem;
};

CIdentity MakeIdentity(const char* type, const char* param)
{
    CIdentity id;
    id.key.reset(std::strcmp(type, "RSA") == 0 ? EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t { 2048 })
                                               : EVP_PKEY_Q_keygen(nullptr, nullptr, type, param));
    id.cert.reset(X509_new());
    X509_set_version(id.cert.get(), 2);
    X509_gmtime_adj(X509_getm_notBefore(id.cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(id.cert.get()), 86400);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(id.cert.get()), "CN", MBSTRING_UTF8,
        reinterpret_cast<const unsigned char*>("bench"), -1, -1, 0);
    X509_set_issuer_name(id.cert.get(), X509_get_subject_name(id.cert.get()));
    X509_set_pubkey(id.cert.get(), id.key.get());
    X509_sign(id.cert.get(), id.key.get(), EVP_sha256());
    id.der = CertificateDer(id.cert.get());
    unsigned char* p = nullptr;
    const int len = i2d_PrivateKey(id.key.get(), &p);
    const kelvane::OpenSslMemoryPtr<unsigned char> der(p);
    id.pem.assign(reinterpret_cast<char*>(der.get()), static_cast<size_t>(len));
    return id;
}

// A bidder and three software openers, two of whom are needed, and the request that seals one file
// to them.
struct CBenchTender
{
    CIdentity bidder = MakeIdentity("EC", "P-256");
    CIdentity a = MakeIdentity("RSA", nullptr);
    CIdentity b = MakeIdentity("EC", "P-256");
    CIdentity c = MakeIdentity("RSA", nullptr);
    CSoftwareSealSigner signer { Cert(X509_dup(bidder.cert.get())), PKey(EVP_PKEY_dup(bidder.key.get())) };

    CSealRequest Request(const fs::path& file, bool withVerificationCode)
    {
        CSealRequest request;
        request.signerCert = bidder.der;
        request.signer = &signer;
        request.customData = MakeRulesCustomData({ '<', 'x', '/', '>' });
        request.threshold = 2;
        request.openerCerts = { a.der, b.der, c.der };
        request.files = { { file.string(), file.filename().string() } };
        request.computeVerificationCode = withVerificationCode;
        return request;
    }
};

// The verification report as the window and `kelvane-cli verify` make it, with the bidder's own
// certificate as the tender's trust anchor: its time over that of a raw SM3 pass of the file.
double ReportRatio(const fs::path& bid, const fs::path& folder, const CIdentity& bidder)
{
    const fs::path anchor = folder / "bidder-ca.pem";
    {
        const kelvane::BioPtr out(BIO_new_file(anchor.c_str(), "w"));
        PEM_write_bio_X509(out.get(), bidder.cert.get());
    }
    setenv("KELVANE_BIDDER_CA", anchor.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1);
    CBidFileReport report;
    report.SetPath(bid.wstring());
    auto start = Clock::now();
    const int rc = report.Verify();
    const double seconds = Seconds(start);
    if (rc != 0) {
        std::fprintf(stderr, "report failed: %d\n", rc);
        std::exit(1);
    }
    const double sm3 = Sm3PassSeconds(bid);
    std::printf("report:  %8.2f s   raw SM3 pass of the file: %8.2f s   code %ls\n", seconds, sm3,
        report.GetVerifyCode().c_str());
    return seconds / sm3;
}

double DecryptRate(
    const fs::path& bid, const fs::path& out, uint64_t bytes, const CIdentity& a, const CIdentity& b)
{
    CQuarnFileDecryptor* h = nullptr;
    if (QuarnSecretFileDecryptorCreateHandle(&h, bid.c_str()) != 0
        || QuarnSecretFileDecryptorSetFolder(h, out.c_str()) != 0) {
        std::fprintf(stderr, "cannot open the bid\n");
        std::exit(1);
    }
    for (const CIdentity* id : { &a, &b }) {
        QuarnSecretFileDecryptorTryKey(
            h, reinterpret_cast<const unsigned char*>(id->pem.data()), static_cast<int>(id->pem.size()));
    }
    const auto start = Clock::now();
    const int rc = QuarnSecretFileDecryptorDecrypt(h);
    const double seconds = Seconds(start);
    QuarnSecretFileDecryptorReleaseHandle(h);
    if (rc != 0) {
        std::fprintf(stderr, "decrypt failed: %d\n", rc);
        std::exit(1);
    }
    return MiBps(bytes, seconds);
}

// For bench/peers.sh: seals `file` (untimed) to three software openers, then times the library's
// decryption of it with two of them into a folder beside it, right after a copy of the same size
// was written and removed there (as every timed writer of peers.sh follows one), and prints
// "open: X MiB/s". Every output is removed.
int OpenPeer(const fs::path& file)
{
    const fs::path folder = fs::absolute(file).parent_path();
    CBenchTender tender;
    const CSealRequest request = tender.Request(file, false);
    const fs::path bidx = folder / "kelvane-peer.bidx";
    if (SealBidFile(request, bidx.string(), nullptr) != 0) {
        std::fprintf(stderr, "seal failed\n");
        return 1;
    }
    const uint64_t bytes = fs::file_size(file);
    CopyRate(bidx, folder / "kelvane-peer.copy", bytes);
    const double rate = DecryptRate(bidx, folder / "kelvane-peer-open", bytes, tender.a, tender.b);
    fs::remove_all(folder / "kelvane-peer-open");
    fs::remove(bidx);
    std::printf("open: %.1f MiB/s\n", rate);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    uint64_t gib = 1;
    bool sparse = false;
    fs::path disk = fs::current_path();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--gib" && i + 1 < argc) {
            gib = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--sparse") {
            sparse = true;
        } else if (arg == "--disk" && i + 1 < argc) {
            disk = argv[++i];
        } else if (arg == "--open-peer" && i + 1 < argc) {
            return OpenPeer(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: bidx_bench [--gib N] [--sparse] [--disk DIR] | --open-peer FILE\n");
            return 2;
        }
    }
    const uint64_t bytes = gib << 30;
    std::string templ = "/dev/shm/kelvane-bench-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) {
        std::perror("/dev/shm");
        return 1;
    }
    const fs::path shm = templ;
    std::string diskTempl = (disk / "kelvane-bench-XXXXXX").string();
    if (mkdtemp(diskTempl.data()) == nullptr) {
        std::perror("disk folder");
        return 1;
    }
    const fs::path onDisk = diskTempl;

    CBenchTender tender;
    const CIdentity& a = tender.a;
    const CIdentity& b = tender.b;
    const CIdentity& c = tender.c;
    std::printf("input: %llu GiB%s, output to %s; disk folder %s\n", static_cast<unsigned long long>(gib),
        sparse ? " (sparse)" : "", shm.c_str(), onDisk.c_str());
    MakeInput(shm / "input.bin", bytes, sparse);

    // As kelvane-seal seals: with the verification code.
    const CSealRequest request = tender.Request(shm / "input.bin", true);

    auto start = Clock::now();
    if (SealBidFile(request, (shm / "bench.bidx").string(), nullptr) != 0) {
        std::fprintf(stderr, "seal failed\n");
        return 1;
    }
    const double sealSeconds = Seconds(start);
    // The bar of the seal is the slower of its slowest hash (SM3 over the sealed file) and a plain
    // copy of as many bytes into the same folder.
    const uint64_t sealedBytes = fs::file_size(shm / "bench.bidx");
    const double sealSm3 = Sm3PassSeconds(shm / "bench.bidx");
    const double sealCopy = static_cast<double>(sealedBytes) / (1 << 20)
        / CopyRate(shm / "input.bin", shm / "seal-copy.bin", sealedBytes);
    std::printf(
        "seal:    %8.2f s (%.1f MiB/s)   raw SM3 pass of the sealed file: %8.2f s   plain copy: %8.2f s\n",
        sealSeconds, MiBps(bytes, sealSeconds), sealSm3, sealCopy);
    std::printf("seal_ratio: %.2f (target <= 1.1)\n", sealSeconds / std::max(sealSm3, sealCopy));
    fs::remove(shm / "input.bin");

    CQuarnFileDecryptor* h = nullptr;
    QuarnSecretFileDecryptorCreateHandle(&h, (shm / "bench.bidx").c_str());
    start = Clock::now();
    const int verified = QuarnSecretFileDecryptorVerify(h);
    const double verify = MiBps(bytes, Seconds(start));
    QuarnSecretFileDecryptorReleaseHandle(h);
    if (verified != 0) {
        std::fprintf(stderr, "verify failed: %d\n", verified);
        return 1;
    }
    const double verifyRaw = RawRate(false, false, true, bytes);
    std::printf("verify:  %8.1f MiB/s   raw SHA-256:         %8.1f MiB/s   ratio %.2f\n", verify, verifyRaw,
        verify / verifyRaw);
    std::printf("report_ratio: %.2f (target <= 1.1)\n", ReportRatio(shm / "bench.bidx", shm, tender.bidder));

    // Fresh memory: every output stays until the end of the run, so each writer takes pages that
    // nobody freed just before, which the machine may have given back to its host, or may not:
    // how much was freed lately (the seal's input, an earlier process) is not ours to know. So
    // a copy runs before and one after the decryption, and the decryption is held against both
    // together: one finds the memory warmer than it did, the other colder.
    const fs::path bidx = shm / "bench.bidx";
    const fs::path fresh = shm / "Fresh";
    const double before = CopyRate(bidx, fresh / "before.bin", bytes, true);
    const double freshDecrypt = DecryptRate(bidx, fresh, bytes, a, b);
    const double after = CopyRate(bidx, fresh / "after.bin", bytes, true);
    const double freshCopy = 2 / (1 / before + 1 / after);
    fs::remove_all(fresh);
    // Reused memory: each writer starts right after a file of the same size was removed (the
    // first after the fresh run's files), so that both find pages the machine still holds. The best
    // of the rounds of each is kept, so that a moment's disturbance counts against neither.
    const fs::path reused = shm / "Open";
    double reusedCopy = 0;
    double reusedDecrypt = 0;
    for (int round = 1; round <= kRounds; ++round) {
        const double copy = CopyRate(bidx, reused / "copy.bin", bytes);
        const double decrypt = DecryptRate(bidx, reused, bytes, a, b);
        fs::remove_all(reused);
        reusedCopy = std::max(reusedCopy, copy);
        reusedDecrypt = std::max(reusedDecrypt, decrypt);
    }
    const double decryptRaw = RawRate(false, true, true, bytes);
    const double freshRatio = freshDecrypt / std::min(decryptRaw, freshCopy);
    const double reusedRatio = reusedDecrypt / std::min(decryptRaw, reusedCopy);
    std::printf(
        "decrypt, fresh memory:  %8.1f MiB/s   raw AES-GCM+SHA-256: %8.1f MiB/s   plain copy: %8.1f MiB/s "
        "(%.1f before, %.1f after)   ratio %.2f\n",
        freshDecrypt, decryptRaw, freshCopy, before, after, freshRatio);
    std::printf(
        "decrypt, reused memory: %8.1f MiB/s   raw AES-GCM+SHA-256: %8.1f MiB/s   plain copy: %8.1f MiB/s   "
        "ratio %.2f\n",
        reusedDecrypt, decryptRaw, reusedCopy, reusedRatio);

    const double decryptDisk = DecryptRate(shm / "bench.bidx", onDisk / "Open", bytes, a, c);
    std::printf("decrypt to disk (%s), sync included: %.1f MiB/s\n", onDisk.c_str(), decryptDisk);
    fs::remove_all(onDisk);
    fs::remove_all(shm);

    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("decrypt_ratio: %.2f\n", reusedRatio);
    std::printf("decrypt_fresh_ratio: %.2f\n", freshRatio);
    std::printf("peak_rss_mib: %.1f\n", static_cast<double>(usage.ru_maxrss) / 1024.0);
    return 0;
}
