#include "app/LanguageCatalogue.h"
#include "app/OutputLine.h"
#include "app/cli/CConsoleOutput.h"
#include "app/cli/CConsolePrompt.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <memory>
#include <sstream>

namespace {

struct FileCloser
{
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// Built-in texts only: the language folder does not exist.
CLanguageCatalogue& BuiltInTexts()
{
    static CLanguageCatalogue catalogue("/nonexistent-language-folder", 2052);
    static const bool loaded = (catalogue.Load(), true);
    (void)loaded;
    return catalogue;
}

std::wstring Text(const char* key)
{
    return BuiltInTexts().GetText(key);
}

std::wstring TryGoOn(int count)
{
    std::wstring text = Text("try_goon");
    text.replace(text.find(L"%d"), 2, std::to_wstring(count));
    return text;
}

} // namespace

TEST(ConsoleOutput, LinesCarryTheBlankPaddedTimePrefix)
{
    std::tm t {};
    t.tm_year = 2024 - 1900;
    t.tm_mon = 2;
    t.tm_mday = 5;
    t.tm_hour = 9;
    t.tm_min = 7;
    t.tm_sec = 3;
    EXPECT_EQ(FormatOutputLine(t, L"开始解标..."), L"2024- 3- 5  9: 7: 3   开始解标...");
    t.tm_mon = 11;
    t.tm_mday = 25;
    t.tm_hour = 23;
    EXPECT_EQ(FormatOutputLine(t, L""), L"2024-12-25 23: 7: 3   ");
    // A bid's file name cannot start a forged line or send escape codes to the terminal.
    EXPECT_EQ(FormatOutputLine(t, L"a\n2024-12-25 23: 7: 3   ok\x1b[2J\r\x85.bidx"),
        L"2024-12-25 23: 7: 3   a\\x0A2024-12-25 23: 7: 3   ok\\x1B[2J\\x0D\\u0085.bidx");
}

TEST(ConsoleOutput, WritesWholeUtf8Lines)
{
    std::unique_ptr<std::FILE, FileCloser> file(std::tmpfile());
    CConsoleOutput output(file.get());
    output.Output(L"---->获取规则成功", 1);
    output.Output(L"second", 1);
    std::rewind(file.get());
    char line[256];
    ASSERT_TRUE(std::fgets(line, sizeof line, file.get()));
    EXPECT_NE(std::string(line).find("   ---->获取规则成功\n"), std::string::npos);
    ASSERT_TRUE(std::fgets(line, sizeof line, file.get()));
    EXPECT_NE(std::string(line).find("   second\n"), std::string::npos);
}

TEST(FilledText, MatchesNumbersWhereThePatternHasThem)
{
    EXPECT_TRUE(MatchesFilledText(L"还有3个", L"还有%d个"));
    EXPECT_TRUE(MatchesFilledText(L"还有12个", L"还有%d个"));
    EXPECT_TRUE(MatchesFilledText(L"plain", L"plain"));
    EXPECT_FALSE(MatchesFilledText(L"还有个", L"还有%d个"));
    EXPECT_FALSE(MatchesFilledText(L"还有3个!", L"还有%d个"));
    EXPECT_FALSE(MatchesFilledText(L"还有3", L"还有%d个"));
    EXPECT_FALSE(MatchesFilledText(L"", L"x"));
}

TEST(UnattendedPrompt, OpensWhatIsReadyAndAlwaysEnds)
{
    std::unique_ptr<std::FILE, FileCloser> sink(std::tmpfile());
    CUnattendedPrompt prompt(BuiltInTexts(), sink.get());
    const std::wstring tips = Text("tips");

    EXPECT_EQ(prompt.Ask(Text("insert_bidder_key"), tips, MB_YESNO | MB_ICONINFORMATION), IDYES);
    EXPECT_EQ(prompt.Ask(TryGoOn(2), tips, MB_YESNOCANCEL | MB_ICONINFORMATION), IDCANCEL);
    EXPECT_EQ(prompt.Ask(Text("bidder_confirm"), tips, MB_OKCANCEL | MB_ICONINFORMATION), IDOK);
    EXPECT_EQ(prompt.Ask(L"本次开标已完成", L"提示", MB_OK | MB_ICONINFORMATION), IDOK);
    // Questions it does not know get the answer that changes nothing.
    EXPECT_EQ(prompt.Ask(L"Replace the file?", tips, MB_YESNO), IDNO);
    EXPECT_EQ(prompt.Ask(L"Something else?", tips, MB_OKCANCEL), IDCANCEL);
}

TEST(UnattendedPrompt, GivesUpAfterTwoPassesWithoutKeys)
{
    std::unique_ptr<std::FILE, FileCloser> sink(std::tmpfile());
    CUnattendedPrompt prompt(BuiltInTexts(), sink.get());
    const std::wstring insert = Text("insert_bidder_key"), noKey = Text("found_no_key");

    EXPECT_EQ(prompt.Ask(insert, L"", MB_YESNO), IDYES);
    EXPECT_EQ(prompt.Ask(noKey, L"", MB_OK | MB_ICONWARNING), IDOK);
    EXPECT_EQ(prompt.Ask(insert, L"", MB_YESNO), IDYES);
    EXPECT_EQ(prompt.Ask(noKey, L"", MB_OK | MB_ICONWARNING), IDOK);
    EXPECT_EQ(prompt.Ask(insert, L"", MB_YESNO), IDNO);

    // A pass that found keys in between starts the count again.
    CUnattendedPrompt again(BuiltInTexts(), sink.get());
    EXPECT_EQ(again.Ask(noKey, L"", MB_OK), IDOK);
    EXPECT_EQ(again.Ask(TryGoOn(1), L"", MB_YESNOCANCEL), IDCANCEL);
    EXPECT_EQ(again.Ask(noKey, L"", MB_OK), IDOK);
    EXPECT_EQ(again.Ask(insert, L"", MB_YESNO), IDYES);
}

TEST(ConsolePrompt, ReadsAnswersAndTakesEndOfInputAsTheCautiousOne)
{
    std::unique_ptr<std::FILE, FileCloser> sink(std::tmpfile());
    std::istringstream answers("maybe\ny\nc\nno\n\n");
    CConsolePrompt prompt(answers, sink.get());
    EXPECT_EQ(prompt.Ask(L"q1", L"c", MB_YESNO), IDYES); // "maybe" is asked again
    EXPECT_EQ(prompt.Ask(L"q2", L"c", MB_YESNOCANCEL), IDCANCEL);
    EXPECT_EQ(prompt.Ask(L"q3", L"c", MB_YESNO), IDNO);
    EXPECT_EQ(prompt.Ask(L"q4", L"c", MB_OK), IDOK);
    // Input is exhausted now.
    EXPECT_EQ(prompt.Ask(L"q5", L"c", MB_YESNO), IDNO);
    EXPECT_EQ(prompt.Ask(L"q6", L"c", MB_OKCANCEL), IDCANCEL);
    EXPECT_EQ(prompt.Ask(L"q7", L"c", MB_YESNOCANCEL), IDCANCEL);
    EXPECT_EQ(prompt.Ask(L"q8", L"c", MB_OK), IDOK);
}
