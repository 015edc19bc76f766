// The metrics text and its file.
#include "service/metrics.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <utility>

namespace corvane {
namespace {

using namespace std::chrono_literals;

constexpr auto kFileInterval = 1s;

std::string Errno(int error) {
    return std::strerror(error);
}

// One metric family: its samples, in the order added.
struct Family {
    const char* name;
    const char* type;
    const char* help;
    std::string samples;

    void Add(const std::string& labels, const std::string& value) {
        samples.append(name).append(labels).append(" ").append(value).append("\n");
    }
    // A family without samples is left out.
    void AppendTo(std::string* out) const {
        if (samples.empty()) return;
        out->append("# HELP ").append(name).append(" ").append(help).append("\n");
        out->append("# TYPE ").append(name).append(" ").append(type).append("\n");
        out->append(samples);
    }
};

std::string Seconds(std::chrono::system_clock::time_point at) {
    double seconds = std::chrono::duration<double>(at.time_since_epoch()).count();
    char text[64];
    auto [end, ec] = std::to_chars(text, text + sizeof text, seconds, std::chars_format::fixed, 3);
    if (ec != std::errc()) return "NaN";
    return std::string(text, end);
}

// The length of the valid UTF-8 sequence at the start of `s`, 0 if none.
size_t Utf8Length(std::string_view s) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    auto cont = [&](size_t i, unsigned char lo = 0x80, unsigned char hi = 0xBF) {
        return i < s.size() && byte(i) >= lo && byte(i) <= hi;
    };
    const unsigned char c = byte(0);
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        const unsigned char lo = c == 0xE0 ? 0xA0 : 0x80;
        const unsigned char hi = c == 0xED ? 0x9F : 0xBF;  // no surrogates
        return cont(1, lo, hi) && cont(2) ? 3 : 0;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        const unsigned char lo = c == 0xF0 ? 0x90 : 0x80;
        const unsigned char hi = c == 0xF4 ? 0x8F : 0xBF;  // nothing past U+10FFFF
        return cont(1, lo, hi) && cont(2) && cont(3) ? 4 : 0;
    }
    return 0;
}

}  // namespace

std::string EscapeLabelValue(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    while (!value.empty()) {
        size_t n = Utf8Length(value);
        if (n == 0) {
            out.append("\xEF\xBF\xBD");
            value.remove_prefix(1);
            continue;
        }
        if (n == 1 && value[0] == '\\') {
            out.append("\\\\");
        } else if (n == 1 && value[0] == '"') {
            out.append("\\\"");
        } else if (n == 1 && value[0] == '\n') {
            out.append("\\n");
        } else {
            out.append(value.substr(0, n));
        }
        value.remove_prefix(n);
    }
    return out;
}

std::string RenderMetrics(std::span<const GatewayMetrics> gateways) {
    Family limit{"corvane_limit_bps",
                 "gauge",
                 "The gateway's limit in force, in bits per second; +Inf while none is set.",
                 {}};
    Family delivered{"corvane_delivered_bytes_total",
                     "counter",
                     "Bytes delivered: download what the shaper passed on, upload what the "
                     "interface sent.",
                     {}};
    Family leaf{"corvane_leaf_queue_info",
                "gauge",
                "The queue that holds the packets under the limit, by its kind; always 1.",
                {}};
    Family drops{
        "corvane_leaf_queue_drops_total", "counter", "Packets the leaf queue dropped.", {}};
    Family backlog{
        "corvane_leaf_queue_backlog_bytes", "gauge", "Bytes waiting in the leaf queue now.", {}};
    Family changes{"corvane_limit_changes_total",
                   "counter",
                   "SetGatewayLimits calls that changed a limit of the gateway.",
                   {}};
    Family last{"corvane_last_limit_change_timestamp_seconds",
                "gauge",
                "When a limit of the gateway last changed, in Unix time.",
                {}};

    std::set<std::pair<std::string, std::string>> seen;
    for (const GatewayMetrics& g : gateways) {
        if (!seen.emplace(g.name, g.interface).second) continue;
        std::string base = "gateway=\"";
        base.append(EscapeLabelValue(g.name)).append("\",interface=\"");
        base.append(EscapeLabelValue(g.interface)).append("\"");
        const std::pair<const char*, const DirectionMetrics*> directions[] = {
            {"download", &g.download}, {"upload", &g.upload}};
        for (const auto& [direction, d] : directions) {
            std::string labels = "{";
            labels.append(base).append(",direction=\"").append(direction).append("\"");
            const std::string closed = labels + "}";
            limit.Add(closed, d->limitBps < 0 ? std::string("+Inf") : std::to_string(d->limitBps));
            if (d->deliveredBytes) delivered.Add(closed, std::to_string(*d->deliveredBytes));
            if (d->leafKind.empty()) continue;
            std::string withKind = labels;
            withKind.append(",kind=\"").append(EscapeLabelValue(d->leafKind)).append("\"}");
            leaf.Add(withKind, "1");
            drops.Add(closed, std::to_string(d->leafDrops));
            if (d->leafBacklogBytes) backlog.Add(closed, std::to_string(*d->leafBacklogBytes));
        }
        const std::string gatewayLabels = "{" + base + "}";
        if (g.limitChanges) changes.Add(gatewayLabels, std::to_string(*g.limitChanges));
        if (g.lastLimitChange) last.Add(gatewayLabels, Seconds(*g.lastLimitChange));
    }
    std::string out;
    for (const Family* f : {&limit, &delivered, &leaf, &drops, &backlog, &changes, &last}) {
        f->AppendTo(&out);
    }
    return out;
}

