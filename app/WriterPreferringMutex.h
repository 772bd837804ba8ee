// A reader-writer lock under which a waiting writer goes before readers that arrive after it.
// std::shared_mutex on glibc prefers readers: a steady stream of readers keeps a writer out for
// as long as it lasts. Usable with std::shared_lock and std::unique_lock.
#pragma once

#include <pthread.h>

class CWriterPreferringMutex
{
public:
    CWriterPreferringMutex();
    ~CWriterPreferringMutex();
    CWriterPreferringMutex(const CWriterPreferringMutex&) = delete;
    CWriterPreferringMutex& operator=(const CWriterPreferringMutex&) = delete;

    void lock();
    void unlock();
    void lock_shared();
    void unlock_shared();

private:
    pthread_rwlock_t rwlock;
};
