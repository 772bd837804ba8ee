// The local log is process-wide, so this program owns it alone: its configuration folder is a
// temporary one set before any test runs, and the tests below run in the order written.
#include "app/LocalLog.h"
#include "tests/support/TempDir.h"

#include <ctime>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

const CTempDir& ConfigRoot()
{
    static const CTempDir dir;
    return dir;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string Today()
{
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &local);
    return text;
}

const std::regex kPrefix(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )");

TEST(LocalLog, SwitchesOnOnlyForExactlyTrueAndFormsThePathOnce)
{
    // Preparing the folder fails while the configuration folder is a file: nothing is set up.
    const fs::path blocked = ConfigRoot().WriteFile("blocked", "x");
    {
        CScopedEnv config("XDG_CONFIG_HOME", blocked.c_str());
        EXPECT_FALSE(InitLocalLog(L"true"));
        EXPECT_EQ(WriteLocalLog(3, "lost\n"), 0);
    }
    CScopedEnv config("XDG_CONFIG_HOME", (ConfigRoot() / "config").c_str());

    EXPECT_EQ(WriteLocalLog(1, "before init\n"), 0);
    EXPECT_TRUE(InitLocalLog(L"TRUE"));
    EXPECT_EQ(WriteLocalLog(1, "switched off\n"), 1);
    EXPECT_EQ(GetLocalLogPath(), "");

    // Switching on later forms the file then, so that the lines asked for are written.
    EXPECT_TRUE(InitLocalLog(L"true"));
    const fs::path expected = ConfigRoot() / "config" / "QUARN" / "logs" / "rmw" / (Today() + ".log");
    EXPECT_EQ(GetLocalLogPath(), expected.string());
    EXPECT_EQ(WriteLocalLog(3, "on\n"), 1);
    EXPECT_TRUE(fs::exists(expected));

    // The file stays the one of the first day, whatever the configuration folder becomes.
    CScopedEnv moved("XDG_CONFIG_HOME", (ConfigRoot() / "elsewhere").c_str());
    EXPECT_TRUE(InitLocalLog(L"false"));
    EXPECT_EQ(WriteLocalLog(4, "off again\n"), 1);
    EXPECT_TRUE(InitLocalLog(L"true"));
    EXPECT_EQ(GetLocalLogPath(), expected.string());
    EXPECT_FALSE(fs::exists(ConfigRoot() / "elsewhere"));

    const auto lines = Lines(ReadFileBytes(expected));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} INFO    on)")))
        << lines[0];
}

class LocalLogOn : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(InitLocalLog(L"true"));
        file = GetLocalLogPath();
        fs::remove(file);
    }
    std::string Written() const { return ReadFileBytes(file); }
    fs::path file;
};

TEST_F(LocalLogOn, LevelTextsAreEightCharactersAndUnknownLevelsAreNotWritten)
{
    EXPECT_EQ(WriteLocalLog(1, "e\n"), 1);
    EXPECT_EQ(WriteLocalLog(2, "w\n"), 1);
    EXPECT_EQ(WriteLocalLog(3, "i\n"), 1);
    EXPECT_EQ(WriteLocalLog(4, "d\n"), 1);
    EXPECT_EQ(WriteLocalLog(0, "zero\n"), 0);
    EXPECT_EQ(WriteLocalLog(-1, "negative\n"), 0);
    EXPECT_EQ(WriteLocalLog(5, "above every level\n"), 1);
    const auto lines = Lines(Written());
    ASSERT_EQ(lines.size(), 4u);
    const char* expected[] = { "ERROR   e", "WARNING w", "INFO    i", "DEBUG   d" };
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(std::regex_replace(lines[i], kPrefix, ""), expected[i]);
        EXPECT_TRUE(std::regex_search(lines[i], kPrefix));
    }
}

TEST_F(LocalLogOn, MessageIsWrittenAsFormattedWithNothingAdded)
{
    EXPECT_EQ(WriteLocalLog(3, " %s \n  ", "abc"), 1);
    EXPECT_EQ(WriteLocalLog(3, "%d|%s\n", 42, "\xE5\xBC\x80\xE6\xA0\x87"), 1);
    const std::string text = std::regex_replace(Written(), kPrefix, "");
    EXPECT_EQ(text, "INFO     abc \n  INFO    42|\xE5\xBC\x80\xE6\xA0\x87\n");
}

TEST_F(LocalLogOn, LongLineIsCutAt8191Bytes)
{
    EXPECT_EQ(WriteLocalLog(3, "%s", std::string(10000, 'a').c_str()), 1);
    EXPECT_EQ(Written().size(), 8191u);
}

TEST_F(LocalLogOn, CutLineKeepsItsLineBreakAndWholeCharacters)
{
    // Three-byte characters: a cut in the middle of one moves back to its start.
    std::string chinese;
    for (int i = 0; i < 4000; ++i) {
        chinese += "\xE6\xA0\x87";
    }
    EXPECT_EQ(WriteLocalLog(3, "%s\n", chinese.c_str()), 1);
    EXPECT_EQ(WriteLocalLog(3, "next\n"), 1);
    const auto lines = Lines(Written());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_LE(lines[0].size() + 1, 8191u);
    EXPECT_GT(lines[0].size() + 1, 8191u - 3);
    EXPECT_EQ((lines[0].size() - 32) % 3, 0u) << "a character was cut in half";
    EXPECT_EQ(std::regex_replace(lines[1], kPrefix, ""), "INFO    next");
}

TEST_F(LocalLogOn, ConcurrentWritersNeverMixTheirLines)
{
    constexpr int kThreads = 8;
    constexpr int kLines = 400;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            // Lines of different lengths, long enough that a torn write would show.
            const std::string padding(100 + t * 37, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i) {
                WriteLocalLog(1 + (i % 4), "thread %d line %d %s end\n", t, i, padding.c_str());
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const std::regex whole(
        R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (ERROR   |WARNING |INFO    |DEBUG   )thread (\d) line (\d+) ([a-z]+) end)");
    std::map<int, std::vector<int>> seen;
    for (const std::string& line : Lines(Written())) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, whole)) << line.substr(0, 120);
        const int t = std::stoi(match[2]);
        EXPECT_EQ(match[4].length(), 100 + t * 37);
        seen[t].push_back(std::stoi(match[3]));
    }
    ASSERT_EQ(seen.size(), static_cast<std::size_t>(kThreads));
    for (const auto& [t, numbers] : seen) {
        ASSERT_EQ(numbers.size(), static_cast<std::size_t>(kLines)) << "thread " << t;
        for (int i = 0; i < kLines; ++i) {
            EXPECT_EQ(numbers[i], i);
        }
    }
}

} // namespace
