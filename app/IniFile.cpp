#include "app/IniFile.h"

#include "AtomicFile.h"
#include "RegularFile.h"
#include "app/TextConversion.h"
#include "app/Utility.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kBlanks = " \t\r\v\f";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::string_view Trim(std::string_view s)
{
    const auto first = s.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

bool EqualNoCase(std::string_view a, std::string_view b)
{
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size()
        && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

// One line of the file: [start, contentEnd) is its text, [contentEnd, end) its line ending.
struct Line
{
    std::size_t start;
    std::size_t contentEnd;
    std::size_t end;
};

std::vector<Line> SplitLines(std::string_view content)
{
    std::vector<Line> lines;
    std::size_t pos = content.starts_with(kByteOrderMark) ? kByteOrderMark.size() : 0;
    while (pos < content.size()) {
        const auto newline = content.find('\n', pos);
        const std::size_t end = newline == std::string_view::npos ? content.size() : newline + 1;
        std::size_t contentEnd = newline == std::string_view::npos ? content.size() : newline;
        if (contentEnd > pos && content[contentEnd - 1] == '\r') {
            --contentEnd;
        }
        lines.push_back({ pos, contentEnd, end });
        pos = end;
    }
    return lines;
}

enum class LineKind
{
    Blank,
    Comment,
    Section,
    Key,
    Other
};

struct ParsedLine
{
    LineKind kind = LineKind::Other;
    std::string_view name; // section or key name, trimmed
    std::string_view value; // raw text after '=' of a key line
};

ParsedLine ParseLine(std::string_view text)
{
    const std::string_view trimmed = Trim(text);
    if (trimmed.empty()) {
        return { LineKind::Blank, {}, {} };
    }
    if (trimmed.front() == ';') {
        return { LineKind::Comment, {}, {} };
    }
    if (trimmed.front() == '[') {
        const std::string_view inner = trimmed.substr(1);
        return { LineKind::Section, Trim(inner.substr(0, inner.find(']'))), {} };
    }
    const auto equals = trimmed.find('=');
    if (equals == std::string_view::npos) {
        return { LineKind::Other, {}, {} };
    }
    return { LineKind::Key, Trim(trimmed.substr(0, equals)), trimmed.substr(equals + 1) };
}

std::string CleanValue(std::string_view raw)
{
    // A value is a C string for the profile functions: it ends at a NUL.
    raw = raw.substr(0, raw.find('\0'));
    raw = Trim(raw);
    if (raw.size() >= 2 && (raw.front() == '"' || raw.front() == '\'') && raw.back() == raw.front()) {
        raw = raw.substr(1, raw.size() - 2);
    }
    return std::string(raw);
}

bool HasLineBreakOrNul(std::string_view s)
{
    return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// Reads a regular file of at most maxBytes. Returns 0 or an errno value: ENOENT when the file is
// missing. It opens without blocking, so a FIFO in the file's place cannot hang the reader.
int ReadRegularFile(const fs::path& file, std::size_t maxBytes, std::string& bytes, mode_t* mode = nullptr,
    struct stat* status = nullptr)
{
    const kelvane::SOpenedFile opened = kelvane::OpenRegularFile(file.c_str());
    if (opened.failure == kelvane::ERegularFileFailure::kNotRegular) {
        return EINVAL;
    }
    if (opened.fd < 0) {
        return opened.error;
    }
    const int fd = opened.fd;
    const struct stat& info = opened.status;
    int error = 0;
    if (static_cast<std::size_t>(info.st_size) > maxBytes) {
        error = EFBIG;
    }
    std::string data;
    if (error == 0) {
        data.resize(static_cast<std::size_t>(info.st_size));
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = read(fd, data.data() + done, data.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                error = errno;
                break;
            }
            if (n == 0) {
                data.resize(done);
                break;
            }
            done += static_cast<std::size_t>(n);
        }
    }
    close(fd);
    if (error == 0) {
        bytes = std::move(data);
        if (mode != nullptr) {
            *mode = info.st_mode & 07777;
        }
        if (status != nullptr) {
            *status = info;
        }
    }
    return error;
}

// The last reading of each INI file, kept while the file stays the same: a run of the opening
// asks its settings dozens of times per bid, and one stat tells that nothing changed. A reading
// is kept only once the file has settled: file times advance in steps (up to two seconds on some
// file systems), so a file changed again within the step of its last change could keep its times
// and size, and only an older file is sure to show any change in them.
// Settings files are few; a process that reads many INI files keeps the most recent ones.
constexpr std::size_t kMaxKeptReadings = 16;

struct CIniReading
{
    std::string content;
    struct stat status
    {
    };
};

std::mutex readingsMutex;
std::map<std::string, CIniReading>& Readings()
{
    static std::map<std::string, CIniReading> readings;
    return readings;
}

void ForgetReading(const fs::path& file)
{
    const std::lock_guard lock(readingsMutex);
    Readings().erase(file.string());
}

// The bytes of the INI file as ReadRegularFile gives them, from the last reading while the file
// has not changed since. Returns 0 or an errno value.
int ReadIniBytes(const fs::path& file, std::string& bytes)
{
    const std::string key = file.string();
    struct stat now
    {
    };
    if (stat(file.c_str(), &now) == 0) {
        const std::lock_guard lock(readingsMutex);
        const auto it = Readings().find(key);
        if (it != Readings().end() && kelvane::SameFileStatus(it->second.status, now)) {
            bytes = it->second.content;
            return 0;
        }
    }
    timespec started {};
    clock_gettime(CLOCK_REALTIME, &started);
    struct stat status
    {
    };
    const int error = ReadRegularFile(file, kMaxIniFileBytes, bytes, nullptr, &status);
    const std::lock_guard lock(readingsMutex);
    auto& readings = Readings();
    readings.erase(key);
    if (error == 0 && kelvane::HasSettled(status, started.tv_sec)) {
        if (readings.size() >= kMaxKeptReadings) {
            readings.clear();
        }
        readings.emplace(key, CIniReading { bytes, status });
    }
    return error;
}

// Replaces file with bytes so that a crash leaves either the old or the new file.
bool ReplaceFileAtomically(const fs::path& file, std::string_view bytes, mode_t mode)
{
    kelvane::CAtomicFile replacement(file.string(), file.string() + ".XXXXXX");
    return replacement.Create(mode) == 0 && WriteAll(replacement.Fd(), bytes)
        && replacement.Publish(kelvane::CAtomicFile::EPublish::kReplace) == 0;
}

// Read-modify-write of a settings file must not interleave between threads, or one of two
// concurrent writes would be lost.
std::mutex& WriteMutex()
{
    static std::mutex mutex;
    return mutex;
}

} // namespace

std::optional<std::string> FindIniValue(
    std::string_view content, std::string_view section, std::string_view key)
{
    section = Trim(section);
    key = Trim(key);
    bool inSection = false;
    for (const Line& line : SplitLines(content)) {
        const ParsedLine parsed = ParseLine(content.substr(line.start, line.contentEnd - line.start));
        if (parsed.kind == LineKind::Section) {
            inSection = EqualNoCase(parsed.name, section);
        } else if (inSection && parsed.kind == LineKind::Key && EqualNoCase(parsed.name, key)) {
            return CleanValue(parsed.value);
        }
    }
    return std::nullopt;
}

std::optional<std::string> SetIniValue(
    std::string_view content, std::string_view section, std::string_view key, std::string_view value)
{
    const std::string_view sectionName = Trim(section);
    const std::string_view keyName = Trim(key);
    if (sectionName.empty() || keyName.empty() || HasLineBreakOrNul(section) || HasLineBreakOrNul(key)
        || HasLineBreakOrNul(value) || sectionName.find(']') != std::string_view::npos
        || keyName.find('=') != std::string_view::npos || keyName.front() == '[' || keyName.front() == ';') {
        return std::nullopt;
    }
    const std::string newline = content.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";
    const std::string entry = std::string(key) + "=" + std::string(value);

    const std::vector<Line> lines = SplitLines(content);
    const auto endsWithNewline = [&](const Line& line) { return content[line.end - 1] == '\n'; };
    bool inSection = false;
    bool inFirstSection = false;
    std::optional<std::size_t> tail; // the last non-blank line of the first matching section
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Line& line = lines[i];
        const ParsedLine parsed = ParseLine(content.substr(line.start, line.contentEnd - line.start));
        if (parsed.kind == LineKind::Section) {
            inSection = EqualNoCase(parsed.name, sectionName);
            inFirstSection = inSection && !tail;
            if (inFirstSection) {
                tail = i;
            }
            continue;
        }
        if (!inSection) {
            continue;
        }
        if (parsed.kind == LineKind::Key && EqualNoCase(parsed.name, keyName)) {
            std::string result(content.substr(0, line.start));
            result += entry;
            result += content.substr(line.contentEnd);
            return result;
        }
        if (inFirstSection && parsed.kind != LineKind::Blank) {
            tail = i;
        }
    }

    if (tail) {
        const Line& last = lines[*tail];
        std::string result(content.substr(0, last.end));
        if (!endsWithNewline(last)) {
            result += newline;
        }
        result += entry + newline;
        result += content.substr(last.end);
        return result;
    }
    std::string result(content);
    if (!lines.empty() && !endsWithNewline(lines.back())) {
        result += newline;
    }
    result += "[" + std::string(sectionName) + "]" + newline + entry + newline;
    return result;
}

