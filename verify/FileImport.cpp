#include "verify/FileImport.h"

#include "app/LanguageCatalogue.h"
#include "app/LocalLog.h"
#include "app/RegularFile.h"
#include "app/TextConversion.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace {

// A file descriptor closed on every way out.
class CFd {
public:
    explicit CFd(int fd) : fd(fd) { }
    ~CFd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    int Get() const { return fd; }
    // Closes now and reports the result: a close may be where a delayed write error shows.
    bool Close()
    {
        const int result = ::close(fd);
        fd = -1;
        return result == 0;
    }

private:
    int fd;
};

bool WriteAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool CopyBytes(int from, int to)
{
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t got = ::read(from, buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (got == 0)
            return true;
        if (!WriteAll(to, buffer.data(), static_cast<size_t>(got)))
            return false;
    }
}

std::string FileNameOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

int CopyIntoFolder(const std::wstring& source, const std::wstring& folder, IPrompt* prompt, std::wstring* reason)
{
    const std::string from = WideToUtf8(source);
    const std::string name = FileNameOf(from);
    std::string to = WideToUtf8(folder);
    auto fail = [&](const std::string& why) {
        WriteLocalLog(1, "import of \"%s\" into \"%s\" failed: %s\n", from.c_str(), to.c_str(), why.c_str());
        if (reason != nullptr)
            *reason = Utf8ToWide(why);
        return kCopyFailed;
    };
    if (name.empty() || to.empty())
        return fail("no file or folder name");
    if (to.back() != '/')
        to += '/';
    const std::string target = to + name;

    // The source first: a FIFO or a device is refused before the operator is asked anything.
    std::string why;
    const CFd input(OpenRegularFile(from, why));
    struct stat sourceStat {};
    if (input.Get() < 0)
        return fail(why);
    if (::fstat(input.Get(), &sourceStat) != 0)
        return fail(std::generic_category().message(errno));

    struct stat existing {};
    if (::lstat(target.c_str(), &existing) == 0) {
        if (prompt == nullptr)
            return kReplaceDeclined;
        std::wstring question = kReplaceFileQuestion;
        question.replace(question.find(L"%s"), 2, Utf8ToWide(name));
        if (prompt->Ask(question, CLanguageCatalogue::Instance().GetText("tips"), MB_YESNO | MB_ICONQUESTION) != IDYES)
            return kReplaceDeclined;
        if (S_ISDIR(existing.st_mode))
            return fail("the package folder holds a folder of that name");
    }

    // The temporary name starts with a dot and never ends in .bidx, so no listing takes it for a bid.
    std::string temporary = to + ".kelvane-import-XXXXXX";
    CFd output(::mkstemp(temporary.data()));
    if (output.Get() < 0)
        return fail("cannot create a file in the package folder: " + std::generic_category().message(errno));
    // Held while the copy is written: a program starting meanwhile takes an unlocked temporary for
    // a crash's leftover, never this one.
    ::flock(output.Get(), LOCK_EX | LOCK_NB);
    const bool written = CopyBytes(input.Get(), output.Get())
        && ::fchmod(output.Get(), sourceStat.st_mode & 0666) == 0
        && ::fsync(output.Get()) == 0;
    const int writeError = errno;
    if (!output.Close() || !written || ::rename(temporary.c_str(), target.c_str()) != 0) {
        const int error = written ? errno : writeError;
        ::unlink(temporary.c_str());
        return fail("cannot write the copy: " + std::generic_category().message(error));
    }
    // The new name itself must survive a crash too.
    const CFd directory(::open(to.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.Get() >= 0)
        ::fsync(directory.Get());
    return kCopied;
}
