// The service's metrics: the exposition text, the file, the HTTP endpoint, the
// [metrics] section, the real service and the kernel backend's figures.
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <linux/rtnetlink.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <regex>
#include <thread>

#include "fake_kernel.h"
#include "kernel_world.h"
#include "service/kernel/kernel_backend.h"
#include "service/kernel/kernel_config.h"
#include "service/metrics.h"
#include "service/service_harness.h"
#include "service/static_backend.h"
#include "support/http_client.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using corvane::GatewayMetrics;
using platform::UniqueFd;

// ---------------------------------------------------------------------------
// The rendering.

std::chrono::system_clock::time_point UnixMs(int64_t ms) {
    return std::chrono::system_clock::time_point(std::chrono::milliseconds(ms));
}

TEST(MetricsText, RendersEveryFamilyOnceWithTheGatewaysValuesAndEscapedLabels) {
    GatewayMetrics fibre{"02-00-00-00-00-01",
                         "Glasfaser S\xC3\xBC\x64",
                         "eth0",
                         {100000000, 123456789012, "cake", 7, 1514},
                         {-1, 42, "cake", 0, 0},
                         3,
                         UnixMs(1700000000250)};
    GatewayMetrics hostile{"",
                           "a\"b\\c\nd",
                           "wan\"1",
                           {2000000, 0, "fq_codel", 12, std::nullopt},    // leaf not in place
                           {1000000, std::nullopt, "", 0, std::nullopt},  // no leaf, no counter
                           0,
                           std::nullopt};
    GatewayMetrics unshaped;  // what the default of a backend that shapes nothing gives
    unshaped.name = "bad\xFF";
    GatewayMetrics repeated = fibre;  // the same name and interface: left out
    repeated.download.limitBps = 1;
    const std::vector<GatewayMetrics> gateways = {fibre, hostile, unshaped, repeated};
    // Each family once, HELP (whatever its words) and TYPE before its samples;
    // a family without samples is left out.
    const std::string text = corvane::RenderMetrics(gateways);
    EXPECT_EQ(std::regex_replace(text, std::regex("(# HELP [a-z_]+) [^\n]+"), "$1"),
              R"(# HELP corvane_limit_bps
# TYPE corvane_limit_bps gauge
corvane_limit_bps{gateway="Glasfaser Süd",interface="eth0",direction="download"} 100000000
corvane_limit_bps{gateway="Glasfaser Süd",interface="eth0",direction="upload"} +Inf
corvane_limit_bps{gateway="a\"b\\c\nd",interface="wan\"1",direction="download"} 2000000
corvane_limit_bps{gateway="a\"b\\c\nd",interface="wan\"1",direction="upload"} 1000000
corvane_limit_bps{gateway="bad�",interface="",direction="download"} +Inf
corvane_limit_bps{gateway="bad�",interface="",direction="upload"} +Inf
# HELP corvane_delivered_bytes_total
# TYPE corvane_delivered_bytes_total counter
corvane_delivered_bytes_total{gateway="Glasfaser Süd",interface="eth0",direction="download"} 123456789012
corvane_delivered_bytes_total{gateway="Glasfaser Süd",interface="eth0",direction="upload"} 42
corvane_delivered_bytes_total{gateway="a\"b\\c\nd",interface="wan\"1",direction="download"} 0
# HELP corvane_leaf_queue_info
# TYPE corvane_leaf_queue_info gauge
corvane_leaf_queue_info{gateway="Glasfaser Süd",interface="eth0",direction="download",kind="cake"} 1
corvane_leaf_queue_info{gateway="Glasfaser Süd",interface="eth0",direction="upload",kind="cake"} 1
corvane_leaf_queue_info{gateway="a\"b\\c\nd",interface="wan\"1",direction="download",kind="fq_codel"} 1
# HELP corvane_leaf_queue_drops_total
# TYPE corvane_leaf_queue_drops_total counter
corvane_leaf_queue_drops_total{gateway="Glasfaser Süd",interface="eth0",direction="download"} 7
corvane_leaf_queue_drops_total{gateway="Glasfaser Süd",interface="eth0",direction="upload"} 0
corvane_leaf_queue_drops_total{gateway="a\"b\\c\nd",interface="wan\"1",direction="download"} 12
# HELP corvane_leaf_queue_backlog_bytes
# TYPE corvane_leaf_queue_backlog_bytes gauge
corvane_leaf_queue_backlog_bytes{gateway="Glasfaser Süd",interface="eth0",direction="download"} 1514
corvane_leaf_queue_backlog_bytes{gateway="Glasfaser Süd",interface="eth0",direction="upload"} 0
# HELP corvane_limit_changes_total
# TYPE corvane_limit_changes_total counter
corvane_limit_changes_total{gateway="Glasfaser Süd",interface="eth0"} 3
corvane_limit_changes_total{gateway="a\"b\\c\nd",interface="wan\"1"} 0
# HELP corvane_last_limit_change_timestamp_seconds
# TYPE corvane_last_limit_change_timestamp_seconds gauge
corvane_last_limit_change_timestamp_seconds{gateway="Glasfaser Süd",interface="eth0"} 1700000000.250
)");
    EXPECT_EQ(corvane::RenderMetrics({}), "");
}

