// The token set of the token test program, shared by its test files.
#pragma once

#include "PkiPrompts.h"
#include "QuarnPKI.h"
#include "TestTokenSet.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <map>
#include <string>

namespace kelvane::test {

inline const std::string kOpener = "开标人 Opener 1"; // blanks and Chinese in the label
inline const std::string kEcOpener = "Opener EC";
inline const std::string kOperator = "操作员 Key";
inline const std::string kGuarded = "Guarded Token";
inline const std::string kFromFile = "Pin File Token";
inline const std::string kFromVariable = "变量 Token 2";
inline const std::string kEcSigner = "Signer EC";

CTestTokenSet& Tokens();

// Answers PIN prompts from a table and counts them per token.
struct CPinBook
{
    std::map<std::string, std::string> pins;
    std::map<std::string, int> asked;

    static int Answer(void* self, const char* label, int, char* pin, int capacity)
    {
        auto* book = static_cast<CPinBook*>(self);
        ++book->asked[label];
        const auto it = book->pins.find(label);
        if (it == book->pins.end() || static_cast<int>(it->second.size()) >= capacity) {
            return 0;
        }
        std::snprintf(pin, static_cast<size_t>(capacity), "%s", it->second.c_str());
        return 1;
    }
};

class PkiTokens : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Tokens();
        book.pins = { { kOpener, "111111" }, { kEcOpener, "222222" }, { kOperator, "333333" },
            { kEcSigner, "777777" } };
        QuarnPKISetPinPromptHook(&CPinBook::Answer, &book);
    }
    void TearDown() override { QuarnPKISetPinPromptHook(&kelvane::TerminalPinPrompt, nullptr); }

    static void* Cert(const std::string& label, size_t index = 0)
    {
        const auto& der = Tokens().Token(label).keys.at(index).certDer;
        return QuarnPKICertNewCert(der.data(), static_cast<int>(der.size()));
    }

    CPinBook book;
};

} // namespace kelvane::test
