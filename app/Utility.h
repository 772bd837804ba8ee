// Small helpers shared by every part of the program: folders, free space, splitting, addresses.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The user's configuration folder: $XDG_CONFIG_HOME when it is an absolute path, else
// $HOME/.config (the home folder of the password database when HOME is unset). Empty when no
// home folder is known.
std::wstring GetConfigHomeDir();

// The user's home folder: $HOME, else the password database's entry. Empty when neither is known.
std::wstring GetHomeDir();

// The program's settings folder: the configuration folder followed by /QUARN/rmw, or empty when
// there is no configuration folder.
std::wstring GetAppDataDir();

// Creates the folder and every missing parent. Non-zero when the folder exists afterwards.
int CreateDirectoryTree(std::wstring_view path);

// 1 when the volume that holds path (or, when path does not exist yet, its nearest existing
// parent) has at least bytes free, else 0. The whole volume's free bytes count, not only those
// available to this user. When the free space cannot be read the answer is 1 and a warning goes
// to the local log: a check that cannot be made must not stop the operator's work.
int HasEnoughFreeSpace(std::wstring_view path, std::uint64_t bytes);

// Appends the pieces of text between separators to pieces. Empty pieces between two separators
// are kept; an empty piece after the last separator is not ("a;;b;" gives a, "", b).
void SplitString(std::wstring_view text, wchar_t separator, std::vector<std::wstring>& pieces);

// The workstation's IPv4 address in dotted form, or an empty text when there is none. The host
// name's address is used unless it is a loopback one (Debian maps the host name to 127.0.1.1);
// then the first address of an interface that is up and not loopback.
std::string GetLocalIpAddress();

// Writes every byte to the file descriptor, going on after short writes and interruptions.
// False when a write fails.
bool WriteAll(int fd, std::string_view bytes);

// Whether a project or package number from outside (a dialog, the command line, a file name) may
// name a folder below the working directory: not empty, not "." or "..", and without "/", "\\"
// or control characters, so that it can neither climb out nor forge a line where it is shown.
bool IsSafeFolderName(std::wstring_view name);
