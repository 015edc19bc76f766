// Probe-count reporting: the multipart form, the post on its own thread and
// the per-gateway bookkeeping that keeps undelivered counts for the next time.
#include "report/report.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>
#include <system_error>
#include <thread>

#include "log/console_print.h"
#include "log/logger.h"
#include "platform/notify.h"
#include "platform/socket.h"
#include "process/process.h"
#include "slots/isp_ctx.h"
#include "speedtest/http_exchange.h"

bool gLastReportFailed = false;
uint8_t gPostFailed = 0;
platform::CriticalSection gPCRLock;

namespace {

// How often the wait for the post thread looks up to feed the watchdog.
constexpr std::chrono::seconds kWatchdogStep{1};

// 29 hyphens and the digits open each part; the header's boundary parameter
// has two hyphens fewer, as multipart framing adds them.
constexpr const char* kBoundaryLine = "-----------------------------251332668624907\r\n";
constexpr const char* kClosingLine = "-----------------------------251332668624907--";

const ExchangeMessages kPostMessages = {
    L"[Post Thrd %u] my_gethostbyname(%hs) failure, error = %d\n",
    L"[Post Thrd %u] socket function failed with error = %d\n",
    L"[Post Thrd %u] setsockopt( ... SO_SNDBUF ) failed with error: %ld\n",
    L"[Post Thrd %u] setsockopt( ... SO_SNDTIMEO/SO_RCVTIMEO ) failed with error: %ld\n",
    nullptr,
    L"[Post Thrd %u] connect function failed with error: %ld\n",
    L"[Post Thrd %u] send failed with error: %d\n",
    L"[Post Thrd %u] recv failed with error: %d\n",
    L"[Post Thrd %u] closesocket failed with error = %d\n",
    L"[Post Thrd %u] sock %i closed\n",
    L"[Post Thrd %u] reply from %hs passed %I64u bytes, reading stopped\n",
};
const ExchangeProfile kPostProfile = {&kPostMessages, true, true};

void SetPostFailed(uint8_t value) {
    std::lock_guard<platform::CriticalSection> lock(gPCRLock);
    gPostFailed = value;
}

// A wide text one byte per UTF-16 unit, its low byte: MAC digits and
// separators come through unchanged.
std::string Narrow(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text) out.push_back(static_cast<char>(static_cast<uint32_t>(c) & 0xFF));
    return out;
}

// mbps as bits per second: truncated toward zero to 64 bits, of which only
// the low 32 are sent, so 4294967296 bps and more wrap around. A value with
// no 64-bit form (NaN, beyond ±9.2e18) becomes the processor's "integer
// indefinite", 0x8000000000000000, whose low 32 bits are 0.
uint32_t BandwidthFigure(double mbps) {
    double bps = mbps * 1000000.0;
    int64_t whole = INT64_MIN;
    if (std::isfinite(bps) && bps > -9223372036854775808.0 && bps < 9223372036854775808.0) {
        whole = static_cast<int64_t>(bps);
    }
    return static_cast<uint32_t>(static_cast<uint64_t>(whole));
}

void AppendPart(std::string& body, const char* name, const std::string& value) {
    body += kBoundaryLine;
    body += "Content-Disposition: form-data; name=\"";
    body += name;
    body += "\"\r\n\r\n";
    body += value;
    body += "\r\n";
}

}  // namespace

std::string CollectorHost() {
    const char* value = std::getenv("SANDROW_COLLECTOR_HOST");
    return value != nullptr ? std::string(value) : std::string();
}

void ReportProbeCounts() {
    std::string mac;
    for (IspCtx& isp : gIspCtx) {
        if (isp.G < 0 || isp.active == 0) continue;
        // The first reported gateway's adapter names the machine for the pass.
        if (mac.empty()) mac = Narrow(isp.adapterMAC);
        std::string gatewayMac = Narrow(isp.gatewayMAC);
        uint64_t delta = isp.gProbeCount - isp.reportedProbeCount;
        LogDebug("ReportProbeCounts(): MAC: ", mac, ", gateway: ", gatewayMac,
                 ", probe delta: ", delta, ", dlbw(max): ", isp.DownloadRecoveryBW,
                 ", dlbw(ini): ", isp.initialAperture);
        if (doPOSTProbeCounts(mac, gatewayMac, delta, isp.DownloadRecoveryBW,
                              isp.initialAperture) == 0) {
            isp.reportedProbeCount = isp.gProbeCount;
        }
        // Otherwise the count stays, and the next report sends the larger delta.
    }
}

