// Critical sections: process-local mutexes that spin briefly before sleeping.
#pragma once

#include <pthread.h>

#include <cstdint>

namespace platform {

// Usable as a plain mutex from the start (constant-initialised); Initialize
// gives it the spinning behaviour and reports an error code as the system's
// initialisation would. Satisfies BasicLockable for std::lock_guard.
class CriticalSection {
  public:
    constexpr CriticalSection() = default;
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    // 0 on success, else the error number. The spin count only selects the
    // adaptive (spinning) kind of mutex.
    int InitializeAndSpinCount(uint32_t spinCount);
    void Delete();

    void lock() { pthread_mutex_lock(&mutex_); }
    void unlock() { pthread_mutex_unlock(&mutex_); }

  private:
    pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
    bool initialised_ = false;
};

}  // namespace platform
