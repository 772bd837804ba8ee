// Quelvar through its exported interface, against the real rules server on loopback.
#include "Quelvar.h"
#include "RulesCipher.h"
#include "RulesTestSupport.h"

#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

using namespace rulestest;

namespace {

const std::string kQuery = "projectid=KV-2026-001";

class CHandle
{
public:
    CHandle() { EXPECT_EQ(QuelvarCreateHandle(&handle), QUELVAR_OK); }
    ~CHandle() { QuelvarReleaseHandle(handle); }
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;
    CQuelvar* get() const { return handle; }

    int Fetch(const std::string& url, const std::string& query = kQuery) const
    {
        EXPECT_EQ(QuelvarSetTargetUrl(handle, url.c_str()), QUELVAR_OK);
        return QuelvarGetRules(handle, query.data(), static_cast<int>(query.size()));
    }
    int Total() const
    {
        int total = -1;
        const int code = QuelvarGetTotalNum(handle, &total);
        return code == QUELVAR_OK ? total : -code;
    }
    std::string ProjectName() const { return Text(QuelvarGetProjectName); }
    std::string HashAlgo() const { return Text(QuelvarGetHashAlgo); }

    std::string Text(int (*getter)(CQuelvar*, char*, int*)) const
    {
        int length = -1;
        EXPECT_EQ(getter(handle, nullptr, &length), QUELVAR_OK);
        std::string text(static_cast<size_t>(length) + 1, '\0');
        EXPECT_EQ(getter(handle, text.data(), &length), QUELVAR_OK);
        EXPECT_EQ(text.back(), '\0') << "the getter wrote a terminator";
        text.pop_back();
        return text;
    }

private:
    CQuelvar* handle = nullptr;
};

class QuelvarAgainstDevServer : public testing::Test
{
protected:
    CTenderFolder tender { "KV-2026-001" };
    CDevServerProcess server { { "--tender", tender.Path().string() } };

