// Critical sections over POSIX mutexes.
#include "platform/sync.h"

namespace platform {

int CriticalSection::InitializeAndSpinCount(uint32_t spinCount) {
    if (initialised_) return 0;
    pthread_mutexattr_t attributes;
    int error = pthread_mutexattr_init(&attributes);
    if (error != 0) return error;
    if (spinCount > 0) pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ADAPTIVE_NP);
    error = pthread_mutex_init(&mutex_, &attributes);
    pthread_mutexattr_destroy(&attributes);
    if (error == 0) initialised_ = true;
    return error;
}

void CriticalSection::Delete() {
    if (!initialised_) return;
    pthread_mutex_destroy(&mutex_);
    mutex_ = PTHREAD_MUTEX_INITIALIZER;  // stays usable for a late caller or a test
    initialised_ = false;
}

}  // namespace platform
