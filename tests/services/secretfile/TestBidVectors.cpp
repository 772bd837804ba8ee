// The checked-in vectors of tests/data/bidx give what their MANIFEST states: a reader that drifts
// from the documented format fails here.
#include "BidFormat.h"
#include "SecretFileTestSupport.h"

#include <cctype>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sstream>

namespace kelvane::bidx::test {
namespace {

const std::filesystem::path kVectors = std::filesystem::path(KELVANE_SOURCE_DIR) / "tests" / "data" / "bidx";

struct CRow
{
    std::string file;
    std::string open;
    std::string verify;
    std::string openers;
    std::string decrypt;
    std::string line; // as written, for the failure message
};

// Every line that is not a comment must have exactly five fields: a line the test cannot read
// would otherwise pass by being skipped.
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
        std::string extra;
        fields >> row.file >> row.open >> row.verify >> row.openers >> row.decrypt >> extra;
        row.line = row.decrypt.empty() || !extra.empty() ? "malformed: " + line : line;
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

void PrintTo(const CRow& row, std::ostream* os)
{
    *os << row.line;
}

class BidVectorLine : public ::testing::TestWithParam<CRow>
{
};

TEST_P(BidVectorLine, GivesItsStatedOutcome)
{
    const CRow& row = GetParam();
    SCOPED_TRACE(row.line);
    ASSERT_EQ(row.line.rfind("malformed", 0), std::string::npos);
    // A handle that does not open reaches no later step.
    ASSERT_EQ(row.open != "0", row.verify == "-" && row.openers == "-" && row.decrypt == "-");
    CTempDir out;
    int rc = 0;
    {
        const Handle h = OpenHandle(kVectors / row.file, out.Path(), &rc);
        ASSERT_EQ(std::to_string(rc), row.open);
        if (rc != 0) {
            EXPECT_EQ(h.get(), nullptr);
            return;
        }
        EXPECT_EQ(std::to_string(QuarnSecretFileDecryptorVerify(h.get())), row.verify);
    }
    // Decrypt without Verify before it: it must refuse on its own.
    const Handle h = OpenHandle(kVectors / row.file, out.Path(), &rc);
    ASSERT_EQ(rc, 0);
    for (const char opener : row.openers) {
        if (opener != ',') {
            ASSERT_EQ(TryVectorKey(h.get(), opener), 0) << opener;
        }
    }
    EXPECT_EQ(std::to_string(QuarnSecretFileDecryptorDecrypt(h.get())), row.decrypt);
    EXPECT_EQ(CountEntries(out.Path()), row.decrypt == "0" ? 1u : 0u) << "a refused bid writes nothing";
}

INSTANTIATE_TEST_SUITE_P(Manifest, BidVectorLine, ::testing::ValuesIn(Manifest()),
    [](const ::testing::TestParamInfo<CRow>& testCase) {
        std::string name = std::to_string(testCase.index) + "_" + testCase.param.file;
        for (char& c : name) {
            c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        }
        return name;
    });

// Every vector in the folder has a line, and every line names a vector there.
TEST(BidVectors, ManifestAndFolderAgree)
{
    std::set<std::string> listed;
    for (const CRow& row : Manifest()) {
        listed.insert(row.file);
    }
    std::set<std::string> present;
    for (const auto& entry : std::filesystem::directory_iterator(kVectors)) {
        if (entry.path().extension() == ".bidx") {
            present.insert(entry.path().filename().string());
        }
    }
    EXPECT_EQ(listed, present);
    EXPECT_GE(present.size(), 15u);
}

// The re-attributed copies show what they claim: the one field changed, and file id, commitment,
// shares and payload those of the bid that opens. Their 59 then comes from the key schedule alone.
TEST(BidVectors, ReattributedCopiesChangeOnlySignerOrRules)
{
    const auto parts = [](const std::string& name, CBidHeader& header) {
        const std::vector<unsigned char> file = ReadAll(kVectors / name);
        const CLayout layout = LayoutOf(file);
        EXPECT_EQ(ParseHeader(file.data(), layout.headerSize, header), 0) << name;
        return std::vector<unsigned char>(file.begin() + static_cast<long>(layout.headerSize),
            file.begin() + static_cast<long>(layout.headerSize + layout.payloadSize));
    };
    CBidHeader original;
    const std::vector<unsigned char> payload = parts("opens-2of3.bidx", original);
    const struct
    {
        const char* file;
        bool signerChanged;
    } copies[] = { { "code59-resigned-by-another.bidx", true }, { "code59-rules-swapped.bidx", false } };
    for (const auto& copy : copies) {
        SCOPED_TRACE(copy.file);
        CBidHeader header;
        EXPECT_EQ(parts(copy.file, header), payload);
        EXPECT_EQ(header.fileId, original.fileId);
        EXPECT_EQ(header.commitment, original.commitment);
        EXPECT_EQ(header.signerCert != original.signerCert, copy.signerChanged);
        EXPECT_EQ(header.customData != original.customData, !copy.signerChanged);
        ASSERT_EQ(header.openers.size(), original.openers.size());
        for (size_t i = 0; i < header.openers.size(); ++i) {
            EXPECT_EQ(header.openers[i].cert, original.openers[i].cert);
            EXPECT_EQ(header.openers[i].wrapped, original.openers[i].wrapped);
        }
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

} // namespace
} // namespace kelvane::bidx::test
