// The directory's server: its answers, its limits under hostile clients, the
// reload, and the program itself started the way the service manager does.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "directory/server.h"
#include "directory_support.h"
#include "support/process_wait.h"

namespace {

using directory::DirectoryConfig;
using dirtest::MakeTarget;
using dirtest::ServedDirectory;
using namespace std::chrono_literals;

DirectoryConfig OneTarget(const std::string& name = "a") {
    DirectoryConfig config;
    config.location.lat = 52.5;
    config.location.lon = 13.4;
    config.targets.push_back(MakeTarget(name, "speedtest.example.net", 52.4, 13.1));
    return config;
}

std::string StatusLine(const std::string& answer) {
    return answer.substr(0, answer.find("\r\n"));
}

std::string BodyOf(const std::string& answer) {
    const size_t blank = answer.find("\r\n\r\n");
    return blank == std::string::npos ? std::string() : answer.substr(blank + 4);
}

TEST(DirectoryServer, AnswersEachRequestHeadAsItShould) {
    const directory::Documents documents{"<config/>", "<list/>"};
    struct Case {
        const char* request;
        const char* status;
        const char* body;  // nullptr: not checked
        const char* header;
    };
    const Case cases[] = {
        {"GET /speedtest-config.php HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", "<config/>",
         "Content-Type: text/xml; charset=utf-8\r\n"},
        {"GET /speedtest-servers-static.php HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 OK",
         "<list/>", "Content-Length: 7\r\n"},
        {"GET /speedtest-servers-static.php?threads=4&x=y HTTP/1.0\n\n", "HTTP/1.1 200 OK",
         "<list/>", "Connection: close\r\n"},
        {"HEAD /speedtest-config.php HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", "",
         "Content-Length: 9\r\n"},
        {"GET /speedtest/latency.txt HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", nullptr,
         "Connection: close\r\n"},
        {"GET /speedtest-config.php/x HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", nullptr, ""},
        {"HEAD /nothing HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", "", ""},
        {"POST /speedtest-config.php HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed", nullptr,
         "Allow: GET, HEAD\r\n"},
        {"get /speedtest-config.php HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed", nullptr,
         ""},
        {"GET /speedtest-config.php\r\n\r\n", "HTTP/1.1 400 Bad Request", nullptr, ""},
        {"GET  /speedtest-config.php HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request", nullptr, ""},
        {"GET /speedtest-config.php SPDY/3\r\n\r\n", "HTTP/1.1 400 Bad Request", nullptr, ""},
        {"\r\n\r\n", "HTTP/1.1 400 Bad Request", nullptr, ""},
    };
    for (const Case& c : cases) {
        const std::string answer = directory::Answer(c.request, documents);
        EXPECT_EQ(StatusLine(answer), c.status) << c.request;
        if (c.body != nullptr) {
            EXPECT_EQ(BodyOf(answer), c.body) << c.request;
        }
        EXPECT_NE(answer.find(c.header), std::string::npos) << c.request << answer;
        EXPECT_NE(answer.find("\r\nConnection: close\r\n"), std::string::npos) << c.request;
    }
}

TEST(DirectoryServer, ServesTheDocumentsOverLoopback) {
    const DirectoryConfig config = OneTarget();
    ServedDirectory served(config);
    const directory::Documents documents = directory::MakeDocuments(config);

    std::string answer = dirtest::Get(served.port(), "/speedtest-config.php");
    EXPECT_EQ(StatusLine(answer), "HTTP/1.1 200 OK");
    EXPECT_EQ(BodyOf(answer), documents.config);
    answer = dirtest::Get(served.port(), "/speedtest-servers-static.php?x=1");
    EXPECT_EQ(StatusLine(answer), "HTTP/1.1 200 OK");
    EXPECT_EQ(BodyOf(answer), documents.serverList);
    EXPECT_NE(answer.find("Content-Length: " + std::to_string(documents.serverList.size())),
              std::string::npos);
    answer = dirtest::Get(served.port(), "/speedtest-servers-static.php", "HEAD");
    EXPECT_EQ(StatusLine(answer), "HTTP/1.1 200 OK");
    EXPECT_EQ(BodyOf(answer), "");
    EXPECT_EQ(StatusLine(dirtest::Get(served.port(), "/")), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(StatusLine(dirtest::Get(served.port(), "/speedtest-config.php", "DELETE")),
              "HTTP/1.1 405 Method Not Allowed");
    // Sandrow's own request, byte for byte as it sends it, split in pieces.
    dirtest::UniqueFd fd = dirtest::Connect(served.port());
    dirtest::SendAll(fd.get(), "GET /speedtest-config.php HTTP/1.1\r\nAccept: text/html\r\n");
    std::this_thread::sleep_for(50ms);
    dirtest::SendAll(fd.get(), "Host: 127.0.0.1\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(BodyOf(dirtest::ReadAll(fd.get())), documents.config);
}

TEST(DirectoryServer, HostileClientsCannotHoldItOrItsMemory) {
    directory::ServerLimits limits;
    limits.deadline = 600ms;
    ServedDirectory served(OneTarget(), limits);

    // A head that never ends: cut at the deadline, while others are served.
    const auto began = std::chrono::steady_clock::now();
    dirtest::UniqueFd slow = dirtest::Connect(served.port());
    dirtest::SendAll(slow.get(), "GET /speedtest-config.php HTTP/1.1\r\nX-Slow: ");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(StatusLine(dirtest::Get(served.port(), "/speedtest-config.php")),
                  "HTTP/1.1 200 OK");
    }
    dirtest::SendAll(slow.get(), "a");
    EXPECT_EQ(dirtest::ReadAll(slow.get(), 3000ms), "");  // closed without an answer
    const auto took = std::chrono::steady_clock::now() - began;
    EXPECT_GE(took, 550ms);
    EXPECT_LT(took, 2500ms);

    // A head past 8 KiB: 431, whether it comes at once or in pieces.
    for (size_t piece : {size_t{9000}, size_t{1000}}) {
        dirtest::UniqueFd big = dirtest::Connect(served.port());
        std::string head = "GET /speedtest-config.php HTTP/1.1\r\nX-Big: ";
        head.append(9000, 'b');
        for (size_t at = 0; at < head.size(); at += piece) {
            dirtest::SendAll(big.get(), head.substr(at, piece));
        }
        EXPECT_EQ(StatusLine(dirtest::ReadAll(big.get())),
                  "HTTP/1.1 431 Request Header Fields Too Large")
            << piece;
    }
    // Exactly at the limit it is still a request.
    std::string fits = "GET /speedtest-config.php HTTP/1.1\r\nX-Fill: ";
    fits.append(8192 - fits.size() - 4, 'f').append("\r\n\r\n");
    ASSERT_EQ(fits.size(), 8192u);
    EXPECT_EQ(StatusLine(dirtest::Exchange(served.port(), fits)), "HTTP/1.1 200 OK");
}

TEST(DirectoryServer, ClientsBeyondTheBoundAreClosedAtOnce) {
    directory::ServerLimits limits;
    limits.maxClients = 4;
    limits.deadline = 5000ms;
    ServedDirectory served(OneTarget(), limits);

    std::vector<dirtest::UniqueFd> idle;
    for (size_t i = 0; i < limits.maxClients; ++i) idle.push_back(dirtest::Connect(served.port()));
    std::this_thread::sleep_for(100ms);  // the loop takes them all in
    // Many at once beyond the bound: each closed at once, long before any
    // idle client's deadline.
    const auto began = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) {
        dirtest::UniqueFd extra = dirtest::Connect(served.port());
        dirtest::SendAll(extra.get(), "GET /speedtest-config.php HTTP/1.1\r\n\r\n");
        EXPECT_EQ(dirtest::ReadAll(extra.get(), 3000ms), "") << i;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - began, 2500ms);

    // One idle client leaves: its place serves the documents again.
    idle.pop_back();
    std::string answer;
    for (int attempt = 0; attempt < 50 && StatusLine(answer) != "HTTP/1.1 200 OK"; ++attempt) {
        std::this_thread::sleep_for(20ms);
        answer = dirtest::Get(served.port(), "/speedtest-config.php");
    }
    EXPECT_EQ(StatusLine(answer), "HTTP/1.1 200 OK");
}

TEST(DirectoryServer, ReloadTakesAGoodFileAndKeepsTheDocumentsOverABadOne) {
    dirtest::TempFile file(
        "[location]\nlat = 1\nlon = 2\n[target first]\nhost = a.example\nlat = 1\nlon = 2\n");
    DirectoryConfig config;
    std::string error;
    ASSERT_TRUE(directory::LoadDirectoryConfig(file.path(), &config, &error)) << error;
    directory::ListenAddress at;
    ASSERT_TRUE(directory::ParseListenAddress("127.0.0.1:0", &at, &error));
    auto server = directory::DirectoryServer::Listen(at, directory::MakeDocuments(config), &error);
    ASSERT_TRUE(server) << error;

    std::vector<std::string> lines;
    auto log = [&](const std::string& line) { lines.push_back(line); };
    file.Write(
        "[location]\nlat = 1\nlon = 2\n[target second]\nhost = b.example\nlat = 1\nlon = 2\n");
    EXPECT_TRUE(directory::Reload(file.path(), *server, log));
    EXPECT_NE(server->documents().serverList.find("name=\"second\""), std::string::npos);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("1 targets"), std::string::npos) << lines[0];

