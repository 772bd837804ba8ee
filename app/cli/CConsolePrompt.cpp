#include "CConsolePrompt.h"

#include "app/LanguageCatalogue.h"
#include "app/TextConversion.h"

#include <cwctype>
#include <string_view>
#include <vector>

namespace {

const char* AnswerName(int answer)
{
    switch (answer) {
    case IDOK:
        return "OK";
    case IDCANCEL:
        return "Cancel";
    case IDYES:
        return "Yes";
    case IDNO:
        return "No";
    }
    return "?";
}

// The answer when nobody can answer: the one that changes nothing.
int CautiousAnswer(unsigned type)
{
    switch (type & MB_TYPEMASK) {
    case MB_YESNO:
        return IDNO;
    case MB_YESNOCANCEL:
    case MB_OKCANCEL:
        return IDCANCEL;
    default:
        return IDOK;
    }
}

void PrintQuestion(std::FILE* out, const std::wstring& caption, const std::wstring& text)
{
    std::fprintf(out, "? [%s] %s\n", WideToUtf8(caption).c_str(), WideToUtf8(text).c_str());
}

} // namespace

bool MatchesFilledText(const std::wstring& text, const std::wstring& pattern)
{
    size_t t = 0;
    for (size_t p = 0; p < pattern.size(); ++p) {
        if (pattern.compare(p, 2, L"%d") == 0) {
            if (t < text.size() && text[t] == L'-')
                ++t;
            const size_t digits = t;
            while (t < text.size() && std::iswdigit(text[t]))
                ++t;
            if (t == digits)
                return false;
            ++p;
        } else if (t >= text.size() || text[t++] != pattern[p]) {
            return false;
        }
    }
    return t == text.size();
}

int CConsolePrompt::Ask(const std::wstring& text, const std::wstring& caption, unsigned type)
{
    std::lock_guard lock(mutex);
    PrintQuestion(out, caption, text);
    struct Choice
    {
        const char* letters;
        int answer;
    };
    std::vector<Choice> choices;
    switch (type & MB_TYPEMASK) {
    case MB_YESNO:
        choices = { { "yY", IDYES }, { "nN", IDNO } };
        break;
    case MB_YESNOCANCEL:
        choices = { { "yY", IDYES }, { "nN", IDNO }, { "cC", IDCANCEL } };
        break;
    case MB_OKCANCEL:
        choices = { { "oO", IDOK }, { "cC", IDCANCEL } };
        break;
    default:
        choices = { { "oO", IDOK } };
        break;
    }
    std::string hint;
    for (const Choice& choice : choices)
        hint += std::string(hint.empty() ? "" : "/") + AnswerName(choice.answer);
    for (;;) {
        std::fprintf(out, "  %s? ", hint.c_str());
        std::fflush(out);
        std::string line;
        if (!std::getline(in, line)) {
            const int answer = CautiousAnswer(type);
            std::fprintf(out, "(end of input: %s)\n", AnswerName(answer));
            return answer;
        }
        if (choices.size() == 1 && line.empty())
            return IDOK;
        for (const Choice& choice : choices) {
            if (!line.empty()
                && std::string_view(choice.letters).find(line.front()) != std::string_view::npos)
                return choice.answer;
        }
    }
}

bool CUnattendedPrompt::Is(const std::wstring& text, const char* key) const
{
    return MatchesFilledText(text, texts.GetText(key));
}

int CUnattendedPrompt::Ask(const std::wstring& text, const std::wstring& caption, unsigned type)
{
    std::lock_guard lock(mutex);
    int answer = CautiousAnswer(type);
    if (Is(text, "insert_bidder_key")) {
        answer = noKeyInARow >= 2 ? IDNO : IDYES;
    } else if (Is(text, "found_no_key")) {
        ++noKeyInARow;
    } else if (Is(text, "try_goon") && (type & MB_TYPEMASK) == MB_YESNOCANCEL) {
        answer = IDCANCEL;
    } else if (Is(text, "bidder_confirm") && (type & MB_TYPEMASK) == MB_OKCANCEL) {
        answer = IDOK;
    } else if (text.starts_with(texts.GetText("drill_insert_token")) && (type & MB_TYPEMASK) == MB_OKCANCEL) {
        // The drill tries the tokens present as they are.
        answer = IDOK;
    }
    // Any other question between two passes means the keys were found after all.
    if (!Is(text, "insert_bidder_key") && !Is(text, "found_no_key"))
        noKeyInARow = 0;
    PrintQuestion(out, caption, text);
    std::fprintf(out, "  answered %s (--yes)\n", AnswerName(answer));
    std::fflush(out);
    return answer;
}
