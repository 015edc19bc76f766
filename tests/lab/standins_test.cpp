// The HTTP stand-ins on loopback ports: the held-back latency answer, answers
// by role, the collector's statuses in turn and the reports it reads, the faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "directory/directory_support.h"
#include "lab/standins.h"
#include "support/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kServer = "127.0.5.3";
constexpr const char* kCollector = "127.0.5.4";

struct Reply {
    std::string data;
    double ms = 0;  // from before the connect to the end of the answer
};

// One exchange: connect (a refused one throws), send, read until the peer
// closes or `timeout` passes.
Reply Exchange(const char* address, uint16_t port, const std::string& request,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
    auto start = Clock::now();
    platform::UniqueFd fd = dirtest::Connect(port, address);
    dirtest::SendAll(fd.get(), request);
    std::string data = dirtest::ReadAll(fd.get(), timeout);
    return {data, std::chrono::duration<double, std::milli>(Clock::now() - start).count()};
}

std::string Get(const std::string& path) {
    return "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
}

class StandInsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        lab::StandInConfig c;
        c.port = 0;
        c.servers = {{"s", kServer, 80, 0}};
        c.collectorAddress = kCollector;
        c.collectorResponses = {404, 500, 200};
        standIns_ = std::make_unique<lab::StandIns>(
            std::move(c), [this](size_t) { return queueSeconds_.load(); }, [] { return 0.0; });
        std::string error;
        ASSERT_TRUE(standIns_->Start(&error)) << error;
    }
    uint16_t Port(const char* address) { return standIns_->PortOf(address); }

    std::atomic<double> queueSeconds_{0.12};
    std::unique_ptr<lab::StandIns> standIns_;
};

