// A prompt that answers from a script and records every question, for tests of code that asks
// the operator. Safe to use from worker threads.
#pragma once

#include "app/IPrompt.h"

#include <deque>
#include <mutex>
#include <string>
#include <vector>

class CScriptedPrompt : public IPrompt
{
public:
    struct Question
    {
        std::wstring text;
        std::wstring caption;
        unsigned type;
    };

    // Answers are given in order; when they run out, every further question gets fallback.
    explicit CScriptedPrompt(std::deque<int> answers = {}, int fallback = IDCANCEL);

    int Ask(const std::wstring& text, const std::wstring& caption, unsigned type) override;

    void AddAnswer(int answer);
    std::vector<Question> Questions() const;
    // How many questions found no scripted answer left.
    int Unanswered() const;

private:
    mutable std::mutex mutex;
    std::deque<int> answers;
    int fallback;
    int unanswered = 0;
    std::vector<Question> questions;
};
