#include "audit/CRecordOutbox.h"

#include "app/TextConversion.h"
#include "app/Utility.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::string_view kHeader = "KELVANE-OUTBOX-RECORD 1\n";
constexpr size_t kSequenceDigits = 20;
// A record is a few kilobytes; a length beyond this is a damaged file, not a record.
constexpr size_t kMaxFieldBytes = 16u << 20;

std::string Hex(const unsigned char* bytes, size_t length)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

std::string Sha256Hex(std::string_view bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        return {};
    return Hex(digest, length);
}

bool IsRecordId(std::string_view id)
{
    return id.size() == 32 && std::all_of(id.begin(), id.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    });
}

void AddField(std::string& out, std::string_view name, std::string_view value)
{
    out.append(name).append(" ").append(std::to_string(value.size())).append("\n").append(value).append("\n");
}

// Reads "<name> <length>\n<bytes>\n" at the cursor.
std::optional<std::string> TakeField(std::string_view& rest, std::string_view name)
{
    if (!rest.starts_with(name) || rest.size() <= name.size() || rest[name.size()] != ' ')
        return std::nullopt;
    rest.remove_prefix(name.size() + 1);
    const size_t end = rest.find('\n');
    if (end == std::string_view::npos || end == 0)
        return std::nullopt;
    size_t length = 0;
    const auto [last, error] = std::from_chars(rest.data(), rest.data() + end, length);
    if (error != std::errc() || last != rest.data() + end || length > kMaxFieldBytes)
        return std::nullopt;
    rest.remove_prefix(end + 1);
    if (rest.size() < length + 1 || rest[length] != '\n')
        return std::nullopt;
    std::string value(rest.substr(0, length));
    rest.remove_prefix(length + 1);
    return value;
}

std::optional<std::string> ReadFile(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string bytes;
    char buffer[8192];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            close(fd);
            return std::nullopt;
        }
        if (got == 0)
            break;
        bytes.append(buffer, static_cast<size_t>(got));
        if (bytes.size() > 4 * kMaxFieldBytes)
            break; // no record is this large: it will not decode
    }
    close(fd);
    return bytes;
}

// The sequence number of an outbox name ("<20 digits>.<anything>"), or nullopt.
std::optional<unsigned long long> SequenceOf(std::string_view name)
{
    if (name.size() <= kSequenceDigits || name[kSequenceDigits] != '.')
        return std::nullopt;
    unsigned long long sequence = 0;
    const auto [last, error] = std::from_chars(name.data(), name.data() + kSequenceDigits, sequence);
    if (error != std::errc() || last != name.data() + kSequenceDigits)
        return std::nullopt;
    return sequence;
}