TEST_F(StandInsTest, LatencyAnswerWaitsForItsDelayWithoutHoldingUpOthers) {
    auto latency = std::async(std::launch::async, [this] {
        return Exchange(kServer, Port(kServer), Get("/speedtest/latency.txt"));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Reply other = Exchange(kCollector, Port(kCollector), Get("/action.php"));
    Reply probe = latency.get();
    // 80 ms of server delay plus 120 ms of queue; the collector answered
    // while the probe's answer was still held back.
    EXPECT_GE(probe.ms, 199);
    EXPECT_LT(probe.ms, 1000);
    EXPECT_LT(other.ms, 150);
    EXPECT_EQ(probe.data.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << probe.data;
    EXPECT_NE(probe.data.find("test=test"), std::string::npos) << probe.data;
    std::vector<lab::ProbeRecord> probes = standIns_->Probes();
    ASSERT_EQ(probes.size(), 1u);
    EXPECT_NEAR(probes[0].servedMs, 200, 1e-6);
}

TEST_F(StandInsTest, AnswersByRoleAndPath) {
    struct Case {
        const char* address;
        std::string request;
        const char* statusLine;
    };
    const Case cases[] = {
        {kServer, "POST /speedtest/latency.txt HTTP/1.1\r\nContent-Length: 0\r\n\r\n",
         "HTTP/1.1 405 Method Not Allowed"},
        {kServer, Get("/speedtest/upload.php"), "HTTP/1.1 404 Not Found"},
        {kCollector, Get("/action.php"), "HTTP/1.1 405 Method Not Allowed"},
        {kServer, "HELLO\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {kCollector, "GET / HTTP/1.1\r\nContent-Length: 999999\r\n\r\n",
         "HTTP/1.1 400 Bad Request"},
        {kServer, "GET / HTTP/1.1\r\nX: " + std::string(70000, 'x') + "\r\n\r\n",
         "HTTP/1.1 413 Payload Too Large"},
    };
    for (const Case& c : cases) {
        Reply r = Exchange(c.address, Port(c.address), c.request);
        EXPECT_EQ(r.data.rfind(std::string(c.statusLine) + "\r\n", 0), 0u)
            << c.request.substr(0, 40) << " -> " << r.data.substr(0, 40);
        EXPECT_NE(r.data.find("Connection: close\r\n"), std::string::npos);
        size_t bodyAt = r.data.find("\r\n\r\n");
        ASSERT_NE(bodyAt, std::string::npos);
        EXPECT_NE(r.data.find("Content-Length: " + std::to_string(r.data.size() - bodyAt - 4)),
                  std::string::npos)
            << r.data.substr(0, bodyAt);
    }
    EXPECT_EQ(standIns_->Counts().badRequests, 2u);
}

TEST_F(StandInsTest, CollectorAnswersInTurnAndKeepsEveryReport) {
    const std::string request = test::ReadFile(REPORT_REQUEST_FIXTURE);
    ASSERT_FALSE(request.empty());
    const int expected[] = {404, 500, 200, 200};
    for (int status : expected) {
        Reply r = Exchange(kCollector, Port(kCollector), request);
        EXPECT_EQ(r.data.rfind("HTTP/1.1 " + std::to_string(status) + " ", 0), 0u) << r.data;
        // The monitor counts a report as delivered when its answer says 200 OK.
        EXPECT_EQ(r.data.find("200 OK") != std::string::npos, status == 200) << r.data;
    }
    std::vector<lab::PostRecord> posts = standIns_->Posts();
    ASSERT_EQ(posts.size(), 4u);
    for (size_t i = 0; i < posts.size(); ++i) {
        EXPECT_EQ(posts[i].status, expected[i]);
        EXPECT_TRUE(posts[i].formRead);
        EXPECT_EQ(posts[i].form.probes, 17u);
        EXPECT_EQ(posts[i].form.gatewayMac, "02-00-00-00-00-FE");
    }
    const lab::ReportForm& form = posts[0].form;
    EXPECT_EQ(form.machineName, "TESTBOX");
    EXPECT_EQ(form.initialBandwidth, 705032704u);
    EXPECT_EQ(form.version, "1.1.0.511");
    lab::ReportForm none;
    EXPECT_FALSE(lab::ParseReportForm("text/plain", request, &none));
    EXPECT_FALSE(lab::ParseReportForm("multipart/form-data; boundary=x", "", &none));
}

TEST_F(StandInsTest, ServerFaults) {
    const std::string probe = Get("/speedtest/latency.txt");
    auto answered = [&](const char* address, const std::string& request) {
        return Exchange(address, Port(address), request).data.rfind("HTTP/1.1 200", 0) == 0;
    };
    queueSeconds_ = 0;
    standIns_->SetServerDown(0, lab::DownMode::Refuse);
    EXPECT_EQ(Port(kServer), 0);
    standIns_->SetServerUp(0);
    const uint16_t port = Port(kServer);
    ASSERT_NE(port, 0);
    EXPECT_TRUE(answered(kServer, probe));

    standIns_->SetServerDown(0, lab::DownMode::Close);
    Reply closed = Exchange(kServer, port, probe);
    EXPECT_EQ(closed.data, "") << "closed without an answer";
    EXPECT_LT(closed.ms, 500);

    standIns_->SetServerDown(0, lab::DownMode::Hang);
    Reply held = Exchange(kServer, port, probe, std::chrono::milliseconds(300));
    EXPECT_EQ(held.data, "");
    EXPECT_GE(held.ms, 290) << "held until the client gave up";

    standIns_->SetServerUp(0);
    EXPECT_TRUE(answered(kServer, probe));
    std::vector<lab::ProbeRecord> probes = standIns_->Probes();
    ASSERT_EQ(probes.size(), 4u);
    EXPECT_GE(probes[0].servedMs, 0);
    EXPECT_LT(std::max(probes[1].servedMs, probes[2].servedMs), 0) << "not answered";
    EXPECT_NEAR(probes[3].servedMs, 80, 1e-6);

    // Beyond the bound of 256 open connections one more is closed at once
    // and counted; the server answers again once the others are gone.
    std::vector<platform::UniqueFd> idle;
    for (int i = 0; i < 257; ++i) idle.push_back(dirtest::Connect(port, kServer));
    for (int i = 0; i < 100 && standIns_->Counts().refusedConnections == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(standIns_->Counts().refusedConnections, 1u);
    idle.clear();
    bool again = false;  // once the server has seen the closes
    for (int i = 0; i < 50 && !again; ++i) {
        again = answered(kServer, probe);
        if (!again) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(again);
}

}  // namespace