TEST(MetricsFile, ReplacedWholeWithMode0644ReadersNeverSeeAPartAndStopRemovesIt) {
    test::TempDir dir;
    const std::string path = dir.file("corvane.prom");
    // Texts of very different sizes, each ending in its own length.
    std::atomic<int> turn{0};
    auto source = [&turn](std::string* text) {
        const int n = turn++;
        const size_t size = n % 2 == 0 ? 300000 : 10;
        *text = std::string(size, static_cast<char>('a' + n % 26)) + "\n" + std::to_string(size);
        return true;
    };
    const mode_t old = ::umask(077);  // the file's mode must not depend on it
    {
        corvane::MetricsFile file(path, source);
        ASSERT_TRUE(file.WriteNow());
        std::atomic<bool> done{false};
        bool allWritten = true;
        std::thread writer([&] {
            for (int i = 0; i < 200; ++i) allWritten = file.WriteNow() && allWritten;
            done = true;
        });
        std::string bad;  // the first read that is not a whole text
        for (int reads = 0; (!done || reads < 50) && bad.empty(); ++reads) {
            const std::string text = test::ReadFile(path);
            const size_t n = text.rfind('\n');
            if (n == std::string::npos || std::to_string(n) != text.substr(n + 1)) {
                bad = text.substr(0, 40) + "... (" + std::to_string(text.size()) + " bytes)";
            }
        }
        writer.join();
        ::umask(old);
        EXPECT_EQ(bad, "");
        EXPECT_TRUE(allWritten);
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u);
        // No temporary files are left beside it.
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                                std::filesystem::directory_iterator()),
                  1);
    }
    EXPECT_FALSE(std::filesystem::exists(path)) << "a stopped service left its figures behind";
}

// ---------------------------------------------------------------------------
// The endpoint's answers, as its HTTP clients see them.

using test::http::Dial;
using test::http::ReadToEnd;
using test::http::SendAll;

struct Reply {
    int status = 0;
    std::map<std::string, std::string> headers;
    std::string body;
};

// One request on a fresh connection, the answer read until the server closes.
std::optional<Reply> Exchange(const std::string& hostPort, const std::string& request,
                              std::chrono::milliseconds timeout = 2000ms) {
    std::optional<std::string> raw = test::http::Exchange(hostPort, request, timeout);
    if (!raw) return std::nullopt;
    Reply r;
    const size_t end = raw->find("\r\n\r\n");
    if (raw->rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos) return r;
    r.status = std::atoi(raw->c_str() + 9);
    const std::string head = raw->substr(0, end);
    const std::regex header("\r\n([^:\r\n]+): ([^\r\n]*)");
    for (std::sregex_iterator h(head.begin(), head.end(), header), none; h != none; ++h) {
        r.headers[(*h)[1]] = (*h)[2];
    }
    r.body = raw->substr(end + 4);
    return r;
}

