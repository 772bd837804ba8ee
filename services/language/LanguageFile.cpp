#include "services/language/LanguageFile.h"

#include <cerrno>
#include <cstring>
#include <iconv.h>
#include <memory>
#include <vector>

namespace {

struct IconvCloser
{
    void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};
using IconvPtr = std::unique_ptr<void, IconvCloser>;

// Decodes UTF-8, turning every byte that does not start a valid sequence into U+FFFD so that one
// damaged line never costs the whole file.
std::wstring DecodeUtf8(iconv_t cd, std::string_view text)
{
    std::string in(text);
    // Every UTF-8 byte yields at most one character, so the output never runs short.
    std::vector<wchar_t> out(in.size() + 1);
    char* inPtr = in.data();
    size_t inLeft = in.size();
    char* outPtr = reinterpret_cast<char*>(out.data());
    size_t outLeft = out.size() * sizeof(wchar_t);
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    while (inLeft > 0) {
        if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1)) {
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

std::string_view TrimBlanks(std::string_view s)
{
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = s.find_last_not_of(" \t");
    return s.substr(first, last - first + 1);
}

} // namespace

bool ParseLanguageFile(std::string_view bytes, LanguageTable& table)
{
    table.clear();
    if (bytes.size() > kMaxLanguageFileBytes) {
        return false;
    }
    const iconv_t converter = iconv_open("WCHAR_T", "UTF-8");
    if (converter == reinterpret_cast<iconv_t>(-1)) {
        return false;
    }
    const IconvPtr cd(converter);
    if (bytes.starts_with("\xEF\xBB\xBF")) {
        bytes.remove_prefix(3);
    }
    while (!bytes.empty()) {
        const auto end = bytes.find('\n');
        std::string_view line = bytes.substr(0, end);
        bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        const std::string_view content = TrimBlanks(line);
        if (content.empty() || content.front() == '#') {
            continue;
        }
        const auto equals = content.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        const std::string_view key = TrimBlanks(content.substr(0, equals));
        if (key.empty()) {
            continue;
        }
        // The value keeps its blanks: translations often end in a blank before appended text.
        const std::string_view value = line.substr(line.find('=') + 1);
        table.insert_or_assign(std::string(key), DecodeUtf8(converter, value));
    }
    return true;
}
