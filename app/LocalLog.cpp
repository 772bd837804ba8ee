#include "app/LocalLog.h"

#include "app/TextConversion.h"
#include "app/Utility.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A line is at most this many bytes, as it always was with the log's fixed line buffer.
constexpr std::size_t kMaxLineBytes = 8191;

struct LocalLogState
{
    std::mutex mutex;
    bool initialised = false;
    int level = 0;
    std::string path;
};

LocalLogState& State()
{
    static LocalLogState state;
    return state;
}

const char* LevelText(int level)
{
    switch (level) {
    case 1:
        return "ERROR   ";
    case 2:
        return "WARNING ";
    case 3:
        return "INFO    ";
    case 4:
        return "DEBUG   ";
    default:
        return nullptr;
    }
}

bool EnsureFolder(const std::string& folder)
{
    struct stat info
    {
    };
    if (stat(folder.c_str(), &info) == 0) {
        return S_ISDIR(info.st_mode);
    }
    return mkdir(folder.c_str(), 0777) == 0 || errno == EEXIST;
}

// Forms <config>/QUARN/logs/rmw/<today>.log, creating each folder. Empty on failure.
std::string PrepareLogPath()
{
    std::string folder = WideToUtf8(GetConfigHomeDir());
    if (folder.empty() || !CreateDirectoryTree(Utf8ToWide(folder))) {
        return {};
    }
    for (const char* part : { "/QUARN", "/logs", "/rmw" }) {
        folder += part;
        if (!EnsureFolder(folder)) {
            return {};
        }
    }
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    char name[32];
    std::snprintf(
        name, sizeof name, "/%04d-%02d-%02d.log", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    return folder + name;
}

// Moves a cut at byte length back to the start of a UTF-8 character, so that a cut line never
// ends in half a character.
std::size_t CharacterBoundary(std::string_view text, std::size_t length)
{
    std::size_t cut = length;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return cut;
}

std::string Format(const char* format, std::va_list args)
{
    std::va_list measure;
    va_copy(measure, args);
    const int size = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (size <= 0) {
        return {};
    }
    std::string text(static_cast<std::size_t>(size) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<std::size_t>(size));
    return text;
}

std::string TimePrefix()
{
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    std::tm local {};
    localtime_r(&now.tv_sec, &local);
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "%04d-%02d-%02d %02d:%02d:%02d.%03d ", local.tm_year + 1900,
        local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
        static_cast<int>(now.tv_nsec / 1000000));
    return prefix;
}

} // namespace

bool InitLocalLog(const std::wstring& setting)
{
    const int level = setting == L"true" ? 4 : 0;
    LocalLogState& state = State();
    const std::lock_guard lock(state.mutex);
    // A log first initialised while switched off has no file yet. Form it when logging is switched
    // on, or every line the operator asked for would be lost until the program restarts.
    if (level != 0 && state.path.empty()) {
        std::string path = PrepareLogPath();
        if (path.empty()) {
            return false;
        }
        state.path = std::move(path);
    }
    state.level = level;
    state.initialised = true;
    return true;
}

int WriteLocalLog(int level, const char* format, ...)
{
    LocalLogState& state = State();
    const std::lock_guard lock(state.mutex);
    if (!state.initialised) {
        return 0;
    }
    if (level > state.level) {
        return 1;
    }
    const char* levelText = LevelText(level);
    if (levelText == nullptr || format == nullptr || state.path.empty()) {
        return 0;
    }

    std::va_list args;
    va_start(args, format);
    const std::string message = Format(format, args);
    va_end(args);
    const std::string line = TimePrefix() + levelText + message;
    std::string_view text = line;
    std::string_view ending;
    if (text.size() > kMaxLineBytes) {
        // A cut line keeps its line break, so that the next line still starts on a line of its own.
        if (message.ends_with('\n')) {
            ending = "\n";
        }
        text = text.substr(0, CharacterBoundary(text, kMaxLineBytes - ending.size()));
    }

    const int fd = open(state.path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return 0;
    }
    // One write per line: with O_APPEND even another process's lines cannot land inside it.
    const bool ok = WriteAll(fd, std::string(text).append(ending));
    return close(fd) == 0 && ok ? 1 : 0;
}

std::string GetLocalLogPath()
{
    LocalLogState& state = State();
    const std::lock_guard lock(state.mutex);
    return state.path;
}
