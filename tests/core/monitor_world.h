// What the in-process monitor tests share: the speed-test directory's two
// documents (the configuration and five servers on one host), and a world of
// one gateway with one browser behind it, the in-memory shaper service, and
// a directory and servers on loopback at one port.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/monitor.h"
#include "platform/console.h"
#include "probe/budget.h"
#include "probe/latency.h"
#include "shaper/fake_service.h"
#include "speedtest/directory.h"
#include "speedtest/http_exchange.h"
#include "speedtest/loopback_server.h"

namespace monitortest {

inline const char* kConfig =
    "<settings>\n<client ip=\"192.0.2.7\" lat=\"50\" lon=\"8\" isp=\"Example\" />\n"
    "<times dl1=\"5000\" dl2=\"35000\" />\n<download testlength=\"10\" />\n"
    "<upload ratio=\"5\" />\n</settings>\n";

// Five speed-test servers, all at `host`.
inline std::string ServerList(const std::string& host) {
    std::string document = "<settings>\n<servers>\n";
    for (int id = 1; id <= 5; ++id) {
        document += "<server url=\"http://" + host + "/speedtest/upload.php\" lat=\"50." +
                    std::to_string(id) + "\" lon=\"8\" id=\"" + std::to_string(id) + "\" host=\"" +
                    host + "\" />\n";
    }
    return document + "</servers>\n</settings>\n";
}

// The directory's two documents by path; anything else is a probe.
inline void Answer(test::Connection& c, const std::string& serverHost) {
    c.ReadRequest();
    if (c.request().find("/speedtest-config.php") != std::string::npos) {
        c.Send(test::HttpReply(kConfig));
    } else if (c.request().find("/speedtest-servers-static.php") != std::string::npos) {
        c.Send(test::HttpReply(ServerList(serverHost)));
    } else {
        c.Send(test::HttpReply("test=test"));
    }
}

class MonitorWorld : public fake::ServiceTest {
  protected:
    // The directory at 127.0.0.1 and the servers all answer at `port`;
    // probing is never rationed.
    void SetUpWorld(uint16_t port, uint32_t idleTimeoutMs = ExchangeSettings{}.idleTimeoutMs) {
        fake::ServiceTest::SetUp();
        ResetDirectoryForTest();
        ResetBudgetForTest();
        ResetLatencyForTest();
        ClearLastErrorText();
        gUnlimitedProbing = true;
        ExchangeSettings settings;
        settings.port = port;
        settings.idleTimeoutMs = idleTimeoutMs;
        SetExchangeSettingsForTest(settings);
        ::setenv("SANDROW_DIRECTORY_HOST", "127.0.0.1", 1);
        ::setenv("SANDROW_DIRECTORY_HOST2", "127.0.0.1", 1);
        S().gateways = {{L"02-00-00-00-00-01", 0, 20000000, 100000000}};
        S().interfaces = {{L"02-00-00-00-00-99", 7, 0}};
        S().processes = {{L"browser", 7, 0, 0}};
    }
    void TearDown() override {
        platform::SetKbHitForTest(nullptr);
        ::unsetenv("SANDROW_DIRECTORY_HOST");
        ::unsetenv("SANDROW_DIRECTORY_HOST2");
        ResetExchangeSettingsForTest();
        ResetDirectoryForTest();
        ResetLatencyForTest();
        ResetBudgetForTest();
        ClearLastErrorText();
        fake::ServiceTest::TearDown();
    }

    // Runs the loop; `step` is asked at every key-press test and may change
    // the world; its true presses the key.
    static int32_t RunUntil(std::function<bool()> step) {
        platform::SetKbHitForTest(std::move(step));
        return DoApertureMonitor();
    }
};

}  // namespace monitortest
