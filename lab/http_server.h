// The lab's small HTTP server: non-blocking listeners and connections in one
// ppoll loop on a thread of its own, one request per connection (answered
// with "Connection: close"), bounded in connections, request size and time.
// What each request gets is its handler's business; an answer held back
// waits on a timer of the loop, so a slow answer never holds up others.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace lab {

struct HttpRequest {
    std::string method;
    std::string target;
    std::string contentType;
    std::string body;
    uint32_t peer = 0;  // the client's IPv4 address as Ipv4() gives it; 0 for another family
};

// What a handler makes of a request.
struct HttpReply {
    enum class Kind {
        Answer,  // `status`, `body` and `type`, after `delay`
        Close,   // the connection closes unanswered
        Hang,    // the connection is held unanswered, until the client gives up
    } kind = Kind::Answer;
    int status = 200;
    std::string body;
    std::string type = "text/plain";
    std::chrono::steady_clock::duration delay{};
};

struct HttpCounts {
    uint64_t refusedConnections = 0;  // over the connection bound
    uint64_t badRequests = 0;
};

class HttpServer {
  public:
    // Called on the loop's thread with the tag of the listener the request
    // came to.
    using Handler = std::function<HttpReply(size_t tag, const HttpRequest& request)>;

    explicit HttpServer(Handler handler);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // A listener on `address` (IPv4) and `port` (0: an ephemeral one); its
    // tag is its index. Before Start only.
    size_t AddListener(std::string address, uint16_t port);
    // Opens every listener and starts the loop. False with *error when an
    // address cannot be bound or the thread fails.
    bool Start(std::string* error);
    void Stop();

    // Runs `command` on the loop's thread and returns once it has run (at
    // once, here, while the loop is not running).
    void Post(std::function<void()> command);
    // From a posted command: a listener opened again (a failure becomes a
    // note) or closed, so that connections to it are refused.
    void Open(size_t tag);
    void Close(size_t tag);

    // The port the listener of `address` is bound to (0 when it is not).
    uint16_t PortOf(const std::string& address) const;
    HttpCounts Counts() const;
    // Problems of the loop (a failed bind after a fault ended, ...).
    std::vector<std::string> TakeNotes();

  private:
    struct Loop;
    std::unique_ptr<Loop> loop_;
    std::thread thread_;
};

}  // namespace lab
