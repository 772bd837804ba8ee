#include "services/language/QuarnLanguage.h"

#include "FreeWith.h"
#include "services/language/LanguageFile.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <iconv.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

struct QuarnLanguage
{
    LanguageTable table;
};

namespace {

// File names are handed over as wide text; the file system takes UTF-8.
bool WidePathToUtf8(const wchar_t* path, std::string& out)
{
    const iconv_t cd = iconv_open("UTF-8", "WCHAR_T");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return false;
    }
    kelvane::FreedPtr<void, iconv_close> converter(cd);
    std::wstring in(path);
    std::string result(in.size() * 4 + 1, '\0');
    char* inPtr = reinterpret_cast<char*>(in.data());
    size_t inLeft = in.size() * sizeof(wchar_t);
    char* outPtr = result.data();
    size_t outLeft = result.size();
    const size_t converted = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    converter.reset();
    if (converted == static_cast<size_t>(-1)) {
        return false;
    }
    result.resize(result.size() - outLeft);
    out = std::move(result);
    return true;
}

// Reads a whole regular file of at most maxBytes. The file is opened without blocking so that a
// FIFO put in the file's place cannot hang the program.
bool ReadSmallFile(const std::string& path, std::size_t maxBytes, std::string& bytes)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat info
    {
    };
    const bool usable = fstat(fd, &info) == 0 && S_ISREG(info.st_mode)
        && static_cast<std::size_t>(info.st_size) <= maxBytes;
    std::string data;
    if (usable) {
        data.resize(static_cast<std::size_t>(info.st_size));
    }
    std::size_t done = 0;
    bool ok = usable;
    while (ok && done < data.size()) {
        const ssize_t n = read(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            // The file shrank while it was read: take what is there.
            data.resize(done);
            ok = n == 0;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    close(fd);
    if (ok) {
        bytes = std::move(data);
    }
    return ok;
}

} // namespace

extern "C" {

QUARN_LANGUAGE_HANDLE QUARN_Language_CreateLanguageHandle(void)
{
    try {
        return std::make_unique<QuarnLanguage>().release();
    } catch (...) {
        return nullptr;
    }
}

int QUARN_Language_LoadLang(QUARN_LANGUAGE_HANDLE handle, const wchar_t* path)
{
    if (handle == nullptr || path == nullptr) {
        return -1;
    }
    try {
        handle->table.clear();
        std::string narrowPath;
        std::string bytes;
        if (!WidePathToUtf8(path, narrowPath) || !ReadSmallFile(narrowPath, kMaxLanguageFileBytes, bytes)) {
            return 0;
        }
        return ParseLanguageFile(bytes, handle->table) ? 1 : 0;
    } catch (...) {
        handle->table.clear();
        return 0;
    }
}

int QUARN_Language_GetValue(QUARN_LANGUAGE_HANDLE handle, const char* key, wchar_t* buffer, int bufferSize)
{
    if (handle == nullptr || key == nullptr || buffer == nullptr || bufferSize < 1) {
        return -1;
    }
    buffer[0] = L'\0';
    try {
        const auto found = handle->table.find(key);
        if (found == handle->table.end()) {
            return 0;
        }
        const std::size_t count = std::min(found->second.size(), static_cast<std::size_t>(bufferSize - 1));
        std::copy_n(found->second.data(), count, buffer);
        buffer[count] = L'\0';
        return 1;
    } catch (...) {
        return 0;
    }
}

void QUARN_Language_ReleaseLanguageHandle(QUARN_LANGUAGE_HANDLE handle)
{
    std::unique_ptr<QuarnLanguage> owned(handle);
}

} // extern "C"
