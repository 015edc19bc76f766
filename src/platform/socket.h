// Sockets. The socket library needs no start-up on Linux: WSAStartup and
// WSACleanup exist so that start-up and shutdown keep their order and checks.
#pragma once

namespace platform {

// 0 (success) for any requested version.
int WSAStartup(unsigned short version);
int WSACleanup();

}  // namespace platform
