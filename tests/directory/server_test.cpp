// The directory's server: its answers, its limits under hostile clients, and
// the program itself started the way the service manager does, reloading.
#include <gtest/gtest.h>

#include <signal.h>

#include <tuple>

#include "directory/server.h"
#include "directory_support.h"
#include "speedtest/loopback_server.h"
#include "support/process_wait.h"

namespace {

using directory::DirectoryConfig;
using namespace std::chrono_literals;

DirectoryConfig OneTarget() {
    DirectoryConfig config;
    config.location = {52.5, 13.4, ""};
    config.targets.push_back(dirtest::MakeTarget("a", "speedtest.example.net", 52.4, 13.1));
    return config;
}

std::string StatusLine(const std::string& answer) {
    return answer.substr(0, answer.find("\r\n"));
}

std::string BodyOf(const std::string& answer) {
    const size_t blank = answer.find("\r\n\r\n");
    return blank == std::string::npos ? std::string() : answer.substr(blank + 4);
}

// Every head answered as it should, and no client can hold the server.
TEST(DirectoryServer, AnswersEachHeadAndNoClientHoldsIt) {
    const DirectoryConfig config = OneTarget();
    directory::ServerLimits limits;
    limits.deadline = 600ms;
    dirtest::ServedDirectory served(config, limits);
    const directory::Documents documents = directory::MakeDocuments(config);
    const std::string ok = "HTTP/1.1 200 OK", notFound = "HTTP/1.1 404 Not Found",
                      notAllowed = "HTTP/1.1 405 Method Not Allowed",
                      bad = "HTTP/1.1 400 Bad Request", none,
                      listLength =
                          "Content-Length: " + std::to_string(documents.serverList.size()) + "\r\n";
    struct Case {
        std::string request, status;
        const std::string* body;  // nullptr: not checked
        std::string header;
    };
    const Case cases[] = {
        {"GET /speedtest-config.php HTTP/1.1\r\n\r\n", ok, &documents.config,
         "Content-Type: text/xml; charset=utf-8\r\n"},
        {"GET /speedtest-servers-static.php HTTP/1.1\r\nHost: x\r\n\r\n", ok, &documents.serverList,
         listLength},
        {"GET /speedtest-servers-static.php?threads=4&x=y HTTP/1.0\n\n", ok, &documents.serverList,
         ""},
        {"HEAD /speedtest-servers-static.php HTTP/1.1\r\n\r\n", ok, &none, listLength},
        {"GET /speedtest/latency.txt HTTP/1.1\r\n\r\n", notFound, nullptr, ""},
        {"GET /speedtest-config.php/x HTTP/1.1\r\n\r\n", notFound, nullptr, ""},
        {"HEAD /nothing HTTP/1.1\r\n\r\n", notFound, &none, ""},
        {"POST /speedtest-config.php HTTP/1.1\r\n\r\n", notAllowed, nullptr,
         "Allow: GET, HEAD\r\n"},
        {"get /speedtest-config.php HTTP/1.1\r\n\r\n", notAllowed, nullptr, ""},
        {"GET /speedtest-config.php\r\n\r\n", bad, nullptr, ""},
        {"GET  /speedtest-config.php HTTP/1.1\r\n\r\n", bad, nullptr, ""},
        {"GET /speedtest-config.php SPDY/3\r\n\r\n", bad, nullptr, ""},
        {"\r\n\r\n", bad, nullptr, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        const std::string answer = dirtest::Exchange(served.port(), c.request);
        EXPECT_EQ(StatusLine(answer), c.status);
        if (c.body != nullptr) {
            EXPECT_EQ(BodyOf(answer), *c.body);
        }
        EXPECT_NE(answer.find(c.header), std::string::npos) << answer;
        EXPECT_NE(answer.find("\r\nConnection: close\r\n"), std::string::npos);
    }
    // A head that never ends: cut at the deadline, while others are served.
    const auto began = std::chrono::steady_clock::now();
    dirtest::UniqueFd slow = dirtest::Connect(served.port());
    dirtest::SendAll(slow.get(), "GET /speedtest-config.php HTTP/1.1\r\nX-Slow: ");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(StatusLine(dirtest::Get(served.port(), "/speedtest-config.php")), ok);
    }
    dirtest::SendAll(slow.get(), "a");
    EXPECT_EQ(dirtest::ReadAll(slow.get()), "");  // closed without an answer
    const auto took = std::chrono::steady_clock::now() - began;
    EXPECT_GE(took, 550ms);
    EXPECT_LT(took, 2500ms);

    // A head past 8 KiB: 431, whether it comes at once or in pieces; exactly
    // at the limit it is still a request.
    const std::string start = "GET /speedtest-config.php HTTP/1.1\r\nX-Fill: ";
    const std::string big = start + std::string(9000, 'b');
    const std::string fits = start + std::string(8192 - start.size() - 4, 'f') + "\r\n\r\n";
    const std::string tooLarge = "HTTP/1.1 431 Request Header Fields Too Large";
    for (const auto& [head, piece, status] :
         {std::tuple{big, 9000, tooLarge}, {big, 1000, tooLarge}, {fits, 1000, ok}}) {
        dirtest::UniqueFd fd = dirtest::Connect(served.port());
        for (size_t at = 0; at < head.size(); at += piece) {
            dirtest::SendAll(fd.get(), head.substr(at, piece));
        }
        EXPECT_EQ(StatusLine(dirtest::ReadAll(fd.get())), status) << piece;
    }
}

TEST(DirectoryServer, ClientsBeyondTheBoundAreClosedAtOnce) {
    directory::ServerLimits limits;
    limits.maxClients = 4;
    limits.deadline = 5000ms;
    dirtest::ServedDirectory served(OneTarget(), limits);

    std::vector<dirtest::UniqueFd> idle;
    for (size_t i = 0; i < limits.maxClients; ++i) idle.push_back(dirtest::Connect(served.port()));
    std::this_thread::sleep_for(100ms);  // the loop takes them all in
    // Many at once beyond the bound: each closed at once, long before any
    // idle client's deadline.
    const auto began = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) {
        dirtest::UniqueFd extra = dirtest::Connect(served.port());
        dirtest::SendAll(extra.get(), "GET /speedtest-config.php HTTP/1.1\r\n\r\n");
        EXPECT_EQ(dirtest::ReadAll(extra.get()), "") << i;
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

std::string Ini(const std::string& target, const std::string& keys = "lat = 1\nlon = 2\n") {
    return "[location]\nlat = 1\nlon = 2\n[target " + target + "]\nhost = a.example\n" + keys;
}

// The program started as the service manager starts a socket-activated
// service: a listening socket as fd 3, LISTEN_FDS=1 and LISTEN_PID its own
// pid (the shell's, which exec makes the program's). Its stderr to `log`.
pid_t StartActivated(int listener, const std::string& config, const std::string& log) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    // dup2 onto itself would keep close-on-exec.
    if (listener == 3 ? ::fcntl(3, F_SETFD, 0) < 0 : ::dup2(listener, 3) < 0) ::_exit(127);
    ::execl("/bin/sh", "sh", "-c",
            "LISTEN_PID=$$ LISTEN_FDS=1 exec \"$0\" --config \"$1\" 2>\"$2\"",
            SANDROW_DIRECTORY_PATH, config.c_str(), log.c_str(), nullptr);
    ::_exit(127);
}

TEST(DirectoryProgram, TakesItsSocketFromTheServiceManagerAndReloadsOnSighup) {
    dirtest::TempFile file(Ini("first"));
    const std::string logPath = file.path() + ".log";
    uint16_t port = 0;
    const pid_t pid = [&] {
        dirtest::UniqueFd listener(test::ListenOn("127.0.0.1", &port));
        return StartActivated(listener.get(), file.path(), logPath);
    }();  // the program's alone now, as after the manager's hand-over
    ASSERT_GT(pid, 0);
    auto serverList = [&] { return BodyOf(dirtest::Get(port, "/speedtest-servers-static.php")); };
    auto log = [&] { return test::ReadFile(logPath); };
    EXPECT_NE(serverList().find("name=\"first\""), std::string::npos) << log();

    // A hang-up reads the file again; a bad one is logged, the documents stay.
    auto hangUpUntilLogged = [&](const std::string& line) {
        EXPECT_EQ(::kill(pid, SIGHUP), 0);
        for (int i = 0; i < 100 && log().find(line) == std::string::npos; ++i) {
            std::this_thread::sleep_for(20ms);
        }
        EXPECT_NE(log().find(line), std::string::npos) << log();
    };
    file.Write(Ini("second"));
    hangUpUntilLogged("reloaded " + file.path() + ": 1 targets\n");
    EXPECT_NE(serverList().find("name=\"second\""), std::string::npos);
    file.Write(Ini("third", "lat = 1\n"));
    hangUpUntilLogged(":4: missing key 'lon' in [target third] (reload refused;");
    EXPECT_NE(serverList().find("name=\"second\""), std::string::npos);

    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    EXPECT_EQ(test::Reap(pid, 5000ms), std::optional<int>(0));
    EXPECT_NE(log().find("serving 1 targets"), std::string::npos) << log();
    EXPECT_NE(log().find("stopped by SIGTERM"), std::string::npos) << log();
}

TEST(DirectoryProgram, RefusesABadFileCommandLineOrPassedSocket) {
    dirtest::TempFile file("[location]\nlat = 1\nlon = 2\n"), good(Ini("a"));
    const std::string program = SANDROW_DIRECTORY_PATH;
    struct Case {
        std::string command;  // the program's arguments, or a whole command
        int status;
        const char* says;  // a part of what it prints
    };
    const Case cases[] = {
        {"--config " + file.path() + " --listen 127.0.0.1:0", 2, "no [target NAME] section"},
        {"--config " + good.path() + " --listen localhost:80", 2, "is not ADDRESS:PORT"},
        {"--check --write /tmp", 2, "one at a time"},
        {"--timeout 300", 2, "--timeout goes with --check"},
        {"--check --timeout 0", 2, "--timeout takes milliseconds"},
        // fd 3 that is no listening socket (exec makes the shell's pid the program's)
        {"LISTEN_FDS=1 sh -c 'LISTEN_PID=$$ exec " + program + " --config " + good.path() +
             " 3</dev/null'",
         1, "(fd 3) is not a listening stream socket"},
    };
    for (const Case& c : cases) {
        const std::string command =
            c.command.rfind("--", 0) == 0 ? program + " " + c.command : c.command;
        std::string output;
        EXPECT_EQ(dirtest::Run(command, &output), c.status) << command;
        EXPECT_NE(output.find(c.says), std::string::npos) << command << "\n" << output;
    }
}

}  // namespace
