#include "IconvDecode.h"

#include <cerrno>
#include <cstring>
#include <vector>

namespace kelvane {

std::wstring DecodeWithReplacement(iconv_t converter, std::string_view text)
{
    std::string in(text);
    // Every input byte yields at most one character, so the output never runs short.
    std::vector<wchar_t> out(in.size() + 1);
    char* inPtr = in.data();
    size_t inLeft = in.size();
    char* outPtr = reinterpret_cast<char*>(out.data());
    size_t outLeft = out.size() * sizeof(wchar_t);
    iconv(converter, nullptr, nullptr, nullptr, nullptr);
    while (inLeft > 0) {
        if (iconv(converter, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1)) {
            break;
        }
        if (errno != EILSEQ && errno != EINVAL) {
            break;
        }
        constexpr wchar_t replacement = 0xFFFD;
        std::memcpy(outPtr, &replacement, sizeof replacement);
        outPtr += sizeof replacement;
        outLeft -= sizeof replacement;
        ++inPtr;
        --inLeft;
    }
    return std::wstring(out.data(), reinterpret_cast<wchar_t*>(outPtr) - out.data());
}

} // namespace kelvane
