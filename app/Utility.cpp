#include "app/Utility.h"

#include "AtomicFile.h"
#include "app/LocalLog.h"
#include "app/TextConversion.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <ifaddrs.h>
#include <memory>
#include <net/if.h>
#include <netdb.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

bool IsDirectory(const std::string& path)
{
    struct stat info
    {
    };
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

int CreateTree(const std::string& path)
{
    if (path.empty()) {
        return 0;
    }
    if (IsDirectory(path)) {
        return 1;
    }
    std::string parent = path;
    if (parent.back() == '/') {
        parent.pop_back();
    }
    const auto cut = parent.rfind('/');
    if (cut == std::string::npos) {
        return 0;
    }
    parent.resize(cut);
    if (!parent.empty() && !IsDirectory(parent)) {
        // Its own failure shows in the mkdir below.
        CreateTree(parent);
    }
    // Another thread or process may have created it in the meantime: that is success too.
    return (mkdir(path.c_str(), 0777) == 0 || (errno == EEXIST && IsDirectory(path))) ? 1 : 0;
}

bool IsLoopback(const in_addr& address)
{
    return (ntohl(address.s_addr) >> 24) == 127;
}

std::string Dotted(const in_addr& address)
{
    char text[INET_ADDRSTRLEN] = {};
    return inet_ntop(AF_INET, &address, text, sizeof text) != nullptr ? std::string(text) : std::string();
}

} // namespace

std::wstring GetHomeDir()
{
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') {
        return Utf8ToWide(home);
    }
    struct passwd entry
    {
    };
    struct passwd* found = nullptr;
    std::string buffer(16384, '\0');
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr
        && found->pw_dir != nullptr && *found->pw_dir != '\0') {
        return Utf8ToWide(found->pw_dir);
    }
    return {};
}

std::wstring GetConfigHomeDir()
{
    // A relative XDG_CONFIG_HOME is invalid and must be ignored.
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/') {
        return Utf8ToWide(config);
    }
    const std::wstring home = GetHomeDir();
    return home.empty() ? std::wstring() : home + L"/.config";
}

std::wstring GetAppDataDir()
{
    const std::wstring config = GetConfigHomeDir();
    return config.empty() ? std::wstring() : config + L"/QUARN/rmw";
}

int CreateDirectoryTree(std::wstring_view path)
{
    return CreateTree(WideToUtf8(path));
}

int HasEnoughFreeSpace(std::wstring_view path, std::uint64_t bytes)
{
    std::string probe = WideToUtf8(path);
    if (probe.empty()) {
        probe = ".";
    }
    int error = 0;
    for (;;) {
        struct statvfs volume
        {
        };
        if (statvfs(probe.c_str(), &volume) == 0) {
            const std::uint64_t freeBytes = static_cast<std::uint64_t>(volume.f_bfree) * volume.f_frsize;
            return freeBytes >= bytes ? 1 : 0;
        }
        error = errno;
        if (error != ENOENT && error != ENOTDIR) {
            break;
        }
        std::string parent = fs::path(probe).parent_path().string();
        if (parent.empty()) {
            parent = probe.front() == '/' ? "/" : ".";
        }
        if (parent == probe) {
            break;
        }
        probe = std::move(parent);
    }
    WriteLocalLog(2, "free space of %s cannot be read (%s); the free-space check passes\n",
        EscapeControlCharacters(WideToUtf8(path)).c_str(), std::strerror(error));
    return 1;
}

void SplitString(std::wstring_view text, wchar_t separator, std::vector<std::wstring>& pieces)
{
    for (auto found = text.find(separator); found != std::wstring_view::npos; found = text.find(separator)) {
        pieces.emplace_back(text.substr(0, found));
        text.remove_prefix(found + 1);
    }
    if (!text.empty()) {
        pieces.emplace_back(text);
    }
}

std::string GetLocalIpAddress()
{
    char host[256] = {};
    std::string loopback;
    if (gethostname(host, sizeof host - 1) == 0) {
        addrinfo hints {};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* raw = nullptr;
        if (getaddrinfo(host, nullptr, &hints, &raw) == 0) {
            const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> results(raw, &freeaddrinfo);
            for (const addrinfo* ai = raw; ai != nullptr; ai = ai->ai_next) {
                const in_addr address = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr;
                if (!IsLoopback(address)) {
                    return Dotted(address);
                }
                if (loopback.empty()) {
                    loopback = Dotted(address);
                }
            }
        }
    }
    ifaddrs* raw = nullptr;
    if (getifaddrs(&raw) == 0) {
        const std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> interfaces(raw, &freeifaddrs);
        for (const ifaddrs* it = raw; it != nullptr; it = it->ifa_next) {
            if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET || (it->ifa_flags & IFF_UP) == 0
                || (it->ifa_flags & IFF_LOOPBACK) != 0) {
                continue;
            }
            return Dotted(reinterpret_cast<const sockaddr_in*>(it->ifa_addr)->sin_addr);
        }
    }
    return loopback;
}

bool WriteAll(int fd, std::string_view bytes)
{
    return kelvane::WriteAllToFd(fd, bytes.data(), bytes.size());
}

bool IsSafeFolderName(std::wstring_view name)
{
    if (name.empty() || name == L"." || name == L"..")
        return false;
    for (const wchar_t c : name) {
        const auto value = static_cast<unsigned>(c);
        if (c == L'/' || c == L'\\' || value < 0x20 || value == 0x7F || (value >= 0x80 && value <= 0x9F))
            return false;
    }
    return true;
}
