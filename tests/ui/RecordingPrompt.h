// A prompt that records every box it is asked and answers from a fixed answer.
#pragma once

#include "app/IPrompt.h"

#include <string>
#include <vector>

class CRecordingPrompt : public IPrompt
{
public:
    explicit CRecordingPrompt(int reply = IDOK)
        : answer(reply)
    {
    }

    int Ask(const std::wstring& text, const std::wstring& caption, unsigned type) override
    {
        asked.push_back({ text, caption, type });
        return answer;
    }

    struct Box
    {
        std::wstring text;
        std::wstring caption;
        unsigned type;
    };
    std::vector<Box> asked;
    int answer;
};
