#include "HashThread.h"

namespace kelvane::bidx {

CHashThread::CHashThread(CFileHash& hash)
    : fileHash(hash)
    , thread([this] { Run(); })
{
}

CHashThread::~CHashThread()
{
    {
        const std::lock_guard lock(mutex);
        stop = true;
    }
    changed.notify_all();
    thread.join();
}

uint64_t CHashThread::Submit(const unsigned char* data, size_t size)
{
    uint64_t count = 0;
    {
        const std::lock_guard lock(mutex);
        queue.emplace_back(data, size);
        count = ++submitted;
    }
    changed.notify_all();
    return count;
}

void CHashThread::WaitFor(uint64_t count)
{
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return hashed >= count; });
}

void CHashThread::WaitForAll()
{
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return hashed >= submitted; });
}

void CHashThread::Run()
{
    std::unique_lock lock(mutex);
    for (;;) {
        changed.wait(lock, [&] { return stop || !queue.empty(); });
        if (stop) {
            return;
        }
        const auto [data, size] = queue.front();
        queue.pop_front();
        lock.unlock();
        fileHash.Update(data, size);
        lock.lock();
        ++hashed;
        changed.notify_all();
    }
}

CHashRing::CHashRing(size_t count, size_t size)
    : slots(count)
    , blockSize(size)
{
    for (CSlot& slot : slots) {
        slot.bytes = std::make_unique_for_overwrite<unsigned char[]>(blockSize);
    }
}

unsigned char* CHashRing::Next()
{
    if (started) {
        current = (current + 1) % slots.size();
    }
    started = true;
    CSlot& slot = slots[current];
    for (const auto& [thread, count] : slot.pending) {
        thread->WaitFor(count);
    }
    slot.pending.clear();
    return slot.bytes.get();
}

void CHashRing::Submit(size_t size, std::initializer_list<CHashThread*> threads)
{
    CSlot& slot = slots[current];
    for (CHashThread* thread : threads) {
        if (thread == nullptr) {
            continue;
        }
        slot.pending.emplace_back(thread, thread->Submit(slot.bytes.get(), size));
    }
}

} // namespace kelvane::bidx