MetricsSource BackendMetricsSource(Backend& backend) {
    return [&backend](std::string* text) {
        std::vector<GatewayMetrics> gateways;
        if (backend.Metrics(&gateways) < 0) return false;
        *text = RenderMetrics(gateways);
        return true;
    };
}

// ---------------------------------------------------------------------------

MetricsFile::MetricsFile(std::string path, MetricsSource source,
                         std::function<Clock::time_point()> now, LogFn log)
    : path_(std::move(path)),
      source_(std::move(source)),
      now_(std::move(now)),
      log_(std::move(log)) {
    if (!now_) now_ = [] { return Clock::now(); };
    if (!log_) log_ = [](std::string_view text) { ServiceLog(text); };
    due_ = now_();
}

MetricsFile::~MetricsFile() {
    if (wrote_) ::unlink(path_.c_str());
}

void MetricsFile::AddFds(std::vector<pollfd>* fds) {
    (void)fds;  // the file needs only the clock
}

int MetricsFile::MsUntilWork() {
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(due_ - now_());
    return static_cast<int>(std::clamp<int64_t>(wait.count(), 0, 1000));
}

void MetricsFile::Work(std::span<const pollfd> fds) {
    (void)fds;
    const Clock::time_point now = now_();
    if (now < due_) return;
    WriteNow();
    // On the second, without catching up on seconds the loop was busy for.
    due_ += kFileInterval;
    if (due_ <= now) due_ = now + kFileInterval;
}

bool MetricsFile::WriteNow() {
    std::string problem;
    if (Write(&problem)) {
        if (failing_) log_("metrics file " + path_ + ": written again");
        failing_ = false;
        wrote_ = true;
        return true;
    }
    if (!failing_) {
        log_("metrics file " + path_ + ": " + problem +
             " (tried again every second, logged again once it works)");
    }
    failing_ = true;
    return false;
}

bool MetricsFile::Write(std::string* problem) {
    std::string text;
    if (!source_(&text)) {
        *problem = "the backend's figures cannot be read";
        return false;
    }
    // ".corvane.prom.XXXXXX" beside it: hidden, and not *.prom, which the
    // collector reads; in the same directory, so that rename replaces.
    const size_t slash = path_.rfind('/');
    const size_t name = slash == std::string::npos ? 0 : slash + 1;
    const std::string dir = slash == std::string::npos ? std::string(".")
                            : slash == 0               ? std::string("/")
                                                       : path_.substr(0, slash);
    std::string temp = path_.substr(0, name);
    temp.append(".").append(path_.substr(name)).append(".XXXXXX");
    UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (!fd) {
        *problem = "cannot create a file in " + dir + ": " + Errno(errno);
        return false;
    }
    auto fail = [&](const char* what, int error) {
        ::unlink(temp.c_str());
        *problem = std::string(what) + " " + temp + ": " + Errno(error);
        return false;
    };
    // mkostemp makes it 0600 and the umask may take more: the collector
    // runs as another user.
    if (::fchmod(fd.get(), 0644) != 0) return fail("cannot set the mode of", errno);
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return fail("cannot write", n < 0 ? errno : EIO);
        done += static_cast<size_t>(n);
    }
    if (int e = fd.Reset(); e != 0) return fail("cannot write", e);
    if (::rename(temp.c_str(), path_.c_str()) != 0) {
        int e = errno;
        ::unlink(temp.c_str());
        *problem = "cannot replace it: ";
        problem->append(Errno(e));
        return false;
    }
    return true;
}

}  // namespace corvane
