// The checked-in vectors of tests/data/bidx give what their MANIFEST states: a reader that drifts
// from the documented format fails here.
#include "SecretFileTestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

namespace kelvane::bidx::test {
namespace {

const std::filesystem::path kVectors = std::filesystem::path(KELVANE_SOURCE_DIR) / "tests" / "data" / "bidx";

struct CRow {
    std::string file;
    std::string open;
    std::string verify;
    std::string openers;
    std::string decrypt;
};

std::vector<CRow> Manifest()
{
    std::ifstream in(kVectors / "MANIFEST");
    std::vector<CRow> rows;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        CRow row;
        fields >> row.file >> row.open >> row.verify >> row.openers >> row.decrypt;
        rows.push_back(row);
    }
    return rows;
}

int TryVectorKey(CQuarnFileDecryptor* h, char opener)
{
    const std::string name = std::string("opener-") + static_cast<char>(opener - 'A' + 'a') + ".key";
    const std::vector<unsigned char> key = ReadAll(kVectors / "keys" / name);
    return QuarnSecretFileDecryptorTryKey(h, key.data(), static_cast<int>(key.size()));
}

TEST(BidVectors, EachGivesItsStatedOutcome)
{
    const std::vector<CRow> rows = Manifest();
    ASSERT_GE(rows.size(), 10u);
    for (const CRow& row : rows) {
        SCOPED_TRACE(row.file + " with " + row.openers);
        CTempDir out;
        int rc = 0;
        {
            const Handle h = OpenHandle(kVectors / row.file, out.Path(), &rc);
            ASSERT_EQ(std::to_string(rc), row.open);
            if (rc != 0) {
                continue;
            }
            EXPECT_EQ(std::to_string(QuarnSecretFileDecryptorVerify(h.get())), row.verify);
        }
        const Handle h = OpenHandle(kVectors / row.file, out.Path(), &rc);
        for (const char opener : row.openers) {
            if (opener != ',') {
                ASSERT_EQ(TryVectorKey(h.get(), opener), 0);
            }
        }
        EXPECT_EQ(std::to_string(QuarnSecretFileDecryptorDecrypt(h.get())), row.decrypt);
        EXPECT_EQ(CountEntries(out.Path()), row.decrypt == "0" ? 1u : 0u);
    }
}

TEST(BidVectors, OpenedContentIsTheSealedContent)
{
    CTempDir out;
    int rc = 0;
    const Handle h = OpenHandle(kVectors / "opens-2of3.bidx", out.Path(), &rc);
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(TryVectorKey(h.get(), 'B'), 0);
    ASSERT_EQ(TryVectorKey(h.get(), 'A'), 0);
    ASSERT_EQ(QuarnSecretFileDecryptorDecrypt(h.get()), 0);
    const auto tree = ListTree(out.Path() / "opens-2of3");
    ASSERT_EQ(tree.size(), 2u);
    EXPECT_EQ(tree[0].first, "letter.txt");
    EXPECT_EQ(std::string(tree[0].second.begin(), tree[0].second.end()), "Bid letter.\n");
    EXPECT_EQ(tree[1].first, "tech/drawing.bin");
    ASSERT_EQ(tree[1].second.size(), 2 * kChunkSize + 1000);
    for (size_t i = 0; i < tree[1].second.size(); ++i) {
        ASSERT_EQ(tree[1].second[i], static_cast<unsigned char>(i * 7 + 3)) << i;
    }
}

}  // namespace
}  // namespace kelvane::bidx::test
