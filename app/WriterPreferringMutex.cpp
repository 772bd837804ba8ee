#include "app/WriterPreferringMutex.h"

#include <cstdlib>

CWriterPreferringMutex::CWriterPreferringMutex()
{
    pthread_rwlockattr_t attributes;
    pthread_rwlockattr_init(&attributes);
    // Only the non-recursive kind really prefers writers; no thread here takes the lock twice.
    pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    if (pthread_rwlock_init(&rwlock, &attributes) != 0) {
        std::abort();
    }
    pthread_rwlockattr_destroy(&attributes);
}

CWriterPreferringMutex::~CWriterPreferringMutex()
{
    pthread_rwlock_destroy(&rwlock);
}

// A failure here means a broken lock (a deadlock or a lock not held): continuing would race.
void CWriterPreferringMutex::lock()
{
    if (pthread_rwlock_wrlock(&rwlock) != 0) {
        std::abort();
    }
}

void CWriterPreferringMutex::unlock()
{
    pthread_rwlock_unlock(&rwlock);
}

void CWriterPreferringMutex::lock_shared()
{
    if (pthread_rwlock_rdlock(&rwlock) != 0) {
        std::abort();
    }
}

void CWriterPreferringMutex::unlock_shared()
{
    pthread_rwlock_unlock(&rwlock);
}
