#include "tests/support/ScriptedPrompt.h"

CScriptedPrompt::CScriptedPrompt(std::deque<int> scripted, int otherwise)
    : answers(std::move(scripted))
    , fallback(otherwise)
{
}

int CScriptedPrompt::Ask(const std::wstring& text, const std::wstring& caption, unsigned type)
{
    const std::lock_guard lock(mutex);
    questions.push_back({ text, caption, type });
    if (answers.empty()) {
        ++unanswered;
        return fallback;
    }
    const int answer = answers.front();
    answers.pop_front();
    return answer;
}

void CScriptedPrompt::AddAnswer(int answer)
{
    const std::lock_guard lock(mutex);
    answers.push_back(answer);
}

std::vector<CScriptedPrompt::Question> CScriptedPrompt::Questions() const
{
    const std::lock_guard lock(mutex);
    return questions;
}

int CScriptedPrompt::Unanswered() const
{
    const std::lock_guard lock(mutex);
    return unanswered;
}
