// The speed-test globals (clock, shared error, exchange settings, directory
// and its hosts, logger) at their defaults for each case and after it.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include "log/logger.h"
#include "platform/clock.h"
#include "speedtest/directory.h"
#include "speedtest/http_exchange.h"

namespace test {

inline void ResetSpeedtestGlobals() {
    ::unsetenv("SANDROW_DIRECTORY_HOST");
    ::unsetenv("SANDROW_DIRECTORY_HOST2");
    ResetExchangeSettingsForTest();
    ResetDirectoryForTest();
    ResetLoggerForTest();
    platform::ResetClockForTest();
    ClearLastErrorText();
}

class SpeedtestTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetSpeedtestGlobals();
        platform::gPerfFrequency = platform::kPerfFrequency;
    }
    void TearDown() override { ResetSpeedtestGlobals(); }

    // The exchanges aimed at `port`, with an idle limit of `idleMs`.
    static void UsePort(uint16_t port, uint32_t idleMs = 60000, uint32_t sendMs = 15000) {
        ExchangeSettings settings;
        settings.port = port;
        settings.idleTimeoutMs = idleMs;
        settings.sendTimeoutMs = sendMs;
        SetExchangeSettingsForTest(settings);
    }
    // The directory at `first` and, second, at `second`.
    static void UseDirectoryHosts(const char* second = "127.0.0.2",
                                  const char* first = "127.0.0.1") {
        ::setenv("SANDROW_DIRECTORY_HOST", first, 1);
        ::setenv("SANDROW_DIRECTORY_HOST2", second, 1);
    }
};

}  // namespace test