    const directory::Documents before = server->documents();
    file.Write("[location]\nlat = 1\nlon = 2\n[target third]\nhost = c.example:8080\nlat = 1\n");
    EXPECT_FALSE(directory::Reload(file.path(), *server, log));
    EXPECT_EQ(server->documents().serverList, before.serverList);
    EXPECT_EQ(server->documents().config, before.config);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find(file.path() + ":5: 'c.example:8080' carries a port"), std::string::npos)
        << lines[1];
    EXPECT_NE(lines[1].find("the documents stay"), std::string::npos) << lines[1];

    ::unlink(file.path().c_str());
    EXPECT_FALSE(directory::Reload(file.path(), *server, log));
    EXPECT_EQ(server->documents().serverList, before.serverList);
}

TEST(DirectoryServer, ParsesListenAddresses) {
    const std::pair<const char*, bool> cases[] = {
        {"127.0.0.1:80", true},  {"0.0.0.0:8080", true}, {"127.0.0.2:0", true},
        {"127.0.0.1", false},    {"127.0.0.1:", false},  {":80", false},
        {"localhost:80", false}, {"[::1]:80", false},    {"127.0.0.1:65536", false},
        {"127.0.0.1:8o", false},
    };
    for (const auto& [text, fine] : cases) {
        directory::ListenAddress at;
        std::string error;
        EXPECT_EQ(directory::ParseListenAddress(text, &at, &error), fine) << text << error;
    }
    directory::ListenAddress at;
    std::string error;
    ASSERT_TRUE(directory::ParseListenAddress("127.0.0.2:8081", &at, &error));
    EXPECT_EQ(at.port, 8081);
    EXPECT_EQ(at.address, htonl(0x7f000002));
}

