#include "app/TextConversion.h"

#include "FreeWith.h"
#include "IconvDecode.h"

#include <cerrno>
#include <cstring>
#include <iconv.h>
#include <memory>
#include <vector>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at the start of text. Returns its length in bytes, or 0 when the
// bytes there are not a valid sequence.
std::size_t DecodeOne(std::string_view text, char32_t& value)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        value = lead;
        return 1;
    }
    std::size_t length = 0;
    char32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        value = lead & 0x1F;
        minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        value = lead & 0x0F;
        minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        value = lead & 0x07;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (text.size() < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
        value = (value << 6) | (byte(i) & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return 0;
    }
    return length;
}

void AppendUtf8(std::string& out, char32_t c)
{
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        c = kReplacement;
    }
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// GB18030 covers every byte pair of GBK. Bytes that are not GB18030 either become U+FFFD.
std::wstring Gb18030ToWide(std::string_view text)
{
    const iconv_t converter = iconv_open("WCHAR_T", "GB18030");
    if (converter == reinterpret_cast<iconv_t>(-1)) {
        return Utf8ToWide(text);
    }
    const kelvane::FreedPtr<void, iconv_close> owner(converter);
    return kelvane::DecodeWithReplacement(converter, text);
}

} // namespace

std::string WideToUtf8(std::wstring_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const wchar_t c : text) {
        AppendUtf8(out, static_cast<char32_t>(c));
    }
    return out;
}

std::wstring Utf8ToWide(std::string_view text)
{
    std::wstring out;
    out.reserve(text.size());
    while (!text.empty()) {
        char32_t value = 0;
        const std::size_t length = DecodeOne(text, value);
        if (length == 0) {
            out += static_cast<wchar_t>(kReplacement);
            text.remove_prefix(1);
        } else {
            out += static_cast<wchar_t>(value);
            text.remove_prefix(length);
        }
    }
    return out;
}

bool IsValidUtf8(std::string_view text)
{
    while (!text.empty()) {
        char32_t value = 0;
        const std::size_t length = DecodeOne(text, value);
        if (length == 0) {
            return false;
        }
        text.remove_prefix(length);
    }
    return true;
}

std::string WideToAnsi(std::wstring_view text)
{
    return WideToUtf8(text);
}

std::wstring AnsiToWide(std::string_view text)
{
    return IsValidUtf8(text) ? Utf8ToWide(text) : Gb18030ToWide(text);
}

std::string AnsiToUtf8(std::string_view text)
{
    return WideToUtf8(AnsiToWide(text));
}

namespace {

bool IsControlCharacter(unsigned value)
{
    return value < 0x20 || value == 0x7F || (value >= 0x80 && value <= 0x9F);
}

template <typename Char> void AppendEscape(std::basic_string<Char>& out, unsigned value)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    const char* const prefix = value < 0x80 ? "\\x" : "\\u00";
    for (const char* p = prefix; *p != '\0'; ++p)
        out.push_back(static_cast<Char>(*p));
    out.push_back(static_cast<Char>(kDigits[(value >> 4) & 0xF]));
    out.push_back(static_cast<Char>(kDigits[value & 0xF]));
}

} // namespace

std::wstring EscapeControlCharacters(std::wstring_view text)
{
    std::wstring out;
    out.reserve(text.size());
    for (const wchar_t c : text) {
        const auto value = static_cast<unsigned>(c);
        if (IsControlCharacter(value))
            AppendEscape(out, value);
        else
            out.push_back(c);
    }
    return out;
}

std::string EscapeControlCharacters(std::string_view text)
{
    // C1 characters are two bytes in UTF-8 (C2 80 to C2 9F); a lone byte that is not UTF-8 is
    // left alone, as it steers no terminal that reads UTF-8.
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (IsControlCharacter(byte) && byte < 0x80) {
            AppendEscape(out, byte);
        } else if (byte == 0xC2 && i + 1 < text.size()
            && IsControlCharacter(static_cast<unsigned char>(text[i + 1]))) {
            AppendEscape(out, static_cast<unsigned char>(text[i + 1]));
            ++i;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::wstring TrimBlanks(const std::wstring& text)
{
    constexpr wchar_t kBlanks[] = L" \t\r\n";
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::wstring::npos)
        return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}
