// Hashing beside the cipher: a hash fed on a thread of its own, and the small ring of blocks that
// the reading and the sealing pass hand to such threads, so that a pass costs its slowest hash
// rather than the sum of its hashes and its cipher, in the same memory whatever the file's size.
#pragma once

#include "BidSignature.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace kelvane::bidx {

// Hashes blocks on a thread of its own, in the order they are submitted. A failing update is kept
// in the hash (its Final then fails), so a fault on this thread is reported where the digest is
// taken. Every block submitted must stay untouched and alive until it is hashed (WaitFor) or the
// thread is destroyed; the destructor drops what is still queued and waits for the block in hand.
class CHashThread
{
public:
    explicit CHashThread(CFileHash& hash);
    CHashThread(const CHashThread&) = delete;
    CHashThread& operator=(const CHashThread&) = delete;
    ~CHashThread();

    // Queues a block; answers how many blocks have been submitted, this one included.
    uint64_t Submit(const unsigned char* data, size_t size);
    // Waits until the first `count` blocks submitted are hashed.
    void WaitFor(uint64_t count);
    // Waits until every block submitted is hashed.
    void WaitForAll();

private:
    void Run();

    CFileHash& fileHash;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::pair<const unsigned char*, size_t>> queue;
    uint64_t submitted = 0;
    uint64_t hashed = 0;
    bool stop = false;
    std::thread thread; // last: it starts with every other member in place
};

// A few blocks of the same size used in turn: a block is given out again only once every hash
// thread it was submitted to has hashed it. Declare the ring before its threads, so that the
// threads are joined before the blocks go.
class CHashRing
{
public:
    CHashRing(size_t count, size_t blockSize);

    size_t BlockSize() const { return blockSize; }
    // The next block to fill, once the hash threads are done with its previous contents.
    unsigned char* Next();
    // Hands the first `size` bytes of the block from the last Next to each thread (null ones skipped).
    void Submit(size_t size, std::initializer_list<CHashThread*> threads);

private:
    struct CSlot
    {
        // Not cleared: every byte handed on is written first.
        std::unique_ptr<unsigned char[]> bytes;
        std::vector<std::pair<CHashThread*, uint64_t>> pending;
    };
    std::vector<CSlot> slots;
    size_t blockSize;
    size_t current = 0;
    bool started = false;
};

} // namespace kelvane::bidx
