#include "RulesBase64.h"

#include <cstddef>
#include <openssl/evp.h>

namespace rules {

namespace {

bool IsAlphabet(const char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

// EVP_DecodeBlock decodes whole groups of four and always yields three bytes per group.
std::size_t DecodeGroups(const char* in, const std::size_t length, unsigned char* out)
{
    const int produced
        = EVP_DecodeBlock(out, reinterpret_cast<const unsigned char*>(in), static_cast<int>(length));
    return produced < 0 ? 0 : static_cast<std::size_t>(produced);
}

} // namespace

std::string DecodeRulesBase64(const std::string_view text)
{
    std::size_t end = 0;
    while (end < text.size() && IsAlphabet(text[end])) {
        ++end;
    }
    // Whole groups are decoded in slices that keep EVP_DecodeBlock's int length in range.
    constexpr std::size_t kSlice = std::size_t { 1 } << 28;
    const std::size_t whole = end / 4 * 4;
    const std::size_t rest = end - whole;
    std::string decoded(whole / 4 * 3 + (rest > 1 ? rest - 1 : 0), '\0');
    auto* out = reinterpret_cast<unsigned char*>(decoded.data());
    for (std::size_t at = 0; at < whole; at += kSlice) {
        const std::size_t slice = whole - at < kSlice ? whole - at : kSlice;
        out += DecodeGroups(text.data() + at, slice, out);
    }
    if (rest > 1) {
        // A last group of two or three characters is filled up with zero digits ("A"); only its
        // leading bytes carry data.
        char group[4] = { 'A', 'A', 'A', 'A' };
        for (std::size_t i = 0; i < rest; ++i) {
            group[i] = text[whole + i];
        }
        unsigned char bytes[3] = {};
        DecodeGroups(group, 4, bytes);
        for (std::size_t i = 0; i + 1 < rest; ++i) {
            *out++ = bytes[i];
        }
    }
    return decoded;
}

} // namespace rules