    void SetUp() override { ASSERT_NE(server.Port(), 0) << server.FirstLine(); }
};

TEST_F(QuelvarAgainstDevServer, FetchesTheRulesAndAnswersEveryQuestion)
{
    const std::string document = MakeRulesDocument("Road works", 3, 2);
    tender.WriteRules(document);
    CHandle handle;
    ASSERT_EQ(handle.Fetch(server.Url("/rules")), QUELVAR_OK);

    int number = -1;
    EXPECT_EQ(QuelvarGetTotalNum(handle.get(), &number), QUELVAR_OK);
    EXPECT_EQ(number, 3);
    EXPECT_EQ(QuelvarGetCertCount(handle.get(), &number), QUELVAR_OK);
    EXPECT_EQ(number, 3);
    EXPECT_EQ(QuelvarGetMinNum(handle.get(), &number), QUELVAR_OK);
    EXPECT_EQ(number, 2);
    for (int index = 0; index < 3; ++index) {
        int length = -1;
        ASSERT_EQ(QuelvarGetCertLen(handle.get(), index, &length), QUELVAR_OK);
        std::string cert(static_cast<size_t>(length), '\0');
        int participate = -1;
        ASSERT_EQ(
            QuelvarGetCert(handle.get(), index, reinterpret_cast<unsigned char*>(cert.data()), &participate),
            QUELVAR_OK);
        EXPECT_EQ(participate, index < 2 ? 1 : 0) << index;
        EXPECT_FALSE(CertificateDer(cert).empty()) << "opener " << index << " holds no certificate";
    }
    EXPECT_EQ(handle.ProjectName(), "Road works");
    EXPECT_EQ(handle.Text(QuelvarGetOpenTime), "2026-12-08 09:30:00");
    EXPECT_EQ(handle.Text(QuelvarGetOpenOrg), "City office");
    EXPECT_EQ(handle.Text(QuelvarGetEncAlgo), "SM4");
    EXPECT_EQ(handle.HashAlgo(), "SM3");

    long fileLength = -1;
    ASSERT_EQ(QuelvarGetFileLen(handle.get(), &fileLength), QUELVAR_OK);
    ASSERT_EQ(fileLength, static_cast<long>(document.size()));
    std::string file(document.size(), '\0');
    ASSERT_EQ(QuelvarGetFileData(handle.get(), file.data()), QUELVAR_OK);
    EXPECT_EQ(file, document);
}

TEST_F(QuelvarAgainstDevServer, ComparesAFileByLengthThenBytes)
{
    const std::string document = ReadFileBytes(tender.RulesFile());
    CHandle handle;
    ASSERT_EQ(handle.Fetch(server.Url("/rules")), QUELVAR_OK);
    const int size = static_cast<int>(document.size());
    EXPECT_EQ(QuelvarCompareFile(handle.get(), document.data(), size), QUELVAR_OK);
    EXPECT_EQ(QuelvarCompareFile(handle.get(), document.data(), 0), QUELVAR_INVALID_ARGUMENT);
    EXPECT_EQ(QuelvarCompareFile(handle.get(), document.data(), -1), QUELVAR_INVALID_ARGUMENT);
    EXPECT_EQ(QuelvarCompareFile(handle.get(), nullptr, size), QUELVAR_INVALID_ARGUMENT);
    EXPECT_EQ(QuelvarCompareFile(handle.get(), document.data(), size - 1), QUELVAR_LENGTH_DIFFERS);
    std::string changed = document;
    changed[size / 2] ^= 1;
    EXPECT_EQ(QuelvarCompareFile(handle.get(), changed.data(), size), QUELVAR_DATA_DIFFERS);
}

TEST_F(QuelvarAgainstDevServer, CertificateIndexIsChecked)
{
    CHandle handle;
    ASSERT_EQ(handle.Fetch(server.Url("/rules")), QUELVAR_OK);
    unsigned char buffer[4096];
    int value = 0;
    EXPECT_EQ(QuelvarGetCert(handle.get(), 2, buffer, &value), QUELVAR_INDEX_OUT_OF_RANGE);
    EXPECT_EQ(QuelvarGetCert(handle.get(), -1, buffer, &value), QUELVAR_INVALID_ARGUMENT);
    EXPECT_EQ(QuelvarGetCertLen(handle.get(), 2, &value), QUELVAR_INDEX_OUT_OF_RANGE);
    EXPECT_EQ(QuelvarGetCertLen(handle.get(), -1, &value), QUELVAR_INVALID_ARGUMENT);
}

TEST_F(QuelvarAgainstDevServer, MinimumMayExceedTheTotal)
{
    tender.WriteRules(MakeRulesDocument("Road works", 1, 3));
    CHandle handle;
    ASSERT_EQ(handle.Fetch(server.Url("/rules")), QUELVAR_OK);
    int minimum = 0;
    EXPECT_EQ(QuelvarGetMinNum(handle.get(), &minimum), QUELVAR_OK);
    EXPECT_EQ(minimum, 3);
    EXPECT_EQ(handle.Total(), 1);
}

// Each failure of the document check, fetched over a handle that already holds rules: what the
// handle answers afterwards is part of the contract.
struct CFailureCase
{
    const char* name;
    std::vector<std::pair<std::string, std::string>> edits;
    int code;
    bool keepsRecord;
};

class QuelvarDocumentFailure : public QuelvarAgainstDevServer,
                               public testing::WithParamInterface<CFailureCase>
{
};

TEST_P(QuelvarDocumentFailure, GivesItsCodeAndLeavesTheHandleAsPromised)
{
    const std::string valid = ReadFileBytes(tender.RulesFile());
    CHandle handle;
    ASSERT_EQ(handle.Fetch(server.Url("/rules")), QUELVAR_OK);
    std::string document = Edited(valid, "Road works", "Bridge job");
    for (const auto& [what, with] : GetParam().edits) {
        document = Edited(document, what, with);
    }
    tender.WriteRules(document);

    EXPECT_EQ(handle.Fetch(server.Url("/rules")), GetParam().code);
    if (GetParam().keepsRecord) {
        EXPECT_EQ(handle.Total(), 2);
        EXPECT_EQ(handle.ProjectName(), "Road works");
    } else {
        EXPECT_EQ(handle.Total(), -QUELVAR_NO_RULES);
        long length = 0;
        EXPECT_EQ(QuelvarGetFileLen(handle.get(), &length), QUELVAR_NO_RULES);
        // projectname is read first of all, so it is stored before any of these failures.
        const bool nameMissing = GetParam().code == QUELVAR_NO_PROJECTNAME_ELEMENT;
        EXPECT_EQ(handle.ProjectName(), nameMissing ? "Road works" : "Bridge job");
    }
}

INSTANTIATE_TEST_SUITE_P(Codes, QuelvarDocumentFailure,
    testing::Values(CFailureCase { "NoRule", { { "<rule>", "<rulex>" }, { "</rule>", "</rulex>" } },
                        QUELVAR_NO_RULE_ELEMENT, true },
        CFailureCase { "NotXml", { { "<?xml", "not xml <" } }, QUELVAR_NO_RULE_ELEMENT, true },
        CFailureCase { "NoM", { { "<m>2</m>", "" } }, QUELVAR_NO_M_ELEMENT, false },
        CFailureCase { "BlankM", { { "<m>2</m>", "<m>  </m>" } }, QUELVAR_M_WITHOUT_TEXT, false },
        CFailureCase { "NoN", { { "<n>1</n>", "" } }, QUELVAR_NO_N_ELEMENT, false },
        CFailureCase { "EmptyN", { { "<n>1</n>", "<n></n>" } }, QUELVAR_N_WITHOUT_TEXT, false },
        CFailureCase {
            "TwoOpenersForThree", { { "<m>2</m>", "<m>3</m>" } }, QUELVAR_OPENER_COUNT_DIFFERS, false },
        CFailureCase { "NoCert", { { "<cert>", "<certx>" }, { "</cert>", "</certx>" } },
            QUELVAR_NO_CERT_ELEMENT, false },
        CFailureCase { "NoParticipate", { { "<participate>YES</participate>", "" } },
            QUELVAR_NO_PARTICIPATE_ELEMENT, false },
        CFailureCase {
            "EmptyCert", { { "<cert>", "<cert/><!--" }, { "</cert>", "-->" } }, QUELVAR_NO_CERT_DATA, false },
        CFailureCase { "NoOpenTime", { { "<opentime>2026-12-08 09:30:00</opentime>", "" } },
            QUELVAR_NO_OPENTIME_ELEMENT, false },
        CFailureCase { "NoOrganization", { { "<organization>City office</organization>", "" } },
            QUELVAR_NO_ORGANIZATION_ELEMENT, false },
        CFailureCase { "NoProjectName", { { "<projectname>Bridge job</projectname>", "" } },
            QUELVAR_NO_PROJECTNAME_ELEMENT, false },
        CFailureCase { "NoEncAlgo", { { "<encalog>SM4</encalog>", "" } }, QUELVAR_NO_ENCALOG_ELEMENT, false },
        CFailureCase {
            "NoHashAlgo", { { "<hashalog>SM3</hashalog>", "" } }, QUELVAR_NO_HASHALOG_ELEMENT, false }),
    [](const testing::TestParamInfo<CFailureCase>& testCase) { return std::string(testCase.param.name); });

TEST_F(QuelvarAgainstDevServer, MissingHashAlgoStoresTheTextsBeforeIt)
{
    const std::string valid = ReadFileBytes(tender.RulesFile());
    tender.WriteRules(Edited(
        Edited(Edited(valid, "<hashalog>SM3</hashalog>", ""), "SM4", "AES"), "Road works", "Bridge job"));
    CHandle handle;
    EXPECT_EQ(handle.Fetch(server.Url("/rules")), QUELVAR_NO_HASHALOG_ELEMENT);
    EXPECT_EQ(handle.ProjectName(), "Bridge job");
    EXPECT_EQ(handle.Text(QuelvarGetEncAlgo), "AES");
    EXPECT_EQ(handle.HashAlgo(), "");
}

TEST_F(QuelvarAgainstDevServer, UnreleasedRulesGiveTheRefusalAndKeepEarlierRules)
{
    CHandle handle;
    ASSERT_EQ(handle.Fetch(server.Url("/rules")), QUELVAR_OK);
    CTenderFolder later("KV-2026-002", "2099-01-01T00:00:00+08:00");
    CDevServerProcess laterServer({ "--tender", later.Path().string() });
    EXPECT_EQ(handle.Fetch(laterServer.Url("/rules"), "projectid=KV-2026-002"), QUELVAR_RULES_NOT_RELEASED);
    EXPECT_EQ(handle.Total(), 2);
}

TEST_F(QuelvarAgainstDevServer, UnknownProjectGets404HtmlWhichDecodesToNothing)
{
    CHandle handle;
    EXPECT_EQ(handle.Fetch(server.Url("/rules"), "projectid=NO-SUCH"), QUELVAR_EMPTY_BODY);
}

TEST_F(QuelvarAgainstDevServer, StoppedServerGivesDownloadFailureAndKeepsTheRules)
{
    CHandle handle;
    ASSERT_EQ(handle.Fetch(server.Url("/rules")), QUELVAR_OK);
    const std::string url = server.Url("/rules");
    ASSERT_EQ(server.Stop(SIGTERM), 0);
    EXPECT_EQ(handle.Fetch(url), QUELVAR_DOWNLOAD_FAILED);
    EXPECT_EQ(handle.Total(), 2);
}

TEST(QuelvarHandle, FreshHandleHasEmptyTextsAndNoRules)
{
    CHandle handle;
    EXPECT_EQ(handle.ProjectName(), "");
    for (auto getter : { QuelvarGetOpenTime, QuelvarGetOpenOrg, QuelvarGetProjectName, QuelvarGetEncAlgo,
             QuelvarGetHashAlgo }) {
        int length = 99;
        EXPECT_EQ(getter(handle.get(), nullptr, &length), QUELVAR_OK);
        EXPECT_EQ(length, 0);
    }
    int number = 0;
    long length = 0;
    char data[4] = "abc";
    EXPECT_EQ(QuelvarGetTotalNum(handle.get(), &number), QUELVAR_NO_RULES);
    EXPECT_EQ(QuelvarGetMinNum(handle.get(), &number), QUELVAR_NO_RULES);
    EXPECT_EQ(QuelvarGetCertCount(handle.get(), &number), QUELVAR_NO_RULES);
    EXPECT_EQ(QuelvarGetCertLen(handle.get(), 0, &number), QUELVAR_NO_RULES);
    EXPECT_EQ(QuelvarGetFileLen(handle.get(), &length), QUELVAR_NO_RULES);
    EXPECT_EQ(QuelvarGetFileData(handle.get(), data), QUELVAR_NO_RULES);
    EXPECT_EQ(QuelvarCompareFile(handle.get(), data, 3), QUELVAR_NO_RULES);
}

TEST(QuelvarHandle, NullHandleIsAnInvalidArgument)
{
    int number = 0;
    long length = 0;
    char buffer[8] = {};
    unsigned char bytes[8] = {};
    EXPECT_EQ(QuelvarReleaseHandle(nullptr), QUELVAR_OK);
    EXPECT_EQ(QuelvarCreateHandle(nullptr), QUELVAR_INVALID_ARGUMENT);
    EXPECT_EQ(QuelvarSetTargetUrl(nullptr, "http://127.0.0.1/"), QUELVAR_INVALID_ARGUMENT);
    EXPECT_EQ(QuelvarSetProxy(nullptr, "h", "1", "u", "p"), QUELVAR_INVALID_ARGUMENT);
    EXPECT_EQ(QuelvarGetRules(nullptr, "a", 1), QUELVAR_INVALID_ARGUMENT);
    EXPECT_EQ(QuelvarGetTotalNum(nullptr, &number), QUELVAR_INVALID_ARGUMENT);
    EXPECT_EQ(QuelvarGetMinNum(nullptr, &number), QUELVAR_INVALID_ARGUMENT);
    EXPECT_EQ(QuelvarGetCertCount(nullptr, &number), QUELVAR_INVALID_ARGUMENT);
    EXPECT_EQ(QuelvarGetCertLen(nullptr, 0, &number), QUELVAR_INVALID_ARGUMENT);
    EXPECT_EQ(QuelvarGetCert(nullptr, 0, bytes, &number), QUELVAR_INVALID_ARGUMENT);
    EXPECT_EQ(QuelvarGetOpenTime(nullptr, buffer, &number), QUELVAR_INVALID_ARGUMENT);
    EXPECT_EQ(QuelvarGetOpenOrg(nullptr, buffer, &number), QUELVAR_INVALID_ARGUMENT);
    EXPECT_EQ(QuelvarGetProjectName(nullptr, buffer, &number), QUELVAR_INVALID_ARGUMENT);
    EXPECT_EQ(QuelvarGetEncAlgo(nullptr, buffer, &number), QUELVAR_INVALID_ARGUMENT);
    EXPECT_EQ(QuelvarGetHashAlgo(nullptr, buffer, &number), QUELVAR_INVALID_ARGUMENT);
    EXPECT_EQ(QuelvarGetFileLen(nullptr, &length), QUELVAR_INVALID_ARGUMENT);
    EXPECT_EQ(QuelvarGetFileData(nullptr, buffer), QUELVAR_INVALID_ARGUMENT);
    EXPECT_EQ(QuelvarCompareFile(nullptr, buffer, 1), QUELVAR_INVALID_ARGUMENT);
}

struct CUrlCase
{
    const char* url;
    int code;
};

class QuelvarTargetUrl : public testing::TestWithParam<CUrlCase>
{
};

TEST_P(QuelvarTargetUrl, AcceptsOnlyASchemeOfLettersAndLeavesNothingOtherwise)
{
    CHandle handle;
    EXPECT_EQ(QuelvarSetTargetUrl(handle.get(), GetParam().url), GetParam().code);
    if (GetParam().code != QUELVAR_OK) {
        // The rejected text is gone: the fetch has nowhere to go.
        EXPECT_EQ(QuelvarGetRules(handle.get(), "x", 1), QUELVAR_DOWNLOAD_FAILED);
    }
}

INSTANTIATE_TEST_SUITE_P(Urls, QuelvarTargetUrl,
    testing::Values(CUrlCase { "http://127.0.0.1:1/rules", QUELVAR_OK },
        CUrlCase { "HTTPS://example.test/", QUELVAR_OK }, CUrlCase { "/etc/passwd", QUELVAR_NOT_A_URL },
        CUrlCase { "C:\\rules\\file.xml", QUELVAR_NOT_A_URL }, CUrlCase { "://no-scheme", QUELVAR_NOT_A_URL },
        CUrlCase { "http:/one-slash", QUELVAR_NOT_A_URL }, CUrlCase { "", QUELVAR_NOT_A_URL },
        CUrlCase { nullptr, QUELVAR_NOT_A_URL }));

TEST(QuelvarHandle, GetRulesBeforeAnyUrlFailsTheDownload)
{
    CHandle handle;
    EXPECT_EQ(QuelvarGetRules(handle.get(), kQuery.data(), static_cast<int>(kQuery.size())),
        QUELVAR_DOWNLOAD_FAILED);
}

TEST(QuelvarHandle, RefusesABodyFromNowhere)
{
    CHandle handle;
    EXPECT_EQ(QuelvarGetRules(handle.get(), nullptr, 5), QUELVAR_INVALID_ARGUMENT);
    EXPECT_EQ(QuelvarGetRules(handle.get(), "abc", -1), QUELVAR_INVALID_ARGUMENT);
}

TEST(QuelvarHandle, GetCertRefusesNullOutputs)
{
    CHandle handle;
    int participate = 0;
    unsigned char buffer[4];
    EXPECT_EQ(QuelvarGetCert(handle.get(), 0, nullptr, &participate), QUELVAR_INVALID_ARGUMENT);
    EXPECT_EQ(QuelvarGetCert(handle.get(), 0, buffer, nullptr), QUELVAR_INVALID_ARGUMENT);
    EXPECT_EQ(QuelvarGetOpenTime(handle.get(), nullptr, nullptr), QUELVAR_INVALID_ARGUMENT);
}

} // namespace
