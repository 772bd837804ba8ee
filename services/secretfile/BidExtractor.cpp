#include "BidExtractor.h"

#include "FdWrite.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace kelvane::bidx {
namespace {

int SyncFolderAt(int dirFd, const std::string& relative)
{
    return SyncFolder(relative, dirFd, false) ? kOk : kWriteDataFailed;
}

} // namespace

CBidExtractor::CBidExtractor(std::string intoFolder, std::string bidFileName)
    : outputFolder(std::move(intoFolder))
    , bidName(std::move(bidFileName))
{
}

CBidExtractor::~CBidExtractor()
{
    Abort();
}

int CBidExtractor::Begin()
{
    std::error_code ec;
    std::filesystem::create_directories(outputFolder, ec);
    if (ec || !std::filesystem::is_directory(outputFolder, ec)) {
        return kWriteDataFailed;
    }
    std::string templ = (std::filesystem::path(outputFolder) / ".kvopen-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) {
        return kWriteDataFailed;
    }
    stagingPath = templ;
    stagingFd = open(stagingPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (stagingFd < 0) {
        return kWriteDataFailed;
    }
    // Held for the staging folder's life: a program starting meanwhile takes only an unlocked
    // staging folder for a crash's leftover.
    flock(stagingFd, LOCK_EX | LOCK_NB);
    return kOk;
}

int CBidExtractor::TakeField(const unsigned char*& data, size_t& size, size_t want)
{
    const size_t take = std::min(want - fieldSize, size);
    std::memcpy(field + fieldSize, data, take);
    fieldSize += take;
    data += take;
    size -= take;
    return fieldSize == want ? 1 : 0;
}

int CBidExtractor::Write(const unsigned char* data, size_t size)
{
    if (stagingFd < 0) {
        return kInvalidParam;
    }
    while (size > 0) {
        switch (state) {
        case State::Kind:
            if (data[0] == kEntryEnd) {
                state = State::Ended;
            } else if (data[0] == kEntryFile) {
                state = State::NameSize;
            } else {
                return kFileStructIncorrect;
            }
            ++data;
            --size;
            fieldSize = 0;
            break;
        case State::NameSize:
            if (TakeField(data, size, 2) == 1) {
                entryNameSize = GetU16(field);
                if (entryNameSize == 0 || entryNameSize > kMaxNameSize) {
                    return kFileNameFormatError;
                }
                fieldSize = 0;
                state = State::Name;
            }
            break;
        case State::Name:
            if (TakeField(data, size, entryNameSize) == 1) {
                entryName.assign(reinterpret_cast<const char*>(field), entryNameSize);
                if (!IsSafeEntryName(entryName)) {
                    return kFileNameFormatError;
                }
                fieldSize = 0;
                state = State::Size;
            }
            break;
        case State::Size:
            if (TakeField(data, size, 8) == 1) {
                remaining = GetU64(field);
                fieldSize = 0;
                if (const int rc = StartFile(); rc != kOk) {
                    return rc;
                }
                if (remaining == 0) {
                    if (const int rc = CloseFile(); rc != kOk) {
                        return rc;
                    }
                    state = State::Kind;
                } else {
                    state = State::Data;
                }
            }
            break;
        case State::Data: {
            const size_t take = static_cast<size_t>(std::min<uint64_t>(remaining, size));
            if (const int rc = WriteAllToFd(fileFd, data, take); rc != kOk) {
                return rc;
            }
            data += take;
            size -= take;
            remaining -= take;
            if (remaining == 0) {
                if (const int rc = CloseFile(); rc != kOk) {
                    return rc;
                }
                state = State::Kind;
            }
            break;
        }
        case State::Ended:
            return kFileStructIncorrect;
        }
    }
    return kOk;
}

int CBidExtractor::StartFile()
{
    // A name may not repeat, nor be a folder of another entry, nor sit below another file.
    if (entryNames.count(entryName) != 0 || folders.count(entryName) != 0) {
        return kFileExist;
    }
    for (size_t slash = entryName.find('/'); slash != std::string::npos;
         slash = entryName.find('/', slash + 1)) {
        const std::string folder = entryName.substr(0, slash);
        if (entryNames.count(folder) != 0) {
            return kFileExist;
        }
        if (folders.insert(folder).second && mkdirat(stagingFd, folder.c_str(), 0755) != 0) {
            return kWriteDataFailed;
        }
    }
    entryNames.insert(entryName);
    fileFd = openat(stagingFd, entryName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    return fileFd >= 0 ? kOk : kWriteDataFailed;
}

int CBidExtractor::CloseFile()
{
    const bool synced = fsync(fileFd) == 0;
    const bool closed = close(fileFd) == 0;
    fileFd = -1;
    return synced && closed ? kOk : kWriteDataFailed;
}

int CBidExtractor::Finish()
{
    return state == State::Ended ? kOk : kFileStructIncorrect;
}

int CBidExtractor::Commit()
{
    if (stagingFd < 0 || state != State::Ended) {
        return kInvalidParam;
    }
    for (const std::string& folder : folders) {
        if (const int rc = SyncFolderAt(stagingFd, folder); rc != kOk) {
            return rc;
        }
    }
    if (fchmod(stagingFd, 0755) != 0 || fsync(stagingFd) != 0) {
        return kWriteDataFailed;
    }
    const std::filesystem::path out(outputFolder);
    for (int number = 1; number < 10000; ++number) {
        const std::string name = number == 1 ? bidName : bidName + " (" + std::to_string(number) + ")";
        const std::string target = (out / name).string();
        int rc = renameat2(AT_FDCWD, stagingPath.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
        if (rc != 0 && errno == EINVAL) {
            // File systems without RENAME_NOREPLACE: check first, accepting the small race.
            std::error_code ec;
            if (std::filesystem::exists(std::filesystem::symlink_status(target, ec))) {
                continue;
            }
            rc = rename(stagingPath.c_str(), target.c_str());
        }
        if (rc == 0) {
            close(stagingFd);
            stagingFd = -1;
            stagingPath.clear();
            finalPath = target;
            return SyncFolderAt(AT_FDCWD, outputFolder);
        }
        if (errno != EEXIST && errno != ENOTEMPTY) {
            return kWriteDataFailed;
        }
    }
    return kFileExist;
}

void CBidExtractor::Abort()
{
    if (fileFd >= 0) {
        close(fileFd);
        fileFd = -1;
    }
    if (stagingFd >= 0) {
        close(stagingFd);
        stagingFd = -1;
    }
    if (!stagingPath.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(stagingPath, ec);
        stagingPath.clear();
    }
}

} // namespace kelvane::bidx