const std::string kGet = "GET /metrics HTTP/1.1\r\nHost: localhost\r\nUser-Agent: test\r\n\r\n";

// A task served on a thread of its own, as the service's loop serves it.
class TaskThread {
  public:
    explicit TaskThread(corvane::LoopTask& task)
        : stop_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), thread_([this, &task] { Run(task); }) {}
    ~TaskThread() {
        uint64_t one = 1;
        if (::write(stop_.get(), &one, sizeof one) < 0) std::abort();
        thread_.join();
    }

  private:
    void Run(corvane::LoopTask& task) {
        std::vector<pollfd> fds;
        for (;;) {
            fds.assign({{stop_.get(), POLLIN, 0}});
            task.AddFds(&fds);
            ::poll(fds.data(), fds.size(), task.MsUntilWork());
            if (fds[0].revents != 0) return;
            task.Work(std::span<const pollfd>(fds).subspan(1));
        }
    }
    UniqueFd stop_;
    std::thread thread_;
};

std::unique_ptr<corvane::MetricsEndpoint> OpenEndpoint(corvane::MetricsSource source,
                                                       std::string* error,
                                                       corvane::EndpointLimits limits = {}) {
    corvane::ListenAddress address;
    EXPECT_TRUE(corvane::ParseListenAddress("127.0.0.1:0", &address, error)) << *error;
    return corvane::MetricsEndpoint::Open(address, std::move(source), error, limits);
}

TEST(MetricsEndpoint, AnswersByPathAndMethodAndWritesLargeAnswersWhole) {
    // 3 MB: far more than a socket buffer, so the answer goes out in parts.
    const std::string big = "# HELP x X.\n# TYPE x gauge\n" + std::string(3000000, '#') + "\nx 1\n";
    std::atomic<bool> available{true};
    auto source = [&](std::string* text) {
        *text = big;
        return available.load();
    };
    std::string error;
    auto endpoint = OpenEndpoint(source, &error);
    ASSERT_TRUE(endpoint) << error;
    const std::string at = endpoint->Address();
    TaskThread loop(*endpoint);
    const std::tuple<std::string, int, bool> rows[] = {
        // request, status, with a body
        {kGet, 200, true},
        {"GET /metrics?name[]=x HTTP/1.0\n\n", 200, true},
        {"HEAD /metrics HTTP/1.1\r\n\r\n", 200, false},
        {"GET /metricsx HTTP/1.1\r\n\r\n", 404, true},
        {"DELETE /metrics HTTP/1.1\r\n\r\n", 405, true},
    };
    for (const auto& [request, status, body] : rows) {
        SCOPED_TRACE(request);
        std::optional<Reply> reply = Exchange(at, request);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, status);
        EXPECT_EQ(reply->headers["Content-Type"],
                  status == 200 ? corvane::kMetricsContentType : "text/plain; charset=utf-8");
        if (status == 200) {
            EXPECT_EQ(reply->headers["Content-Length"], std::to_string(big.size()));
            EXPECT_EQ(reply->body, body ? big : "");
        } else {
            EXPECT_FALSE(reply->body.empty());
        }
        EXPECT_EQ(reply->headers["Allow"], status == 405 ? "GET, HEAD" : "");
    }
    available = false;
    std::optional<Reply> unavailable = Exchange(at, kGet);
    ASSERT_TRUE(unavailable);
    EXPECT_EQ(unavailable->status, 503);
}