// The program started as the service manager starts a socket-activated
// service: a listening socket as fd 3, LISTEN_FDS=1 and LISTEN_PID its own
// pid. Its stderr goes to `logPath`.
pid_t StartActivated(int listener, const std::string& configPath, const std::string& logPath) {
    const std::string program = SANDROW_DIRECTORY_PATH;
    pid_t pid = ::fork();
    if (pid != 0) return pid;
    // The child: only async-signal-safe calls from here to exec.
    int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (log < 0 || ::dup2(log, 2) < 0) ::_exit(127);
    // dup2 onto itself would keep close-on-exec.
    if (listener == 3 ? ::fcntl(3, F_SETFD, 0) < 0 : ::dup2(listener, 3) < 0) ::_exit(127);
    char pidText[32] = "LISTEN_PID=";
    char digits[16];
    int n = 0;
    for (pid_t self = ::getpid(); self > 0; self /= 10)
        digits[n++] = static_cast<char>('0' + self % 10);
    size_t at = std::strlen(pidText);
    while (n > 0) pidText[at++] = digits[--n];
    pidText[at] = '\0';
    char fds[] = "LISTEN_FDS=1";
    char* const env[] = {pidText, fds, nullptr};
    const char* const argv[] = {program.c_str(), "--config", configPath.c_str(), nullptr};
    ::execve(program.c_str(), const_cast<char* const*>(argv), env);
    ::_exit(127);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(DirectoryProgram, TakesItsSocketFromTheServiceManagerAndReloadsOnSighup) {
    dirtest::TempFile file(
        "[location]\nlat = 1\nlon = 2\n[target first]\nhost = a.example\nlat = 1\nlon = 2\n");
    const std::string logPath = file.path() + ".log";

    // The listening socket as a socket unit makes it.
    dirtest::UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof sa;
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&sa), length), 0);
    ASSERT_EQ(::listen(listener.get(), 16), 0);
    ASSERT_EQ(::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&sa), &length), 0);
    const uint16_t port = ntohs(sa.sin_port);

    const pid_t pid = StartActivated(listener.get(), file.path(), logPath);
    ASSERT_GT(pid, 0);
    listener.Reset();  // the program's alone now, as after the manager's hand-over

    auto serverList = [&] { return BodyOf(dirtest::Get(port, "/speedtest-servers-static.php")); };
    // Until the program runs, the connection waits in the backlog.
    EXPECT_NE(serverList().find("name=\"first\""), std::string::npos) << ReadFile(logPath);

    auto hangUpUntil = [&](const std::string& wanted) {
        EXPECT_EQ(::kill(pid, SIGHUP), 0);
        std::string list;
        for (int i = 0; i < 100 && list.find(wanted) == std::string::npos; ++i) {
            std::this_thread::sleep_for(20ms);
            list = serverList();
        }
        return list;
    };
    file.Write(
        "[location]\nlat = 1\nlon = 2\n[target second]\nhost = b.example\nlat = 1\nlon = 2\n");
    EXPECT_NE(hangUpUntil("name=\"second\"").find("name=\"second\""), std::string::npos);

    // A bad file: logged, and the documents stay.
    file.Write("[location]\nlat = 1\nlon = 2\n[target third]\nhost = c.example\nlat = 1\n");
    ::kill(pid, SIGHUP);
    std::string log;
    for (int i = 0; i < 100 && log.find("reload refused") == std::string::npos; ++i) {
        std::this_thread::sleep_for(20ms);
        log = ReadFile(logPath);
    }
    EXPECT_NE(log.find(file.path() + ":4: missing key 'lon' in [target third]"), std::string::npos)
        << log;
    EXPECT_NE(serverList().find("name=\"second\""), std::string::npos);

    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    EXPECT_EQ(test::Reap(pid, 5000ms), std::optional<int>(0));
    log = ReadFile(logPath);
    EXPECT_NE(log.find("serving 1 targets"), std::string::npos) << log;
    EXPECT_NE(log.find("stopped by SIGTERM"), std::string::npos) << log;
    ::unlink(logPath.c_str());
}

