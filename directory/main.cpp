// sandrow-directory: a speed-test directory of one's own, serving the two
// documents sandrow reads, made from a small configuration file.
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "directory/check.h"
#include "directory/config.h"
#include "directory/documents.h"
#include "directory/server.h"
#include "platform/signals.h"

namespace {

// Exit codes: 0 stopped by SIGTERM or SIGINT, or done; 1 the system failed
// (cannot listen or write), or --check found no target sandrow could use;
// 2 a wrong command line or configuration.
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Each timed try of --check, by default; sandrow itself would wait far
// longer, but a target that takes seconds is no target.
constexpr int64_t kCheckTimeoutMs = 3000;
constexpr int64_t kMaxCheckTimeoutMs = 60000;

constexpr const char* kUsage =
    "usage: sandrow-directory [--config FILE] [--listen ADDRESS:PORT]\n"
    "       sandrow-directory --write DIR [--config FILE]\n"
    "       sandrow-directory --check [--config FILE] [--timeout MS]\n"
    "  --config FILE          the configuration (default /etc/sandrow/directory.ini)\n"
    "  --listen ADDRESS:PORT  where to serve, an IPv4 address (default 127.0.0.1:80); a\n"
    "                         socket passed by the service manager is used instead\n"
    "  --write DIR            writes speedtest-config.php and speedtest-servers-static.php\n"
    "                         into DIR, for any web server to serve, and ends\n"
    "  --check                times every target as sandrow would (name lookup, then its\n"
    "                         latency request on port 80, five tries, time to the first\n"
    "                         byte) and shows which one sandrow would choose\n"
    "  --timeout MS           how long each try of --check may take (default 3000)\n"
    "Serves GET and HEAD of /speedtest-config.php and /speedtest-servers-static.php.\n"
    "SIGHUP reads the configuration again (a bad file keeps the documents served);\n"
    "SIGTERM or SIGINT ends it.\n"
    "Exit codes: 0 stopped or done; 1 cannot listen or write, or --check found no target\n"
    "sandrow could use; 2 usage or configuration.";

void Log(const std::string& line) {
    std::fprintf(stderr, "sandrow-directory: %s\n", line.c_str());
}

int Serve(const std::string& configPath, const std::string& listen, bool listenGiven) {
    // The stop signals and SIGHUP arrive through descriptors that the poll
    // loop watches, so no work happens in a signal handler; a client that
    // goes away must not end the program with SIGPIPE.
    platform::UniqueFd stopFd(platform::TakeStopSignals());
    directory::UniqueFd hangUpFd = directory::TakeHangUpSignal();
    if (!stopFd || !hangUpFd) {
        Log(std::string("cannot take the signals: ") + std::strerror(errno));
        return kExitFailed;
    }
    directory::DirectoryConfig config;
    std::string error;
    if (!directory::LoadDirectoryConfig(configPath, &config, &error)) {
        Log(error);
        return kExitUsage;
    }
    directory::Documents documents = directory::MakeDocuments(config);

    std::unique_ptr<directory::DirectoryServer> server;
    directory::UniqueFd activated = directory::TakeActivatedListener(&error);
    if (!error.empty()) {
        Log(error);
        return kExitFailed;
    }
    if (activated) {
        if (listenGiven) {
            Log("--listen " + listen + " ignored: the service manager passed a socket");
        }
        server =
            directory::DirectoryServer::Adopt(std::move(activated), std::move(documents), &error);
    } else {
        directory::ListenAddress address;
        if (!directory::ParseListenAddress(listen, &address, &error)) {
            Log(error);
            return kExitUsage;
        }
        server = directory::DirectoryServer::Listen(address, std::move(documents), &error);
    }
    if (!server) {
        Log(error);
        return kExitFailed;
    }
    Log("serving " + std::to_string(config.targets.size()) + " targets from " + configPath +
        " at http://" + server->Address() + "/");
    const bool served = directory::Serve(
        *server, stopFd.get(), hangUpFd.get(), [&] { directory::Reload(configPath, *server, Log); },
        &error);
    if (!served) {
        Log(error);
        return kExitFailed;
    }
    Log(std::string("stopped by ") + platform::ReadStopSignal(stopFd.get()));
    return 0;
}

int Write(const std::string& configPath, const std::string& dir) {
    directory::DirectoryConfig config;
    std::string error;
    if (!directory::LoadDirectoryConfig(configPath, &config, &error)) {
        Log(error);
        return kExitUsage;
    }
    if (!directory::WriteDocuments(dir, directory::MakeDocuments(config), &error)) {
        Log(error);
        return kExitFailed;
    }
    std::printf("wrote %s/speedtest-config.php and %s/speedtest-servers-static.php\n", dir.c_str(),
                dir.c_str());
    return 0;
}

int Check(const std::string& configPath, std::chrono::milliseconds timeout) {
    directory::DirectoryConfig config;
    std::string error;
    if (!directory::LoadDirectoryConfig(configPath, &config, &error)) {
        Log(error);
        return kExitUsage;
    }
    platform::IgnoreBrokenPipe();
    const directory::CheckReport report =
        directory::RunCheck(config, directory::RealNetwork(timeout));
    std::fputs(directory::FormatCheckReport(config, report).c_str(), stdout);
    return report.chosen >= 0 ? 0 : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
    std::string configPath = directory::kDefaultConfigPath;
    std::string listen = directory::kDefaultListen;
    std::string writeDir;
    bool listenGiven = false;
    bool write = false;
    bool check = false;
    int64_t timeoutMs = 0;  // 0: not given
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--config" && i + 1 < argc) {
            configPath = argv[++i];
        } else if (arg == "--listen" && i + 1 < argc) {
            listen = argv[++i];
            listenGiven = true;
        } else if (arg == "--write" && i + 1 < argc) {
            writeDir = argv[++i];
            write = true;
        } else if (arg == "--timeout" && i + 1 < argc) {
            const std::string text = argv[++i];
            auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), timeoutMs);
            if (ec != std::errc() || end != text.data() + text.size() || timeoutMs < 1 ||
                timeoutMs > kMaxCheckTimeoutMs) {
                Log("--timeout takes milliseconds, 1 to " + std::to_string(kMaxCheckTimeoutMs) +
                    ", not '" + text + "'");
                return kExitUsage;
            }
        } else if (arg == "--check") {
            check = true;
        } else if (arg == "--help" || arg == "-h") {
            std::printf("%s\n", kUsage);
            return 0;
        } else {
            Log("unexpected argument '" + arg + "'\n" + kUsage);
            return kExitUsage;
        }
    }
    if ((write && check) || ((write || check) && listenGiven)) {
        Log(std::string("--write, --check and --listen go one at a time\n") + kUsage);
        return kExitUsage;
    }
    if (timeoutMs != 0 && !check) {
        Log(std::string("--timeout goes with --check\n") + kUsage);
        return kExitUsage;
    }
    if (write) return Write(configPath, writeDir);
    if (check) {
        return Check(configPath,
                     std::chrono::milliseconds(timeoutMs != 0 ? timeoutMs : kCheckTimeoutMs));
    }
    return Serve(configPath, listen, listenGiven);
}
