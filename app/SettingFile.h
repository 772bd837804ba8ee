// The per-user settings file Setting.ini in the settings folder (GetAppDataDir), over the
// system-wide defaults an administrator puts in $XDG_CONFIG_DIRS/QUARN/rmw/Setting.ini. Every
// getter sees the files as they are now, so a value written by one part of the program, or changed
// on disk, is seen by the next read everywhere; a file is read again only when it changed (see
// FindIniString). Getters return the raw text of their key from the user's file, else from the
// first system file that has it, else the built-in default; a system file that is missing,
// unreadable or garbage is passed over. Callers trim and validate. Setters write the user's file
// only and answer 0 on success, -1 on failure.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CSettingFile
{
public:
    // The one process-wide accessor. It holds no state, so every thread may use it.
    static CSettingFile& Instance();

    CSettingFile(const CSettingFile&) = delete;
    CSettingFile& operator=(const CSettingFile&) = delete;

    // <settings folder>/Setting.ini, or an empty path when there is no settings folder (reads
    // then give defaults and writes fail, rather than touching a file in the root folder).
    std::wstring GetSettingFilePath() const;
    // Setting.ini below each folder of $XDG_CONFIG_DIRS in its order (colon-separated; relative
    // entries are ignored; unset or empty: /etc/xdg), whether the file exists or not.
    std::vector<std::wstring> GetSystemSettingFilePaths() const;

    std::wstring GetWorkingDir() const; // [WorkingDir] path, default $HOME/BidFiles/
    std::wstring GetNetWorkingDir() const; // [NetWorkingDir] path
    std::wstring GetRulesCompare() const; // [RulesCompare] IsCompare, default "true"
    std::wstring GetBidRuleFileUrl() const; // [BidRuleFileURL] url
    std::wstring GetTimeStampUrl() const; // [TimeStampURL] url, ';'-separated
    std::wstring GetSubmitLog() const; // [LogService] IsSumbitLog, default "true"
    std::wstring GetLogSubmitUrl() const; // [LogSubmitURL] url
    std::wstring GetWriteLocalLog() const; // [LocalLog] IsWriteLocalLog, default "true"

    int SetWorkingDir(const std::wstring& path) const;
    int SetNetWorkingDir(const std::wstring& path) const;
    int SetWriteLocalLog(const std::wstring& value) const;

    // The free-space minimum of the working directory's volume in bytes, from [Common] "freespace "
    // (a decimal number followed by MB or GB). 0 means no minimum: empty, unknown unit or no digits.
    std::int64_t GetFreeSpace() const;

    // Stores bytes as whole megabytes below 1024 MB, else as whole gigabytes (1.5 GB is stored as
    // 1GB). 0 on success, -1 when the write failed, -2 when bytes is below 1 MB (nothing written).
    int SetFreeSpace(std::uint64_t bytes) const;

private:
    CSettingFile() = default;

    std::wstring Read(const wchar_t* section, const wchar_t* key, const std::wstring& defaultValue) const;
    int Write(const wchar_t* section, const wchar_t* key, const std::wstring& value) const;
};

// Parses a stored free-space minimum ("500MB", " 2 GB") into bytes; see CSettingFile::GetFreeSpace.
std::int64_t ParseFreeSpace(const std::wstring& text);
