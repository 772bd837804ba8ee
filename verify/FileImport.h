// Copying a verified bid file into its package folder. The workspace must never hold half a bid
// file: the bytes go to a temporary name in the package folder, are synced, and only then take the
// file's name, so a crash or a full disk leaves either the old file or the whole new one.
#pragma once

#include "app/IPrompt.h"

#include <string>

// The question asked when the package folder already holds a file of that name; %s is the name.
// A fixed text of ours, as the platform's own replace question would be.
inline constexpr wchar_t kReplaceFileQuestion[] = L"包组文件夹中已有文件“%s”。是否替换？";

enum CopyResult : int
{
    kCopied = 0,
    kReplaceDeclined = 1,
    kCopyFailed = -1
};

// Copies the plain file source into folder under its own name. A source that is not a regular
// file (a FIFO, a device, a folder, directly or through a link) or cannot be opened is refused at
// once, before any question: kCopyFailed. When folder already holds an entry of that name, asks
// kReplaceFileQuestion (Yes/No) through prompt, with caption "tips"; anything but Yes keeps the old
// file untouched (kReplaceDeclined). A null prompt declines. On kCopyFailed the reason goes to the
// local log and, when given, to reason.
int CopyIntoFolder(
    const std::wstring& source, const std::wstring& folder, IPrompt* prompt, std::wstring* reason = nullptr);