std::vector<std::string> ListNames(const std::string& folder)
{
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return names;
    while (const dirent* entry = readdir(dir)) {
        if (SequenceOf(entry->d_name))
            names.emplace_back(entry->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

bool SyncPath(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = fsync(fd) == 0;
    return close(fd) == 0 && synced;
}

} // namespace

CRecordOutbox::CRecordOutbox(std::string folderPath)
    : folder(std::move(folderPath))
{
    struct stat info
    {
    };
    if (!folder.empty() && stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        Lock();
}

bool CRecordOutbox::Create()
{
    if (IsOpen())
        return true;
    if (folder.empty() || CreateDirectoryTree(Utf8ToWide(folder)) == 0)
        return false;
    // The new folder's entry must be on the disk before a record is kept in it.
    SyncPath(folder.substr(0, folder.find_last_of('/')));
    return Lock();
}

bool CRecordOutbox::Lock()
{
    const int fd = open((folder + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    int locked = -1;
    while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR) { }
    if (locked != 0) {
        close(fd);
        return false;
    }
    lockFd = fd;
    return true;
}

CRecordOutbox::~CRecordOutbox()
{
    if (lockFd >= 0)
        close(lockFd); // releases the lock
}

std::string CRecordOutbox::DefaultFolder()
{
    const std::string config = WideToUtf8(GetConfigHomeDir());
    return config.empty() ? std::string() : config + "/QUARN/logs/rmw/outbox";
}

std::string CRecordOutbox::Encode(const CPendingRecord& record)
{
    std::string bytes(kHeader);
    AddField(bytes, "recordid", record.recordId);
    AddField(bytes, "plaintext", record.plainText);
    AddField(bytes, "signeddata", record.signedData);
    const std::string sum = Sha256Hex(bytes);
    bytes.append("sha256 ").append(sum).append("\n");
    return bytes;
}

std::optional<CPendingRecord> CRecordOutbox::Decode(std::string_view bytes)
{
    const std::string_view whole = bytes;
    std::string_view rest = bytes;
    if (!rest.starts_with(kHeader))
        return std::nullopt;
    rest.remove_prefix(kHeader.size());
    CPendingRecord record;
    auto id = TakeField(rest, "recordid");
    auto plain = id ? TakeField(rest, "plaintext") : std::nullopt;
    auto signature = plain ? TakeField(rest, "signeddata") : std::nullopt;
    if (!signature || !IsRecordId(*id) || plain->empty())
        return std::nullopt;
    const std::string_view summed = whole.substr(0, whole.size() - rest.size());
    const std::string expected = "sha256 " + Sha256Hex(summed) + "\n";
    if (rest != expected)
        return std::nullopt;
    record.recordId = std::move(*id);
    record.plainText = std::move(*plain);
    record.signedData = std::move(*signature);
    return record;
}

std::vector<CPendingRecord> CRecordOutbox::Pending(std::vector<std::string>* damaged)
{
    std::vector<CPendingRecord> records;
    if (!IsOpen())
        return records;
    auto setAside = [&](const std::string& name) {
        rename((folder + "/" + name).c_str(), (folder + "/" + name + ".damaged").c_str());
        if (damaged != nullptr)
            damaged->push_back(name);
    };
    bool renamed = false;
    // A ".tmp" is what a session cut off between writing and renaming left behind.
    for (const std::string& name : ListNames(folder)) {
        if (!name.ends_with(".tmp") || name.size() != kSequenceDigits + 4)
            continue;
        const auto bytes = ReadFile(folder + "/" + name);
        if (bytes && Decode(*bytes))
            rename((folder + "/" + name).c_str(),
                (folder + "/" + name.substr(0, kSequenceDigits) + ".rec").c_str());
        else
            setAside(name);
        renamed = true;
    }
    for (const std::string& name : ListNames(folder)) {
        if (!name.ends_with(".rec") || name.size() != kSequenceDigits + 4)
            continue;
        const auto bytes = ReadFile(folder + "/" + name);
        auto record = bytes ? Decode(*bytes) : std::nullopt;
        if (!record) {
            setAside(name);
            renamed = true;
            continue;
        }
        record->fileName = name;
        records.push_back(std::move(*record));
    }
    if (renamed)
        SyncFolder();
    return records;
}

bool CRecordOutbox::Add(CPendingRecord& record)
{
    if (!Create())
        return false;
    unsigned long long last = 0;
    for (const std::string& name : ListNames(folder))
        last = std::max(last, *SequenceOf(name));
    std::string sequence = std::to_string(last + 1);
    sequence.insert(0, kSequenceDigits - std::min(kSequenceDigits, sequence.size()), '0');
    if (!WriteDurably(sequence, record))
        return false;
    record.fileName = sequence + ".rec";
    return true;
}

bool CRecordOutbox::Replace(const CPendingRecord& record)
{
    return IsOpen() && SequenceOf(record.fileName)
        && WriteDurably(record.fileName.substr(0, kSequenceDigits), record);
}

bool CRecordOutbox::Remove(const CPendingRecord& record)
{
    if (!IsOpen() || !SequenceOf(record.fileName))
        return false;
    if (unlink((folder + "/" + record.fileName).c_str()) != 0 && errno != ENOENT)
        return false;
    return SyncFolder();
}

bool CRecordOutbox::WriteDurably(const std::string& sequence, const CPendingRecord& record)
{
    const std::string temporary = folder + "/" + sequence + ".tmp";
    const std::string final = folder + "/" + sequence + ".rec";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const bool written = WriteAll(fd, Encode(record)) && fsync(fd) == 0;
    if (close(fd) != 0 || !written || rename(temporary.c_str(), final.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    // The rename is durable only once the folder is.
    return SyncFolder();
}

bool CRecordOutbox::SyncFolder() const
{
    return SyncPath(folder);
}
