// Our INI ("private profile") files: UTF-8 text of [section] headers and key=value lines.
//
// Reading follows the usual profile rules: section and key names compare without regard to
// ASCII case and without their surrounding blanks, the first matching key wins, a value loses its
// surrounding blanks and one pair of matching quotes, and a value is cut to kIniValueLimit - 1
// characters. Lines starting with ';' are comments. A UTF-8 byte-order mark, CRLF line ends and a
// missing final newline are accepted.
//
// Writing keeps every other line of the file byte for byte, creates the file's folder when it is
// missing, and replaces the file atomically (temporary file, fsync, rename), so that a crash
// leaves either the old or the new file, never half of one.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// Size of the buffer a value is read into, in characters, terminating zero included.
inline constexpr std::size_t kIniValueLimit = 260;

// An INI file larger than this is not read (and so not rewritten either): settings files hold a
// handful of lines, and a huge one is either damaged or hostile.
inline constexpr std::size_t kMaxIniFileBytes = 1024 * 1024 * 4;

// The raw value of key in section within the bytes of an INI file, or nothing when absent.
std::optional<std::string> FindIniValue(
    std::string_view content, std::string_view section, std::string_view key);

// The bytes of the INI file with key in section set to value: the first matching key line is
// replaced; otherwise the key is added at the end of the first matching section, or a new section
// is appended. Nothing when the names or the value would not read back as the same entry: a line
// break or NUL anywhere (which would also let a value smuggle in lines of its own), an empty
// name, '=' in the key or a key starting with '[' or ';', ']' in the section.
std::optional<std::string> SetIniValue(
    std::string_view content, std::string_view section, std::string_view key, std::string_view value);

// The value as the program reads it, or nothing when the file, the section or the key is missing
// or the file cannot be read. The file's bytes are kept from the last read while its status
// (device, inode, size, modification and change times) stays the same and its last change is
// more than two seconds old, so that repeated reads cost a stat.
std::optional<std::wstring> FindIniString(
    const std::filesystem::path& file, std::wstring_view section, std::wstring_view key);

// FindIniString's value, or defaultValue.
std::wstring ReadIniString(const std::filesystem::path& file, std::wstring_view section,
    std::wstring_view key, std::wstring_view defaultValue);

// Writes key=value into section. Returns false when nothing was written: the folder cannot be
// created, the existing file cannot be read, the text cannot be stored (see SetIniValue), or
// writing, syncing or renaming fails.
bool WriteIniString(const std::filesystem::path& file, std::wstring_view section, std::wstring_view key,
    std::wstring_view value);
