// The outbox's files: a record reads back only when whole, and the order survives damage.
#include "audit/CRecordOutbox.h"
#include "tests/support/TempDir.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

CPendingRecord Record(
    const std::string& id, const std::string& message, const std::string& signature = "MIIB+/=")
{
    return { id,
        R"({"logtype":1,"projectid":"P1","projectname":"","logmsg":")" + message + R"(","recordid":")" + id
            + "\"}",
        signature, {} };
}

const std::string kId1 = "0123456789abcdef0123456789abcdef";
const std::string kId2 = "fedcba9876543210fedcba9876543210";

TEST(RecordOutbox, ReadsBackOnlyAWholeRecord)
{
    for (const std::string signature : { "MIIB+/=", "" }) {
        const CPendingRecord record = Record(kId1, "line\nbreak\n", signature);
        const std::string bytes = CRecordOutbox::Encode(record);
        const auto back = CRecordOutbox::Decode(bytes);
        ASSERT_TRUE(back);
        EXPECT_EQ(back->recordId, record.recordId);
        EXPECT_EQ(back->plainText, record.plainText);
        EXPECT_EQ(back->signedData, signature) << "an unsigned record stays marked as waiting to be signed";

        // A write cut off anywhere, a byte changed anywhere, or bytes after the end.
        for (size_t length = 0; length < bytes.size(); ++length)
            EXPECT_FALSE(CRecordOutbox::Decode(bytes.substr(0, length))) << length;
        for (size_t at = 0; at < bytes.size(); ++at) {
            std::string changed = bytes;
            changed[at] ^= 0x01;
            EXPECT_FALSE(CRecordOutbox::Decode(changed)) << at;
        }
        EXPECT_FALSE(CRecordOutbox::Decode(bytes + "x"));
    }
    EXPECT_FALSE(CRecordOutbox::Decode(CRecordOutbox::Encode(Record("0123", "short id"))));
    EXPECT_FALSE(CRecordOutbox::Decode(CRecordOutbox::Encode(Record(std::string(32, 'G'), "not hex"))));
}

TEST(RecordOutbox, KeepsTheOrderAcrossSessionsAndDamage)
{
    const CTempDir temp;
    const std::string folder = (temp / "logs" / "outbox").string();
    {
        CRecordOutbox outbox(folder);
        EXPECT_FALSE(outbox.IsOpen()) << "nothing is made until a record must be kept";
        EXPECT_TRUE(outbox.Pending().empty());
        EXPECT_FALSE(fs::exists(folder));
        CPendingRecord first = Record(kId1, "first");
        CPendingRecord second = Record(kId2, "second");
        ASSERT_TRUE(outbox.Add(first));
        ASSERT_TRUE(outbox.Add(second));
        EXPECT_LT(first.fileName, second.fileName);
    }
    // A later session appends behind the damaged file's number, never reusing it.
    CRecordOutbox outbox(folder);
    const auto pending = outbox.Pending();
    ASSERT_EQ(pending.size(), 2u);
    EXPECT_EQ(pending[0].recordId, kId1);
    EXPECT_EQ(pending[1].recordId, kId2);
    fs::resize_file(fs::path(folder) / pending[1].fileName, 10);
    std::vector<std::string> damaged;
    EXPECT_EQ(outbox.Pending(&damaged).size(), 1u);
    EXPECT_EQ(damaged, std::vector<std::string> { pending[1].fileName });
    EXPECT_TRUE(fs::exists(fs::path(folder) / (pending[1].fileName + ".damaged")));

    CPendingRecord third = Record(kId2, "third", "");
    ASSERT_TRUE(outbox.Add(third));
    EXPECT_GT(third.fileName, pending[1].fileName);
    third.signedData = "c2lnbmVk";
    ASSERT_TRUE(outbox.Replace(third));
    ASSERT_TRUE(outbox.Remove(pending[0]));
    const auto left = outbox.Pending();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].plainText, third.plainText);
    EXPECT_EQ(left[0].signedData, "c2lnbmVk");
}

} // namespace