TEST(MetricsEndpoint, ABurstBeyondTheCapWaitsInTheBacklogUntilASlotFrees) {
    std::string error;
    auto small = [](std::string* text) {
        *text = "x 1\n";
        return true;
    };
    auto endpoint = OpenEndpoint(small, &error, {8192, 3000ms, 1});
    ASSERT_TRUE(endpoint) << error;
    // Both are in the backlog before the endpoint's first turn, driven here.
    UniqueFd idle = Dial(endpoint->Address());
    UniqueFd waiting = Dial(endpoint->Address());
    ASSERT_TRUE(SendAll(waiting.get(), kGet, Clock::now() + 1s));
    std::vector<pollfd> fds;
    endpoint->AddFds(&fds);
    ASSERT_EQ(::poll(fds.data(), fds.size(), 1000), 1);
    endpoint->Work(fds);
    EXPECT_EQ(endpoint->connections(), 1u);
    TaskThread loop(*endpoint);
    EXPECT_FALSE(ReadToEnd(waiting.get(), Clock::now() + 300ms)) << "taken beyond the cap";
    idle.Reset();  // a slot frees: the waiting one is taken and answered
    auto t0 = Clock::now();
    std::optional<std::string> raw = ReadToEnd(waiting.get(), Clock::now() + 1s);
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << *raw;
    EXPECT_LT(Clock::now() - t0, 500ms);
}

// ---------------------------------------------------------------------------
// The [metrics] section, read alike in every backend's file.

TEST(MetricsConfig, ReadsTheSectionAndNamesFileLineAndKeyOfEachError) {
    const std::string gateway = "[gateway g]\nmac = m\nid = 1\nupload_bps = 1\ndownload_bps = 1\n";
    const auto read = [&](const std::string& section, corvane::MetricsConfig* m,
                          std::string* error) {
        corvane::StaticConfig c;
        const bool ok = corvane::ParseStaticConfig(gateway + section, "f.ini", &c, error);
        *m = c.metrics;
        return ok;
    };
    const std::string d = corvane::kDefaultMetricsFile;
    // The section; file, listen, whether IPv6, port.
    const std::tuple<std::string, std::string, std::string, bool, uint16_t> good[] = {
        {"", d, "", false, 0},
        {"[metrics]\nfile =\nlisten = 127.0.0.1:9464\n", "", "127.0.0.1:9464", false, 9464},
        {"[metrics]\nfile = /run/x.prom\nlisten = [::1]:0\n", "/run/x.prom", "[::1]:0", true, 0},
        {"[metrics]\nlisten = 127.8.9.10:65535\n", d, "127.8.9.10:65535", false, 65535},
    };
    const std::string notLoopback = "is not a loopback address (127.0.0.0/8 or [::1])";
    const std::string form = "is not HOST:PORT (as 127.0.0.1:9464 or [::1]:9464)";
    // The section (its line 1 is the header), the line of the error within
    // it, the error.
    const std::tuple<std::string, int, std::string> bad[] = {
        {"[metrics]\nlisten = 0.0.0.0:9464\n", 2, "'0.0.0.0:9464' " + notLoopback},
        {"[metrics]\nlisten = [::ffff:127.0.0.1]:9464\n", 2, notLoopback},
        {"[metrics]\nlisten = 127.0.0.1:65536\n", 2, form},
        {"[metrics]\nfile = corvane.prom\n", 2,
         "'corvane.prom' is not the absolute path of a file (key 'file' in [metrics])"},
        {"[metrics]\nport = 9464\n", 2, "unknown key 'port' in [metrics]"},
        {"[metrics]\n[metrics]\n", 2, "a second [metrics] (the first is at line "},
    };
    for (const auto& [section, file, listen, v6, port] : good) {
        SCOPED_TRACE(section);
        corvane::MetricsConfig m;
        std::string error;
        ASSERT_TRUE(read(section, &m, &error)) << error;
        EXPECT_EQ(std::tie(m.file, m.listen, m.listenAddress.v6, m.listenAddress.port),
                  std::tie(file, listen, v6, port));
    }
    for (const auto& [section, line, problem] : bad) {
        SCOPED_TRACE(section);
        corvane::MetricsConfig m;
        std::string error;
        EXPECT_FALSE(read(section, &m, &error));
        EXPECT_EQ(error.rfind("f.ini:" + std::to_string(5 + line) + ": ", 0), 0u) << error;
        EXPECT_NE(error.find(problem), std::string::npos) << error;
    }
}

// ---------------------------------------------------------------------------
// The real corvane-service.

using MetricsServiceTest = servicetest::BusTest;

