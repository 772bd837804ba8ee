#include "BidExtractor.h"

#include "FdWrite.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace kelvane::bidx {
namespace {

int SyncFolder(int dirFd, const std::string& relative)
{
    const int fd = openat(dirFd, relative.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return kWriteDataFailed;
    }
    const int rc = fsync(fd);
    close(fd);
    return rc == 0 ? kOk : kWriteDataFailed;
}

}  // namespace

CBidExtractor::CBidExtractor(std::string outputFolder, std::string bidName)
    : outputFolder_(std::move(outputFolder)), bidName_(std::move(bidName))
{
}

CBidExtractor::~CBidExtractor()
{
    Abort();
}

int CBidExtractor::Begin()
{
    std::error_code ec;
    std::filesystem::create_directories(outputFolder_, ec);
    if (ec || !std::filesystem::is_directory(outputFolder_, ec)) {
        return kWriteDataFailed;
    }
    std::string templ = (std::filesystem::path(outputFolder_) / ".kvopen-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) {
        return kWriteDataFailed;
    }
    stagingPath_ = templ;
    stagingFd_ = open(stagingPath_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (stagingFd_ < 0) {
        return kWriteDataFailed;
    }
    // Held for the staging folder's life: a program starting meanwhile takes only an unlocked
    // staging folder for a crash's leftover.
    flock(stagingFd_, LOCK_EX | LOCK_NB);
    return kOk;
}

int CBidExtractor::TakeField(const unsigned char*& data, size_t& size, size_t want)
{
    const size_t take = std::min(want - fieldSize_, size);
    std::memcpy(field_ + fieldSize_, data, take);
    fieldSize_ += take;
    data += take;
    size -= take;
    return fieldSize_ == want ? 1 : 0;
}

int CBidExtractor::Write(const unsigned char* data, size_t size)
{
    if (stagingFd_ < 0) {
        return kInvalidParam;
    }
    while (size > 0) {
        switch (state_) {
        case State::Kind:
            if (data[0] == kEntryEnd) {
                state_ = State::Ended;
            } else if (data[0] == kEntryFile) {
                state_ = State::NameSize;
            } else {
                return kFileStructIncorrect;
            }
            ++data;
            --size;
            fieldSize_ = 0;
            break;
        case State::NameSize:
            if (TakeField(data, size, 2) == 1) {
                nameSize_ = GetU16(field_);
                if (nameSize_ == 0 || nameSize_ > kMaxNameSize) {
                    return kFileNameFormatError;
                }
                fieldSize_ = 0;
                state_ = State::Name;
            }
            break;
        case State::Name:
            if (TakeField(data, size, nameSize_) == 1) {
                name_.assign(reinterpret_cast<const char*>(field_), nameSize_);
                if (!IsSafeEntryName(name_)) {
                    return kFileNameFormatError;
                }
                fieldSize_ = 0;
                state_ = State::Size;
            }
            break;
        case State::Size:
            if (TakeField(data, size, 8) == 1) {
                remaining_ = GetU64(field_);
                fieldSize_ = 0;
                if (const int rc = StartFile(); rc != kOk) {
                    return rc;
                }
                if (remaining_ == 0) {
                    if (const int rc = CloseFile(); rc != kOk) {
                        return rc;
                    }
                    state_ = State::Kind;
                } else {
                    state_ = State::Data;
                }
            }
            break;
        case State::Data: {
            const size_t take = static_cast<size_t>(std::min<uint64_t>(remaining_, size));
            if (const int rc = WriteAllToFd(fileFd_, data, take); rc != kOk) {
                return rc;
            }
            data += take;
            size -= take;
            remaining_ -= take;
            if (remaining_ == 0) {
                if (const int rc = CloseFile(); rc != kOk) {
                    return rc;
                }
                state_ = State::Kind;
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
    if (names_.count(name_) != 0 || folders_.count(name_) != 0) {
        return kFileExist;
    }
    for (size_t slash = name_.find('/'); slash != std::string::npos; slash = name_.find('/', slash + 1)) {
        const std::string folder = name_.substr(0, slash);
        if (names_.count(folder) != 0) {
            return kFileExist;
        }
        if (folders_.insert(folder).second && mkdirat(stagingFd_, folder.c_str(), 0755) != 0) {
            return kWriteDataFailed;
        }
    }
    names_.insert(name_);
    fileFd_ = openat(stagingFd_, name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    return fileFd_ >= 0 ? kOk : kWriteDataFailed;
}

int CBidExtractor::CloseFile()
{
    const bool synced = fsync(fileFd_) == 0;
    const bool closed = close(fileFd_) == 0;
    fileFd_ = -1;
    return synced && closed ? kOk : kWriteDataFailed;
}

int CBidExtractor::Finish()
{
    return state_ == State::Ended ? kOk : kFileStructIncorrect;
}

int CBidExtractor::Commit()
{
    if (stagingFd_ < 0 || state_ != State::Ended) {
        return kInvalidParam;
    }
    for (const std::string& folder : folders_) {
        if (const int rc = SyncFolder(stagingFd_, folder); rc != kOk) {
            return rc;
        }
    }
    if (fchmod(stagingFd_, 0755) != 0 || fsync(stagingFd_) != 0) {
        return kWriteDataFailed;
    }
    const std::filesystem::path out(outputFolder_);
    for (int number = 1; number < 10000; ++number) {
        const std::string name = number == 1 ? bidName_ : bidName_ + " (" + std::to_string(number) + ")";
        const std::string target = (out / name).string();
        int rc = renameat2(AT_FDCWD, stagingPath_.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
        if (rc != 0 && errno == EINVAL) {
            // File systems without RENAME_NOREPLACE: check first, accepting the small race.
            std::error_code ec;
            if (std::filesystem::exists(std::filesystem::symlink_status(target, ec))) {
                continue;
            }
            rc = rename(stagingPath_.c_str(), target.c_str());
        }
        if (rc == 0) {
            close(stagingFd_);
            stagingFd_ = -1;
            stagingPath_.clear();
            finalPath_ = target;
            return SyncFolder(AT_FDCWD, outputFolder_);
        }
        if (errno != EEXIST && errno != ENOTEMPTY) {
            return kWriteDataFailed;
        }
    }
    return kFileExist;
}

void CBidExtractor::Abort()
{
    if (fileFd_ >= 0) {
        close(fileFd_);
        fileFd_ = -1;
    }
    if (stagingFd_ >= 0) {
        close(stagingFd_);
        stagingFd_ = -1;
    }
    if (!stagingPath_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(stagingPath_, ec);
        stagingPath_.clear();
    }
}

}  // namespace kelvane::bidx
