// The hash threads beside the cipher: a digest that fails on its thread is reported where the
// digest is taken, however far the ring has gone, and never leaves the ring waiting.
//
// No OpenSSL digest fails for real, so the fault comes from a digest of the test's own, made with
// the method interface that OpenSSL keeps for such engines.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "HashThread.h"

#include <atomic>
#include <gtest/gtest.h>
#include <openssl/evp.h>

namespace kelvane::bidx::test {
namespace {

// Bytes the failing digest accepts before its update fails; shared with its hash thread.
std::atomic<uint64_t> g_acceptBytes { 0 };

int CountingInit(EVP_MD_CTX* ctx)
{
    *static_cast<uint64_t*>(EVP_MD_CTX_md_data(ctx)) = 0;
    return 1;
}

int CountingUpdate(EVP_MD_CTX* ctx, const void*, size_t size)
{
    uint64_t& seen = *static_cast<uint64_t*>(EVP_MD_CTX_md_data(ctx));
    seen += size;
    return seen <= g_acceptBytes.load() ? 1 : 0;
}

int CountingFinal(EVP_MD_CTX*, unsigned char* digest)
{
    std::fill(digest, digest + kDigestSize, 0);
    return 1;
}

struct CMethodFree
{
    void operator()(EVP_MD* md) const { EVP_MD_meth_free(md); }
};

std::unique_ptr<EVP_MD, CMethodFree> FailingDigest()
{
    std::unique_ptr<EVP_MD, CMethodFree> md(EVP_MD_meth_new(NID_undef, NID_undef));
    EVP_MD_meth_set_result_size(md.get(), kDigestSize);
    EVP_MD_meth_set_input_blocksize(md.get(), 64);
    EVP_MD_meth_set_app_datasize(md.get(), sizeof(uint64_t));
    EVP_MD_meth_set_init(md.get(), CountingInit);
    EVP_MD_meth_set_update(md.get(), CountingUpdate);
    EVP_MD_meth_set_final(md.get(), CountingFinal);
    return md;
}

} // namespace

TEST(HashThread, FailureOnTheThreadIsReportedByTheDigest)
{
    // A header, then ten blocks through a ring of three, as the sealing and reading passes go.
    constexpr size_t kHeader = 100;
    constexpr size_t kBlock = 4096;
    constexpr uint64_t kTotal = kHeader + 10 * kBlock;
    const struct
    {
        const char* where;
        uint64_t accept;
        bool ok;
    } cases[] = {
        { "in the header", 10, false },
        { "in a block the ring reuses", kHeader + 4 * kBlock + 1, false },
        { "in the last block", kTotal - 1, false },
        { "nowhere", kTotal, true },
    };
    const auto md = FailingDigest();
    ASSERT_NE(md, nullptr);
    for (const auto& c : cases) {
        g_acceptBytes = c.accept;
        CFileHash hash(md.get());
        ASSERT_TRUE(hash.Ok()) << c.where;
        const std::vector<unsigned char> header(kHeader, 0x5A);
        CHashRing ring(3, kBlock);
        CHashThread thread(hash);
        thread.Submit(header.data(), header.size());
        for (int i = 0; i < 10; ++i) {
            std::fill_n(ring.Next(), kBlock, static_cast<unsigned char>(i));
            ring.Submit(kBlock, { &thread, nullptr });
        }
        thread.WaitForAll();
        std::array<unsigned char, kDigestSize> digest {};
        EXPECT_EQ(hash.Final(digest), c.ok) << c.where;
    }
}

} // namespace kelvane::bidx::test