TEST_F(MetricsServiceTest, ScrapeAndFileCarryTheGatewaysAndASlowClientIsCut) {
    const std::string folder = dir_.file("m"), file = dir_.file("m/corvane.prom");
    std::filesystem::create_directory(folder);
    test::WriteFile(
        dir_.file("service.ini"),
        servicetest::kStaticConfig + "[metrics]\nlisten = 127.0.0.1:0\nfile = " + file + "\n");
    service_ = std::make_unique<servicetest::ServiceProcess>(
        std::vector<std::string>{"--config", dir_.file("service.ini")}, Err());
    ASSERT_TRUE(servicetest::WaitUntilServing()) << test::ReadFile(Err());
    // The endpoint's address, as the service logged it.
    std::smatch found;
    const std::string log = test::ReadFile(Err());
    ASSERT_TRUE(std::regex_search(log, found, std::regex("metrics at http://([^/]+)/metrics")))
        << log;
    const std::string at = found[1].str();
    std::optional<Reply> reply = Exchange(at, kGet);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
    EXPECT_EQ(reply->headers["Content-Type"], "text/plain; version=0.0.4; charset=utf-8");
    // The static backend's figures: the configured limits, no leaf, no counters.
    GatewayMetrics fibre, backup;
    fibre.name = "Glasfaser \"S\xC3\xBC\x64\" \\1";
    fibre.interface = "eth0";
    fibre.download.limitBps = 100000000;
    fibre.upload.limitBps = 20000000;
    backup.name = "Backup";
    EXPECT_EQ(reply->body, corvane::RenderMetrics(std::vector{fibre, backup}));

    // The file holds the same text, once the first second has come.
    std::string written;
    for (auto until = Clock::now() + 2s; Clock::now() < until && written.empty();) {
        std::this_thread::sleep_for(20ms);
        written = test::ReadFile(file);
    }
    EXPECT_EQ(written, reply->body);
    // A change of the limit shows in the scrape.
    platform::bus::Call("/com/corvane/NetworkService/NetworkManager", "com.corvane.INetworkManager",
                        "SetGatewayLimits",
                        {std::string("02-00-00-00-00-01"), int64_t{1000}, int64_t{2000}});
    fibre.download.limitBps = 2000;
    reply = Exchange(at, kGet);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->body, corvane::RenderMetrics(std::vector{fibre, backup}));

    // The file's directory goes for all the seconds of the attack: one line.
    std::filesystem::remove_all(folder);
    // A slow client: one byte every 100 ms of a head that never ends.
    UniqueFd slow = Dial(at);
    const auto slowStart = Clock::now();
    ASSERT_TRUE(SendAll(slow.get(), "GET /metrics HTTP/1.1\r\nX-Slow: ", Clock::now() + 1s));
    Clock::duration slowest{};
    std::optional<Clock::duration> cut;
    while (!cut && Clock::now() - slowStart < 7s) {
        std::this_thread::sleep_for(100ms);
        char byte = 'a';
        ::send(slow.get(), &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        const auto t0 = Clock::now();
        platform::bus::Call("/com/corvane/NetworkService/NetworkManager",
                            "com.corvane.INetworkManager", "GetNetworkInfoList", {});
        slowest = std::max(slowest, Clock::now() - t0);
        char answer[64];
        ssize_t n = ::recv(slow.get(), answer, sizeof answer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
            cut = Clock::now() - slowStart;
        }
        EXPECT_LE(n, 0) << "the slow client got an answer";
    }
    ASSERT_TRUE(cut) << "the slow client was never cut";
    EXPECT_GE(*cut, 4800ms);
    EXPECT_LE(*cut, 5800ms);
    EXPECT_LT(slowest, 200ms) << "a bus call waited for the metrics' clients";

    reply = Exchange(at, kGet, 3000ms);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
    const std::string err = test::ReadFile(Err());
    EXPECT_EQ(test::Occurrences(err, "metrics file"), 1u) << err;
    EXPECT_EQ(
        test::Occurrences(err, "cannot create a file in " + folder + ": No such file or directory"),
        1u)
        << err;
}

}  // namespace

