// The texts of the result codes: table 1 for the rules-file library, table 2 for the sealed-file
// decryptor and CBidFileHolder. Built once, on first use, from the interface language of that
// moment; the texts never change afterwards.
#pragma once

#include <map>
#include <string>

class CResultTexts
{
public:
    static constexpr int kRulesTable = 1;
    static constexpr int kDecryptorTable = 2;

    // Writes the text of code in table into text and answers true; leaves text unchanged and
    // answers false for a code without an entry or another table. Safe from any thread.
    static bool GetText(int table, int code, std::wstring& text);

private:
    CResultTexts();
    static const CResultTexts& Instance();

    std::map<int, std::wstring> rulesTexts;
    std::map<int, std::wstring> decryptorTexts;
};
