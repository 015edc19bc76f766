// What the directory tests share: targets, the served directory, a client.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "directory/config.h"
#include "directory/documents.h"
#include "directory/server.h"
#include "support/http_client.h"
#include "support/test_support.h"

namespace dirtest {

using platform::UniqueFd;
using namespace std::chrono_literals;

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

// A client connection to the server on `port` (throws when refused).
inline UniqueFd Connect(uint16_t port, const std::string& address = "127.0.0.1") {
    UniqueFd fd = test::http::Dial(address + ":" + std::to_string(port));
    int error = 0;
    socklen_t size = sizeof error;
    if (!fd || !test::http::Await(fd.get(), POLLOUT, test::http::Clock::now() + 3s) ||
        ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
        throw std::runtime_error("cannot connect to " + address);
    }
    return fd;
}

using test::http::SendAll;

// Everything until the server closes, or what came within 3 s.
inline std::string ReadAll(int fd, std::chrono::milliseconds timeout = 3000ms) {
    std::string out;
    test::http::ReadUntil(fd, &out, test::http::Clock::now() + timeout);
    return out;
}

// One request, the whole answer.
inline std::string Exchange(uint16_t port, const std::string& request) {
    return test::http::Exchange("127.0.0.1:" + std::to_string(port), request, 3000ms).value_or("");
}

inline std::string Get(uint16_t port, const std::string& path) {
    return Exchange(port,
                    "GET " + path + " HTTP/1.1\r\nHost: directory\r\nConnection: close\r\n\r\n");
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
