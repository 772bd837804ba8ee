// Reader of the language file format: UTF-8 "key=value" lines, "#" comments.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>

// A language file larger than this is refused: real ones hold a few hundred short lines.
inline constexpr std::size_t kMaxLanguageFileBytes = 4 * 1024 * 1024;

using LanguageTable = std::unordered_map<std::string, std::wstring>;

// Parses the bytes of a language file into key -> value. Values are kept as written (a
// backslash-n stays two characters); bytes that are not UTF-8 become U+FFFD. Returns false,
// leaving table empty, when the bytes are larger than kMaxLanguageFileBytes.
bool ParseLanguageFile(std::string_view bytes, LanguageTable& table);
