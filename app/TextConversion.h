// Conversions between the program's wide texts and the narrow texts of files, libraries and
// servers. The "ANSI" code page of this platform is UTF-8; the names say which side a text
// belongs to, so that a caller reads the same whatever the platform's narrow encoding is.
#pragma once

#include <string>
#include <string_view>

// Wide text to UTF-8. Values that are no Unicode scalar value become U+FFFD.
std::string WideToUtf8(std::wstring_view text);

// UTF-8 to wide text. Bytes that do not form valid UTF-8 become U+FFFD, one per byte.
std::wstring Utf8ToWide(std::string_view text);

// Wide text to the narrow code page (UTF-8).
std::string WideToAnsi(std::wstring_view text);

// Narrow text from outside to wide text: UTF-8 when it is valid UTF-8, otherwise GB18030, so that
// a server that writes GBK still shows right.
std::wstring AnsiToWide(std::string_view text);

// Narrow text from outside to UTF-8, through the wide form (see AnsiToWide).
std::string AnsiToUtf8(std::string_view text);

// Whether text is well-formed UTF-8 (no overlong forms, surrogates or values above U+10FFFF).
bool IsValidUtf8(std::string_view text);

// Blanks (spaces, tabs, line ends) removed at both ends: the one rule for the numbers the operator
// types and for the working directory setting.
std::wstring TrimBlanks(const std::wstring& text);

// Outside text made safe for one line of the local log, the output view or a terminal: every
// control character (C0, DEL and C1: line breaks, escape sequences, carriage returns) becomes
// "\xHH" (or "\u00HH" for C1), so that a file name cannot forge a line or steer the terminal.
std::wstring EscapeControlCharacters(std::wstring_view text);
std::string EscapeControlCharacters(std::string_view text);
