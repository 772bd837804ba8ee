#include "services/language/LanguageFile.h"

#include "FreeWith.h"
#include "IconvDecode.h"

#include <cerrno>
#include <cstring>
#include <iconv.h>
#include <memory>
#include <vector>

namespace {

using IconvPtr = kelvane::FreedPtr<void, iconv_close>;

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
        table.insert_or_assign(std::string(key), kelvane::DecodeWithReplacement(converter, value));
    }
    return true;
}