// ---------------------------------------------------------------------------
// The kernel backend's figures.

namespace kerneltest {
namespace {

TEST(KernelMetrics, CountsOnlyChangesAndReadsEveryLeafFromOneDump) {
    FakeKernel kernel;
    kernel.AddDevice("wan1", "veth");
    kernel.missingKinds = {"cake"};  // fq_codel, in the HTB class
    corvane::KernelConfig config;
    std::string error;
    ASSERT_TRUE(corvane::ParseKernelConfig(
        "[gateway one]\ninterface = wan0\nmac = 02-00-00-00-00-01\nid = 1\n"
        "download_bps = 20000000\nupload_bps = 4000000\n"
        "[gateway two]\ninterface = wan1\nmac = 02-00-00-00-00-02\nid = 2\n"
        "download_bps = 1000000\nupload_bps = 1000000\n",
        "kernel.ini", &config, &error))
        << error;
    int64_t wallMs = 1700000000000;
    corvane::KernelSystem system;
    system.watchEvents = false;
    system.linkSpeedBps = [](int) { return int64_t{1000000000}; };
    system.wallNow = [&wallMs] { return UnixMs(wallMs); };
    KernelBackend backend(std::move(config), kernel, system);
    ASSERT_TRUE(backend.Start(&error)) << error;
    auto metrics = [&] {
        std::vector<GatewayMetrics> m;
        EXPECT_EQ(backend.Metrics(&m), corvane::kOk);
        EXPECT_EQ(m.size(), 2u);
        m.resize(2);
        return m;
    };

    // What, the limits set, the answer, the changes counted, the last one's
    // time (0: none yet).
    const std::tuple<const char*, int64_t, int64_t, corvane::HResult, uint64_t, int64_t> steps[] = {
        {"the configured limits again", 4000000, 20000000, corvane::kOk, 0, 0},
        {"a new download limit", 4000000, 16000000, corvane::kOk, 1, 1700000002000},
        {"the same limits again", 4000000, 16000000, corvane::kOk, 1, 1700000002000},
        {"a new upload limit", 5000000, 16000000, corvane::kOk, 2, 1700000004000},
        {"both lifted", -1, -1, corvane::kOk, 3, 1700000005000},
        {"a limit below -1", -2, 5, corvane::kInvalidArg, 3, 1700000005000},
        {"the kernel refuses", 1000, 1000, corvane::kFail, 3, 1700000005000},
    };
    for (const auto& [what, up, down, result, changes, lastMs] : steps) {
        SCOPED_TRACE(what);
        wallMs += 1000;
        kernel.failWhen = result == corvane::kFail ? "changing" : "";
        EXPECT_EQ(backend.SetGatewayLimits("02-00-00-00-00-01", up, down), result);
        kernel.failWhen.clear();
        std::vector<GatewayMetrics> m = metrics();
        EXPECT_EQ(m[0].limitChanges, std::optional<uint64_t>(changes));
        EXPECT_EQ(m[0].lastLimitChange, lastMs == 0 ? std::nullopt : std::optional(UnixMs(lastMs)));
        EXPECT_EQ(m[1].limitChanges, std::optional<uint64_t>(0)) << "the other gateway counted";
        if (result == corvane::kOk) {
            EXPECT_EQ(std::tie(m[0].download.limitBps, m[0].upload.limitBps), std::tie(down, up));
        }
    }

    // The leaves' statistics and the links' counters, every gateway from one dump.
    const int ifb0 = kernel.IndexOf("cvn-wan0"), wan0 = kernel.IndexOf("wan0");
    kernel.qdiscStats[{ifb0, tc::kLeafHandle}] = tc::Stats{0, 3028, 5};
    kernel.qdiscStats[{wan0, tc::kLeafHandle}] = tc::Stats{0, 0, 2};
    kernel.SetTxBytes("cvn-wan0", 123456);
    kernel.SetTxBytes("wan0", 654321);
    kernel.log.clear();
    std::vector<GatewayMetrics> m = metrics();
    EXPECT_EQ(std::count_if(kernel.log.begin(), kernel.log.end(),
                            [](const FakeKernel::Logged& l) { return l.type == RTM_GETQDISC; }),
              1);
    EXPECT_EQ(std::tie(m[0].name, m[0].interface, m[1].interface, m[0].download.leafKind),
              std::make_tuple("one", "wan0", "wan1", "fq_codel"));
    EXPECT_EQ(std::tie(m[0].download.leafDrops, m[0].upload.leafDrops, m[1].download.leafDrops),
              std::make_tuple(5u, 2u, 0u));
    EXPECT_EQ(std::tie(m[0].download.leafBacklogBytes, m[0].upload.leafBacklogBytes),
              std::make_tuple(std::optional<uint64_t>(3028), std::optional<uint64_t>(0)));
    EXPECT_EQ(std::tie(m[0].download.deliveredBytes, m[0].upload.deliveredBytes),
              std::make_tuple(std::optional<uint64_t>(123456), std::optional<uint64_t>(654321)));

    // A leaf made anew starts its drops at zero: the counter goes on. A queue
    // of another kind in the leaf's place is not the leaf: no backlog, and
    // the drops stay where they were.
    kernel.qdiscStats[{ifb0, tc::kLeafHandle}] = tc::Stats{0, 0, 1};
    EXPECT_EQ(metrics()[0].download.leafDrops, 6u);
    ASSERT_TRUE(nl::Run(kernel, tc::BfifoLeaf(ifb0, 6000, tc::Mode::Replace, "x")).ok());
    kernel.qdiscStats[{ifb0, tc::kLeafHandle}] = tc::Stats{0, 1400, 9};
    m = metrics();
    EXPECT_EQ(m[0].download.leafDrops, 6u);
    EXPECT_FALSE(m[0].download.leafBacklogBytes);

    // A dump that fails is a failure, not figures of nothing.
    kernel.failWhen = "listing the qdiscs";
    std::vector<GatewayMetrics> none;
    EXPECT_EQ(backend.Metrics(&none), corvane::kFail);
    EXPECT_TRUE(none.empty());
}

class KernelMetricsTest : public KernelWorld {};

TEST_F(KernelMetricsTest, DeliveredBytesAndDropsMoveWithRealTraffic) {
    // 2 Mbit/s with a bfifo of 4 frames: a burst of 100 datagrams overflows it.
    auto backend = Started(GatewayConfig(2000000, 50000000, "leaf = bfifo\n"));
    ASSERT_TRUE(backend);
    auto metrics = [&] {
        std::vector<GatewayMetrics> m;
        EXPECT_EQ(backend->Metrics(&m), corvane::kOk);
        m.resize(1);
        return m[0];
    };
    const GatewayMetrics before = metrics();
    EXPECT_EQ(before.download.leafKind, "bfifo");
    EXPECT_EQ(before.download.leafDrops, 0u);
    ASSERT_TRUE(before.download.deliveredBytes);

    std::string error;
    lab::UdpSink sink;
    ASSERT_TRUE(sink.Start(kWanAddress, 5003, &error)) << error;
    uint32_t sent = 0;
    InInternet(
        [&](nl::Socket&) { sent = lab::SendDatagrams(kWanAddress, 5003, 100, 1400, 0us, &error); });
    ASSERT_EQ(sent, 100u) << error;
    std::this_thread::sleep_for(300ms);  // the fifo drains: 6 KB at 2 Mbit/s take 25 ms
    const GatewayMetrics after = metrics();
    EXPECT_GT(after.download.leafDrops, 0u);
    ASSERT_TRUE(after.download.deliveredBytes);
    const uint64_t delivered = *after.download.deliveredBytes - *before.download.deliveredBytes;
    EXPECT_GE(delivered, 4u * 1400) << "less than a full fifo got through";
    EXPECT_EQ(after.download.leafDrops + sink.Datagrams(), 100u)
        << "every datagram is one or other";
}

}  // namespace
}  // namespace kerneltest
