// One line of the output view, as the window shows it and kelvane-cli prints it.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

// "%4d-%2d-%2d %2d:%2d:%2d   " of the local time, then the text: fields padded with blanks, as
// the output view shows them. The text's control characters are escaped: lines carry file names
// and servers' answers, and none of them may start a line of its own or steer a terminal.
std::wstring FormatOutputLine(const std::tm& localTime, std::wstring_view text);