std::optional<std::wstring> FindIniString(
    const fs::path& file, std::wstring_view section, std::wstring_view key)
{
    std::string content;
    if (file.empty() || ReadIniBytes(file, content) != 0) {
        return std::nullopt;
    }
    const auto value = FindIniValue(content, WideToUtf8(section), WideToUtf8(key));
    if (!value) {
        return std::nullopt;
    }
    std::wstring wide = Utf8ToWide(*value);
    if (wide.size() > kIniValueLimit - 1) {
        wide.resize(kIniValueLimit - 1);
    }
    return wide;
}

std::wstring ReadIniString(
    const fs::path& file, std::wstring_view section, std::wstring_view key, std::wstring_view defaultValue)
{
    return FindIniString(file, section, key).value_or(std::wstring(defaultValue));
}

bool WriteIniString(
    const fs::path& file, std::wstring_view section, std::wstring_view key, std::wstring_view value)
{
    if (file.empty()) {
        return false;
    }
    const std::lock_guard lock(WriteMutex());
    std::error_code error;
    if (file.has_parent_path()) {
        fs::create_directories(file.parent_path(), error);
        if (error) {
            return false;
        }
    }
    std::string content;
    mode_t mode = 0600;
    const int readError = ReadRegularFile(file, kMaxIniFileBytes, content, &mode);
    // A file that exists but cannot be read is left alone: rewriting it would drop its lines.
    if (readError != 0 && readError != ENOENT) {
        return false;
    }
    const auto updated = SetIniValue(content, WideToUtf8(section), WideToUtf8(key), WideToUtf8(value));
    // The replacement is a new file, which the next read tells from the kept reading anyway.
    ForgetReading(file);
    return updated && ReplaceFileAtomically(file, *updated, mode);
}
