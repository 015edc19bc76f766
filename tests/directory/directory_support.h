// What the directory tests share: configurations made to order, the server
// run on a thread of its own, a plain HTTP client on loopback, and commands.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
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
#include "support/test_support.h"

namespace dirtest {

using platform::UniqueFd;
using namespace std::chrono_literals;

// Sandrow's speed-test globals pointed at a directory on address:port, both
// directory hosts the same, with waits of seconds rather than a minute, so
// that a lost connection on a busy machine costs little; all of it undone
// after.
class SandrowAgainst {
  public:
    explicit SandrowAgainst(uint16_t port, const char* address = "127.0.0.1") {
        ResetDirectoryForTest();
        ExchangeSettings settings;
        settings.port = port;
        settings.sendTimeoutMs = settings.idleTimeoutMs = 2000;
        settings.replyTimeoutMs = 3000;
        SetExchangeSettingsForTest(settings);
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

// A configuration file in a scratch directory of its own.
class TempFile {
  public:
    explicit TempFile(const std::string& text) { Write(text); }
    void Write(const std::string& text) const { test::WriteFile(path_, text); }
    const std::string& path() const { return path_; }

  private:
    test::TempDir dir_;
    std::string path_ = dir_.file("directory.ini");
};

// The server's loop on a thread, as the program runs it, until destroyed.
// Only the loop's thread touches the server while it runs.
class ServedDirectory {
  public:
    explicit ServedDirectory(const directory::DirectoryConfig& config,
                             directory::ServerLimits limits = {}) {
        directory::ListenAddress at;
        std::string error;
        directory::ParseListenAddress("127.0.0.1:0", &at, &error);
        server_ = directory::DirectoryServer::Listen(at, directory::MakeDocuments(config), &error,
                                                     limits);
        if (!server_ || ::pipe2(stop_, O_CLOEXEC) != 0) throw std::runtime_error(error);
        const std::string bound = server_->Address();
        port_ = static_cast<uint16_t>(std::stoi(bound.substr(bound.rfind(':') + 1)));
        thread_ = std::thread([this] {
            std::string failure;
            directory::Serve(
                *server_, stop_[0], -1, [] {}, &failure);  // no hang-up signal
        });
    }
    ~ServedDirectory() {
        (void)!::write(stop_[1], "x", 1);
        thread_.join();
        for (int fd : stop_) ::close(fd);
    }
    uint16_t port() const { return port_; }

  private:
    std::unique_ptr<directory::DirectoryServer> server_;
    uint16_t port_ = 0;
    int stop_[2] = {-1, -1};
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
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return out;
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

// A shell command's exit code (-1 when it did not exit) and, in *output, its
// standard output and error.
inline int Run(const std::string& command, std::string* output) {
    output->clear();
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[1024];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output->append(buffer, n);
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace dirtest
