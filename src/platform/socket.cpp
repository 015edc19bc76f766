// BSD sockets stand in for Winsock.
#include "platform/socket.h"

namespace platform {

int WSAStartup(unsigned short /*version*/) {
    return 0;
}
int WSACleanup() {
    return 0;
}

}  // namespace platform
