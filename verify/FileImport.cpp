#include "verify/FileImport.h"

#include "AtomicFile.h"
#include "RegularFile.h"
#include "app/LanguageCatalogue.h"
#include "app/LocalLog.h"
#include "app/TextConversion.h"

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace {

// A file descriptor closed on every way out.
class CFd
{
public:
    explicit CFd(int descriptor)
        : fd(descriptor)
    {
    }
    ~CFd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    int Get() const { return fd; }

private:
    int fd;
};

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
        if (!kelvane::WriteAllToFd(to, buffer.data(), static_cast<size_t>(got)))
            return false;
    }
}

std::string FileNameOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

int CopyIntoFolder(
    const std::wstring& source, const std::wstring& folder, IPrompt* prompt, std::wstring* reason)
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
    const CFd input(kelvane::OpenRegularFile(from, why));
    struct stat sourceStat
    {
    };
    if (input.Get() < 0)
        return fail(why);
    if (::fstat(input.Get(), &sourceStat) != 0)
        return fail(std::generic_category().message(errno));

    struct stat existing
    {
    };
    if (::lstat(target.c_str(), &existing) == 0) {
        if (prompt == nullptr)
            return kReplaceDeclined;
        std::wstring question = kReplaceFileQuestion;
        question.replace(question.find(L"%s"), 2, Utf8ToWide(name));
        if (prompt->Ask(question, CLanguageCatalogue::Instance().GetText("tips"), MB_YESNO | MB_ICONQUESTION)
            != IDYES)
            return kReplaceDeclined;
        if (S_ISDIR(existing.st_mode))
            return fail("the package folder holds a folder of that name");
    }

    // The temporary name starts with a dot and never ends in .bidx, so no listing takes it for a bid.
    kelvane::CAtomicFile output(target, to + ".kelvane-import-XXXXXX");
    if (const int error = output.Create(sourceStat.st_mode & 0666); error != 0)
        return fail("cannot create a file in the package folder: " + std::generic_category().message(error));
    // Held while the copy is written: a program starting meanwhile takes an unlocked temporary for
    // a crash's leftover, never this one.
    ::flock(output.Fd(), LOCK_EX | LOCK_NB);
    int error = CopyBytes(input.Get(), output.Fd()) ? 0 : errno;
    if (error == 0)
        error = output.Publish(kelvane::CAtomicFile::EPublish::kReplace);
    if (error != 0)
        return fail("cannot write the copy: " + std::generic_category().message(error));
    return kCopied;
}
