// Opening a file that must be a plain file, such as a bid file, for reading. Anything else under
// that name, directly or through a link, is refused at once with a reason: a FIFO would block the
// opening until some writer came, and a device such as /dev/zero never ends, so a hash or a copy
// of it would run forever. No dependencies beyond the C library.
#pragma once

#include <string>

// The reason given for a name that is not a regular file; the kind of the entry follows it.
inline constexpr char kNotRegularFile[] = "不是普通文件 (not a regular file)";

// Opens path read-only, close-on-exec, without ever blocking on a FIFO, and answers the descriptor
// once fstat shows a regular file; its reads then block as for any file. Otherwise -1 and reason:
// kNotRegularFile with the kind of the entry ("... : FIFO"), or why it cannot be opened.
int OpenRegularFile(const std::string& path, std::string& reason);

// Whether path, following links, is a regular file, by its status alone: never opened, so a
// listing may ask it of every entry. When not, and reason is given, why.
bool IsRegularFile(const std::string& path, std::string* reason = nullptr);
