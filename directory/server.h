// The directory's HTTP side: GET and HEAD of the two documents, answered
// from one poll loop with the limits of the service's metrics endpoint, so
// that no client can hold the loop or its memory.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "directory/documents.h"
#include "platform/fd.h"
#include "service/answer_server.h"

namespace directory {

using platform::UniqueFd;

inline constexpr const char* kDefaultListen = "127.0.0.1:80";

// What the server allows one client, and how many it serves at once.
struct ServerLimits {
    size_t maxHeadBytes = 8192;                // a longer request head: 431, then closed
    std::chrono::milliseconds deadline{5000};  // from accept to close, whatever the client does
    size_t maxClients = 64;                    // beyond it a new connection is closed at once
};

// "ADDRESS:PORT" with a dotted IPv4 address; false with *error otherwise.
struct ListenAddress {
    uint32_t address = 0;  // network byte order
    uint16_t port = 0;     // host order; 0 lets the kernel choose (tests)
};
bool ParseListenAddress(const std::string& text, ListenAddress* out, std::string* error);

// A listening socket on `address`, not blocking; invalid with *error (one
// line, with a hint for the common refusals) when it cannot be had.
UniqueFd OpenListener(const ListenAddress& address, std::string* error);

// The listening socket the service manager passed (socket activation): fd 3
// when LISTEN_PID is this process and LISTEN_FDS is 1 or more. The variables
// are removed so that nothing started later takes them for its own. An
// invalid descriptor when none was passed; also with *error set when one was
// announced but fd 3 is not a listening stream socket.
UniqueFd TakeActivatedListener(std::string* error);

// The whole answer to one request head (the text up to and including its
// blank line), with the documents as they are now.
std::string Answer(std::string_view head, const Documents& documents);

class DirectoryServer {
  public:
    using Clock = std::chrono::steady_clock;

    // Listens on `address`; nullptr with *error (one line) when it cannot.
    static std::unique_ptr<DirectoryServer> Listen(const ListenAddress& address,
                                                   Documents documents, std::string* error,
                                                   ServerLimits limits = {});
    // Serves on a socket that already listens (socket activation).
    static std::unique_ptr<DirectoryServer> Adopt(UniqueFd listener, Documents documents,
                                                  std::string* error, ServerLimits limits = {});
    ~DirectoryServer();
    DirectoryServer(const DirectoryServer&) = delete;
    DirectoryServer& operator=(const DirectoryServer&) = delete;

    // Answers given from now on use these; answers under way keep theirs.
    void SetDocuments(Documents documents) { documents_ = std::move(documents); }
    const Documents& documents() const { return documents_; }
    // The address as bound, "127.0.0.1:80".
    std::string Address() const { return server_.Address(); }
    size_t clients() const { return server_.connections(); }

    // One turn of a poll loop: the descriptors to wait on, how long to wait
    // at most (ms, -1 for no limit), and the work once poll returned.
    void AddFds(std::vector<pollfd>* fds) { server_.AddFds(fds); }
    int MsUntilWork() const { return server_.MsUntilWork(); }
    void Work(std::span<const pollfd> fds) { server_.Work(fds); }

  private:
    DirectoryServer(UniqueFd listener, Documents documents, ServerLimits limits);

    Documents documents_;  // before server_, whose answers read it
    corvane::AnswerServer server_;
};

// Reads the configuration at `path` again and, when it is good, serves its
// documents from now on. A bad file leaves the documents as they were;
// either way `log` gets one line.
bool Reload(const std::string& path, DirectoryServer& server,
            const std::function<void(const std::string&)>& log);

// The program's loop: serves until a stop signal is readable on `stopFd`, and
// calls `onHangUp` whenever a signal is readable on `hangUpFd` (each signal
// read off it first). False with *error when poll fails.
bool Serve(DirectoryServer& server, int stopFd, int hangUpFd, const std::function<void()>& onHangUp,
           std::string* error);

// SIGHUP blocked and delivered through the descriptor returned (readable when
// one came); invalid with errno set when that cannot be arranged.
UniqueFd TakeHangUpSignal();

}  // namespace directory