TEST(DirectoryProgram, RefusesABadFileCommandLineOrPassedSocket) {
    dirtest::TempFile file("[location]\nlat = 1\nlon = 2\n");
    dirtest::TempFile good(
        "[location]\nlat = 1\nlon = 2\n[target a]\nhost = a.example\nlat = 1\nlon = 2\n");
    const std::string program = SANDROW_DIRECTORY_PATH;
    struct Case {
        std::string command;  // the program's arguments, or a whole command
        int status;
        const char* says;  // a part of what it prints
    };
    const Case cases[] = {
        {"--config " + file.path() + " --listen 127.0.0.1:0", 2, "no [target NAME] section"},
        {"--config " + file.path() + " --write /tmp", 2, "no [target NAME] section"},
        {"--config " + good.path() + " --listen localhost:80", 2, "is not ADDRESS:PORT"},
        {"--bogus", 2, "unexpected argument '--bogus'"},
        {"--check --write /tmp", 2, "one at a time"},
        {"--timeout 300", 2, "--timeout goes with --check"},
        {"--check --timeout 0", 2, "--timeout takes milliseconds"},
        {"--help", 0, "usage: sandrow-directory"},
        // A service manager that passes something else than a listening
        // socket as fd 3 (the shell's own pid is the program's after exec).
        {"LISTEN_FDS=1 sh -c 'LISTEN_PID=$$ exec " + program + " --config " + good.path() +
             " 3</dev/null'",
         1, "(fd 3) is not a listening stream socket"},
    };
    for (const Case& c : cases) {
        const std::string command =
            (c.command.rfind("--", 0) == 0 ? program + " " + c.command : c.command) + " 2>&1";
        FILE* pipe = ::popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr) << command;
        std::string output;
        char buffer[1024];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
            output.append(buffer, n);
        }
        const int status = ::pclose(pipe);
        ASSERT_TRUE(WIFEXITED(status)) << command;
        EXPECT_EQ(WEXITSTATUS(status), c.status) << command;
        EXPECT_NE(output.find(c.says), std::string::npos) << command << "\n" << output;
    }
}

}  // namespace
