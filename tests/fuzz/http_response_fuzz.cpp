// Fuzzes all that the speed-test client runs on a directory host's reply.
// The input is the reply. HttpExchange's own receive loop reads it through
// the scripted socket (pieces of varying size, would-block answers, a reset
// at the end), once under the real 32 MiB limit and once under a limit
// inside the reply; then GetConfig and GetClosestServers take it from every
// connection they make, through the body split, the chunked decoding, the
// tag reader and the ranking by distance.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "platform/console.h"
#include "scripted_socket.h"
#include "speedtest/directory.h"
#include "speedtest/http_exchange.h"

namespace {

constexpr size_t kReceiveBytes = 10240;  // what one receive of the loop asks for at most
// Two points on the sphere are at most half its circumference apart.
constexpr double kFarthestMiles = 180.0 * 60.0 * 1.1515;
const ExchangeProfile kQuiet = {nullptr, false, false};

uint64_t Fnv1a(std::string_view bytes) {
    uint64_t hash = 14695981039346656037ULL;
    for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ULL;
    return hash;
}

struct Received {
    std::string bytes;
    size_t lastPiece = 0;
};

// One exchange with a sink that keeps what it was handed and checks each
// chunk as the loop promises it: never empty, never more than one receive,
// and followed by a NUL so that it reads as text.
Received Exchange() {
    Received got;
    ExchangeResult result = HttpExchange(kQuiet, "directory.test", "GET / HTTP/1.1\r\n\r\n",
                                         [&got](const char* data, size_t count) {
                                             FUZZ_CHECK(count > 0 && count <= kReceiveBytes);
                                             FUZZ_CHECK(data[count] == '\0');
                                             got.bytes.append(data, count);
                                             got.lastPiece = count;
                                             return true;
                                         });
    FUZZ_CHECK(result.status == 0 && result.bytesReceived == got.bytes.size());
    FUZZ_CHECK(got.bytes.size() == fuzz::ConnectionLog().delivered);
    CloseExchangeSocket(kQuiet, result.socket);
    return got;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = [] {
        platform::SetConsoleSinkForTest([](std::string_view) {});
        setenv("SANDROW_DIRECTORY_HOST", "primary.test", 1);
        setenv("SANDROW_DIRECTORY_HOST2", "secondary.test", 1);
        return true;
    }();
    (void)ready;

    const std::string reply(reinterpret_cast<const char*>(data), size);
    const uint64_t seed = Fnv1a(reply);

    // Under the program's own limit every byte arrives, in order, however the
    // network cuts it (at most about 32 receives here, to stay fast).
    ResetExchangeSettingsForTest();
    size_t maxPiece = std::max<size_t>(1 + seed % kReceiveBytes, size / 32 + 1);
    fuzz::SetSocketScript({reply, seed, maxPiece, (seed >> 20) % 2 == 0});
    FUZZ_CHECK(Exchange().bytes == reply);

    // A limit inside the reply: the loop stops at the first piece that takes
    // it past the limit, and hands out nothing after that piece.
    if (size > 0) {
        ExchangeSettings settings;
        settings.maxResponseBytes = static_cast<size_t>(seed >> 24) % size;
        SetExchangeSettingsForTest(settings);
        fuzz::SetSocketScript({reply, seed >> 3, maxPiece, false});
        Received got = Exchange();
        FUZZ_CHECK(std::string_view(reply).substr(0, got.bytes.size()) == got.bytes);
        FUZZ_CHECK(got.bytes.size() > settings.maxResponseBytes);
        FUZZ_CHECK(got.bytes.size() - got.lastPiece <= settings.maxResponseBytes);
        ResetExchangeSettingsForTest();
    }

    // The directory, every connection answered with this reply as a real
    // socket would cut it.
    ResetDirectoryForTest();
    fuzz::SetSocketScript({reply, seed >> 5, kReceiveBytes, (seed >> 21) % 2 == 0});
    GetConfig(1);
    ServerList nearest;
    GetClosestServers(nearest);
    size_t ranked = 0;
    for (const auto& [distance, records] : gServersByDistance) {
        FUZZ_CHECK(distance >= 0 && distance <= kFarthestMiles * (1 + 1e-12) && !records.empty());
        ranked += records.size();
    }
    // One entry per server and distance, however often the lists name it.
    FUZZ_CHECK(ranked <= gPrimaryServerList.size());
    FUZZ_CHECK(nearest.size() <= ranked);
    return 0;
}
