// The outbox: operation records that the log service has not accepted yet, kept on disk until it
// does. The folder is "outbox" inside the local log's folder, <config>/QUARN/logs/rmw/outbox,
// whatever the local log's own setting says.
//
// One file per record, named by a 20-digit sequence number so that the names sort in the order
// the records were kept: "<sequence>.rec". A record is written to "<sequence>.tmp", flushed to
// the disk, renamed to its ".rec" name and the folder flushed, so that a record is either whole
// under its name or not there. The file holds the record id, the record's JSON text and its
// signature, each with its length, and a SHA-256 of the bytes before it; a file that does not
// read back whole (a crash mid-write on a disk that reordered writes) is renamed to
// "<sequence>.damaged" and the others go on. A leftover ".tmp" that reads back whole is a record
// whose rename was cut off: it is taken as the ".rec" of its sequence; one that does not is set
// aside as ".damaged". The layout is described in docs/outbox-format.md.
//
// An open CRecordOutbox holds the folder's lock (flock on "<folder>/lock"), so that kelvane and
// kelvane-cli never interleave their records; the lock goes with the object.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One record waiting for the log service.
struct CPendingRecord
{
    std::string recordId; // 32 lower-case hexadecimal digits, also the JSON's "recordid"
    std::string plainText; // the record's JSON text, as signed
    std::string signedData; // Base64 of the CMS signature; empty while the record waits to be signed
    std::string fileName; // the name in the outbox; empty for a record not written yet
};

class CRecordOutbox
{
public:
    // Takes the folder's lock, waiting for another process's session to end. A missing folder is
    // made by the first Add only: without it nothing waits. IsOpen() is false until the folder
    // exists and is locked.
    explicit CRecordOutbox(std::string folder);
    ~CRecordOutbox();
    CRecordOutbox(const CRecordOutbox&) = delete;
    CRecordOutbox& operator=(const CRecordOutbox&) = delete;

    bool IsOpen() const { return lockFd >= 0; }

    // The records waiting, oldest first. Damaged files are set aside on the way (their names are
    // added to damaged when it is given).
    std::vector<CPendingRecord> Pending(std::vector<std::string>* damaged = nullptr);
    // Writes the record as the newest, durably; sets record.fileName. False when it could not be
    // written whole (nothing of it is then left under a ".rec" name).
    bool Add(CPendingRecord& record);
    // Writes the record again under its name (after it was signed), durably.
    bool Replace(const CPendingRecord& record);
    // Removes an accepted record.
    bool Remove(const CPendingRecord& record);

    // The file's bytes for a record, and the record read back from them (nullopt unless whole).
    static std::string Encode(const CPendingRecord& record);
    static std::optional<CPendingRecord> Decode(std::string_view bytes);

    // <config>/QUARN/logs/rmw/outbox for the present configuration folder, or empty.
    static std::string DefaultFolder();

private:
    bool Create();
    bool Lock();
    bool WriteDurably(const std::string& sequence, const CPendingRecord& record);
    bool SyncFolder() const;

    std::string folder;
    int lockFd = -1;
};
