// The rules download's Base64 decoding on arbitrary text: the output size follows from where the
// alphabet ends, and whole groups re-encode to exactly the text they came from.
#include "core/RulesBase64.h"

#include <cstddef>
#include <cstdint>
#include <openssl/evp.h>
#include <string>
#include <string_view>

namespace {

bool IsAlphabet(const char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

void Check(const bool condition)
{
    if (!condition) {
        __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, const size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string decoded = rules::DecodeRulesBase64(text);
    size_t end = 0;
    while (end < text.size() && IsAlphabet(text[end])) {
        ++end;
    }
    const size_t whole = end / 4;
    const size_t rest = end % 4;
    Check(decoded.size() == whole * 3 + (rest > 1 ? rest - 1 : 0));
    std::string encoded(whole * 4 + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
        reinterpret_cast<const unsigned char*>(decoded.data()), static_cast<int>(whole * 3));
    Check(static_cast<size_t>(length) == whole * 4);
    Check(text.compare(0, whole * 4, encoded.data(), whole * 4) == 0);
    return 0;
}
