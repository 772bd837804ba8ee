// Small helpers for tests of the PKI library: library memory into std types.
#pragma once

#include "QuarnPKI.h"

#include <string>
#include <vector>

namespace kelvane::test {

// Takes a library buffer into a vector and frees it.
inline std::vector<unsigned char> TakeBytes(unsigned char* data, int length)
{
    std::vector<unsigned char> bytes;
    if (data != nullptr && length > 0) {
        bytes.assign(data, data + length);
    }
    QuarnPKICryptoFreeMemory(data);
    return bytes;
}

inline std::string TakeText(char* text)
{
    std::string value = text != nullptr ? text : "";
    QuarnPKICryptoFreeMemory(text);
    return value;
}

inline std::string Hex(const std::vector<unsigned char>& bytes)
{
    static const char* digits = "0123456789abcdef";
    std::string hex;
    for (const unsigned char b : bytes) {
        hex.push_back(digits[b >> 4]);
        hex.push_back(digits[b & 15]);
    }
    return hex;
}

inline std::vector<unsigned char> Bytes(const std::string& text)
{
    return { text.begin(), text.end() };
}

} // namespace kelvane::test
