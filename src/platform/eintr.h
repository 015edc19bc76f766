// Retrying a system call that a signal interrupted, in one place.
#pragma once

#include <cerrno>

namespace platform {

// Calls `call` again while it fails with EINTR; the final result and errno
// are those of the last attempt. For calls that answer -1 (or a negative
// value) on failure; never for close(), which releases the descriptor even
// when interrupted.
template <typename Call>
auto RetryOnEintr(Call call) {
    for (;;) {
        auto result = call();
        if (!(result < 0 && errno == EINTR)) return result;
    }
}

}  // namespace platform
