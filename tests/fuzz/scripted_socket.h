// The socket calls of platform/socket.h over a script instead of the network.
// Linked in place of platform/socket.cpp, they let HttpExchange's own receive
// loop read fuzz input: every connection receives the same reply, cut into
// pieces and interleaved with would-block answers as the script's seed says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace fuzz {

struct SocketScript {
    std::string_view reply;   // what every connection receives
    uint64_t seed = 0;        // sizes of the pieces, where a receive would block
    size_t maxPiece = 1;      // no receive answers more than this many bytes
    bool resetAtEnd = false;  // the peer resets the connection instead of closing it
};

// Takes effect at the next connection (OpenTcpSocket).
void SetSocketScript(const SocketScript& script);

// What the current (or last) connection did.
struct SocketLog {
    size_t delivered = 0;  // reply bytes handed out
};
const SocketLog& ConnectionLog();

}  // namespace fuzz