int doPOSTProbeCounts(const std::string& adapterMac, const std::string& gatewayMac,
                      uint64_t probeCount, double currentMbps, double initialMbps) {
    std::string body;
    AppendPart(body, "machinename", gComputerName);
    AppendPart(body, "macaddress", adapterMac);
    AppendPart(body, "gatewaymac", gatewayMac);
    AppendPart(body, "numberofprobes", std::to_string(probeCount));
    AppendPart(body, "currentbandwidth", std::to_string(BandwidthFigure(currentMbps)));
    AppendPart(body, "initialbandwidth", std::to_string(BandwidthFigure(initialMbps)));
    AppendPart(body, "varnelversion", kProgramVersion);
    body += kBoundaryLine;
    body += "Content-Disposition: form-data; name=\"submit\"\r\n\r\nSubmit\r\n";
    body += kClosingLine;

    const std::string host = CollectorHost();
    std::string header =
        "POST /action.php HTTP/1.1\r\n"
        "Accept: text/html, application/xhtml + xml, application/xml; q = 0.9, */*;q=0.8\r\n"
        "Accept-Encoding: gzip, deflate\r\n"
        "Accept-Language: en-US,en;q=0.5\r\n"
        "Connection: close\r\n"
        "User-Agent: Mozilla/5.0 (Windows NT 6.3; WOW64)\r\n"
        "Content-Type: multipart/form-data; boundary=---------------------------251332668624907"
        "\r\n";
    header += "Host: " + host + "\r\n";
    // Counted as the text it is: a NUL narrowed out of a MAC ends it.
    header += "Content-Length: " + std::to_string(static_cast<int32_t>(std::strlen(body.c_str()))) +
              "\r\n\r\n";

    const size_t size = header.size() + body.size() + 1;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[size]);
    if (!buffer) {
        gLastReportFailed = true;
        ConsolePrintf(L"doPOSTProbeCounts: malloc(%u) failed\n", static_cast<unsigned>(size));
        return -1;
    }
    std::memcpy(buffer.get(), header.data(), header.size());
    std::memcpy(buffer.get() + header.size(), body.data(), body.size());
    buffer[size - 1] = '\0';

    PostRequest post{buffer.get(), std::strlen(buffer.get()), host};
    // Cleared first so that one failed post does not make every later report
    // read as failed (and stop the counts from ever being acknowledged).
    SetPostFailed(0);
    try {
        // The worker's exchange keeps its own time limits; waiting for it in
        // steps keeps the watchdog fed, since one report per gateway can
        // take minutes on a line that drops packets.
        std::packaged_task<int(PostRequest*)> task(PostThread);
        std::future<int> done = task.get_future();
        std::thread worker(std::move(task), &post);
        while (done.wait_for(kWatchdogStep) != std::future_status::ready) {
            platform::PingWatchdogIfDue();
        }
        worker.join();
    } catch (const std::system_error&) {
        // No thread, nothing sent: a failure, so the counts wait for the next report.
        SetPostFailed(1);
    }
    buffer.reset();

    uint8_t failed = 0;
    {
        std::lock_guard<platform::CriticalSection> lock(gPCRLock);
        failed = gPostFailed;
    }
    gLastReportFailed = failed != 0;
    return failed != 0 ? 1 : 0;
}

int PostThread(PostRequest* post) {
    bool answered = false;
    auto inspect = [&answered](const char* data, size_t count) {
        // The exchange leaves a NUL after every chunk: `data` reads as text.
        if (std::strstr(data, "200 OK") == nullptr) {
            ConsolePrintf(L"[Post Thrd %u] RECEIVED ERROR [%i]: [%hs][STRLEN %u]\n",
                          static_cast<unsigned>(platform::GetCurrentThreadId()),
                          static_cast<int>(count), data, static_cast<unsigned>(std::strlen(data)));
            return false;
        }
        answered = true;
        return true;
    };
    ExchangeResult exchange =
        HttpExchange(kPostProfile, post->host,
                     std::string_view(post->request, static_cast<size_t>(post->length)), inspect);
    if (exchange.status != 0) {
        SetPostFailed(1);
        return exchange.lookupFailed ? -1 : 1;
    }
    CloseExchangeSocket(kPostProfile, exchange.socket);
    if (!answered) SetPostFailed(1);
    return 1;
}

void ResetReportForTest() {
    gLastReportFailed = false;
    SetPostFailed(0);
}
