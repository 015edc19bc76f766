// One answer per connection over HTTP/1.x (Connection: close), served without
// blocking from a poll loop within what one client is allowed, so that no
// client can hold the loop or its memory: the metrics endpoint's server and
// sandrow-directory's.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fd.h"

namespace corvane {

// What one client is allowed, and how many are served at once.
struct AnswerLimits {
    size_t maxHeadBytes = 8192;                // a longer request head: 431, then closed
    std::chrono::milliseconds deadline{5000};  // from accept to close, whatever the client does
    size_t maxConnections = 32;
};

// What becomes of a connection beyond maxConnections: it waits in the
// kernel's listen backlog (the listener is not polled meanwhile), or it is
// closed at once so that its client learns it now and retries.
enum class WhenFull { Wait, Close };

// A whole answer: status line, the headers every answer has, the body (left
// out for HEAD, its length kept).
std::string HttpResponse(const char* status, const char* contentType, const std::string& body,
                         bool headOnly, const char* extraHeader = nullptr);
// A one-line text/plain answer.
std::string HttpPlain(const char* status, const char* text, bool headOnly = false,
                      const char* extraHeader = nullptr);

// The request line of a head; all empty when it is not three words.
struct RequestLine {
    std::string_view method;
    std::string_view target;
    std::string_view version;
};
RequestLine ParseRequestLine(std::string_view head);

class AnswerServer {
  public:
    using Clock = std::chrono::steady_clock;
    // The whole answer to one request head (up to and including its blank line).
    using Handler = std::function<std::string(std::string_view head)>;
    // One line, when accepting has to pause.
    using LogFn = std::function<void(const std::string&)>;

    AnswerServer(platform::UniqueFd listener, AnswerLimits limits, WhenFull whenFull,
                 Handler handler, LogFn log);
    ~AnswerServer();
    AnswerServer(const AnswerServer&) = delete;
    AnswerServer& operator=(const AnswerServer&) = delete;

    // The address as bound, "127.0.0.1:9464" or "[::1]:9464"; "?" when unknown.
    std::string Address() const;
    size_t connections() const { return connections_.size(); }

    // One turn of a poll loop: the descriptors to wait on, how long to wait
    // at most (ms, -1 for no limit), and the work once poll returned (the
    // server's own entries, in the order it added them).
    void AddFds(std::vector<pollfd>* fds);
    int MsUntilWork() const;
    void Work(std::span<const pollfd> fds);

  private:
    struct Connection;
    void Accept(Clock::time_point now);
    void Read(Connection& c);
    void Flush(Connection& c);
    void Drain(Connection& c);

    platform::UniqueFd listener_;
    AnswerLimits limits_;
    WhenFull whenFull_;
    Handler handler_;
    LogFn log_;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::vector<Connection*> polled_;  // in the order AddFds gave them
    bool listenerPolled_ = false;
    Clock::time_point acceptPausedUntil_{};
    bool pauseLogged_ = false;
};

}  // namespace corvane
