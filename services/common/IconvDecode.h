// Decoding with iconv that never loses the rest of a text to one bad byte.
#pragma once

#include <iconv.h>
#include <string>
#include <string_view>

namespace kelvane {

// Decodes text into wide characters with converter (opened towards "WCHAR_T"); every byte that
// does not start a valid sequence becomes U+FFFD and decoding goes on after it. The converter's
// state is reset first.
std::wstring DecodeWithReplacement(iconv_t converter, std::string_view text);

} // namespace kelvane
