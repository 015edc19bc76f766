// What the directory tests share: configurations made to order, the server
// run on a thread of its own, and a plain HTTP client on loopback.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "directory/config.h"
#include "directory/documents.h"
#include "directory/server.h"
#include "platform/fd.h"
#include "speedtest/directory.h"
#include "speedtest/http_exchange.h"

namespace dirtest {

using platform::UniqueFd;
using namespace std::chrono_literals;

// sandrow's exchanges aimed at `port`, with waits of seconds rather than a
// minute, so that a lost connection on a busy machine costs little.
inline void ShortSandrowWaits(uint16_t port) {
    ExchangeSettings settings;
    settings.port = port;
    settings.sendTimeoutMs = 2000;
    settings.idleTimeoutMs = 2000;
    settings.replyTimeoutMs = 3000;
    SetExchangeSettingsForTest(settings);
}

// Sandrow's speed-test globals pointed at a directory on address:port, both
// directory hosts the same, with short waits; all of it undone after.
class SandrowAgainst {
  public:
    explicit SandrowAgainst(uint16_t port, const char* address = "127.0.0.1") {
        ResetDirectoryForTest();
        ShortSandrowWaits(port);
        ::setenv("SANDROW_DIRECTORY_HOST", address, 1);
        ::setenv("SANDROW_DIRECTORY_HOST2", address, 1);
    }
    ~SandrowAgainst() {
        ::unsetenv("SANDROW_DIRECTORY_HOST");
        ::unsetenv("SANDROW_DIRECTORY_HOST2");
        ResetExchangeSettingsForTest();
        ResetDirectoryForTest();
        ClearLastErrorText();
    }
    SandrowAgainst(const SandrowAgainst&) = delete;
    SandrowAgainst& operator=(const SandrowAgainst&) = delete;
};

// "t3" for ("t", 3). Appended rather than "t" + std::to_string(3): GCC 12's
// -Wrestrict misreads that sum at -O3 (Release).
inline std::string Numbered(const char* prefix, size_t n) {
    std::string text = prefix;
    text += std::to_string(n);
    return text;
}

inline directory::Target MakeTarget(std::string name, std::string host, double lat, double lon) {
    directory::Target t;
    t.name = std::move(name);
    t.host = std::move(host);
    t.lat = lat;
    t.lon = lon;
    return t;
}

// A file of its own under the test's temporary directory, removed with it.
class TempFile {
  public:
    explicit TempFile(const std::string& text) {
        path_ = (std::string(::testing::TempDir()) + "directory-XXXXXX.ini");
        int fd = ::mkstemps(path_.data(), 4);
        if (fd < 0) throw std::runtime_error("cannot create " + path_);
        ::close(fd);
        Write(text);
    }
    ~TempFile() { ::unlink(path_.c_str()); }
    void Write(const std::string& text) const {
        FILE* f = std::fopen(path_.c_str(), "w");
        std::fputs(text.c_str(), f);
        std::fclose(f);
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// The server's loop on a thread, as the program runs it, until destroyed.
// Only the loop's thread touches the server while it runs.
class ServedDirectory {
  public:
    explicit ServedDirectory(const directory::DirectoryConfig& config,
                             directory::ServerLimits limits = {},
                             const std::string& address = "127.0.0.1") {
        directory::ListenAddress at;
        std::string error;
        if (!directory::ParseListenAddress(address + ":0", &at, &error)) {
            throw std::runtime_error(error);
        }
        server_ = directory::DirectoryServer::Listen(at, directory::MakeDocuments(config), &error,
                                                     limits);
        if (!server_) throw std::runtime_error(error);
        const std::string bound = server_->Address();
        port_ = static_cast<uint16_t>(std::stoi(bound.substr(bound.rfind(':') + 1)));
        int stop[2];
        int hangUp[2];
        if (::pipe2(stop, O_CLOEXEC) != 0 || ::pipe2(hangUp, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe");
        }
        stopRead_ = UniqueFd(stop[0]);
        stopWrite_ = UniqueFd(stop[1]);
        hangUpRead_ = UniqueFd(hangUp[0]);
        hangUpWrite_ = UniqueFd(hangUp[1]);
        thread_ = std::thread([this] {
            std::string failure;
            directory::Serve(
                *server_, stopRead_.get(), hangUpRead_.get(), [] {}, &failure);
        });
    }
    ~ServedDirectory() {
        char byte = 1;
        (void)!::write(stopWrite_.get(), &byte, 1);
        thread_.join();
    }
    uint16_t port() const { return port_; }

  private:
    std::unique_ptr<directory::DirectoryServer> server_;
    uint16_t port_ = 0;
    UniqueFd stopRead_, stopWrite_, hangUpRead_, hangUpWrite_;
    std::thread thread_;
};

// A blocking client connection to address:port (throws when refused).
inline UniqueFd Connect(uint16_t port, const std::string& address = "127.0.0.1") {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        throw std::runtime_error("cannot connect to " + address);
    }
    return fd;
}

inline void SendAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;  // the server may close early (431); the answer tells
        done += static_cast<size_t>(n);
    }
}

// Everything until the server closes, or what came within `timeout`.
inline std::string ReadAll(int fd, std::chrono::milliseconds timeout = 3000ms) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return out;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return out;
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return out;
        out.append(buffer, static_cast<size_t>(n));
    }
}

// One request, the whole answer.
inline std::string Exchange(uint16_t port, const std::string& request,
                            const std::string& address = "127.0.0.1") {
    UniqueFd fd = Connect(port, address);
    SendAll(fd.get(), request);
    return ReadAll(fd.get());
}

inline std::string Get(uint16_t port, const std::string& path, const char* method = "GET",
                       const std::string& address = "127.0.0.1") {
    return Exchange(port,
                    std::string(method) + " " + path +
                        " HTTP/1.1\r\nHost: directory\r\nConnection: close\r\n\r\n",
                    address);
}

}  // namespace dirtest
