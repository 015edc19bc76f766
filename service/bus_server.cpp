// The D-Bus face of corvane-service: method tables of the five objects, reply
// building (HRESULT, interface path, arrays in variants), faults when a
// source of them is given, and the poll loop that also sends stalled answers
// when they fall due.
#include "service/bus_server.h"

#include <poll.h>

#include <sdbus-c++/sdbus-c++.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <variant>
#include <vector>

#include "platform/notify.h"

namespace corvane {
namespace {

using Clock = std::chrono::steady_clock;

// An out array as it goes into its variant.
using Array = std::variant<std::vector<std::string>, std::vector<int32_t>, std::vector<bool>,
                           std::vector<int64_t>>;

// Stalled answers waiting to be sent; a client that keeps calling a stalled
// method must not make the queue grow without end.
constexpr size_t kMaxDeferredReplies = 1024;
constexpr const char* kNullPath = "/";

struct Answer {
    HResult hr = kOk;
    std::string path = kNullPath;  // only for the methods that return an interface
    std::vector<Array> arrays;
};

template <typename Item, typename Field>
std::vector<Field> Column(const std::vector<Item>& items, Field Item::*field) {
    std::vector<Field> column;
    column.reserve(items.size());
    for (const Item& item : items) column.push_back(item.*field);
    return column;
}

// The arrays of each list, in the order of the interface. An empty list gives
// arrays of the right types, which is also what a failed call carries.
std::vector<Array> GatewayArrays(const std::vector<Gateway>& g) {
    return {Column(g, &Gateway::mac),         Column(g, &Gateway::name),
            Column(g, &Gateway::id),          Column(g, &Gateway::connected),
            Column(g, &Gateway::address),     Column(g, &Gateway::description),
            Column(g, &Gateway::uploadBps),   Column(g, &Gateway::downloadBps),
            Column(g, &Gateway::linkSpeedBps)};
}

std::vector<Array> InterfaceArrays(const std::vector<NetworkInterface>& n) {
    return {Column(n, &NetworkInterface::mac),      Column(n, &NetworkInterface::name),
            Column(n, &NetworkInterface::deviceId), Column(n, &NetworkInterface::gatewayId),
            Column(n, &NetworkInterface::flags),    Column(n, &NetworkInterface::up)};
}

std::vector<Array> TrafficArrays(const std::vector<TrafficEntry>& t) {
    // Arrays 9 and 10 are not read by the monitor; they carry zeros.
    std::vector<int64_t> zeros(t.size(), 0);
    return {Column(t, &TrafficEntry::name),
            Column(t, &TrafficEntry::path),
            Column(t, &TrafficEntry::description),
            Column(t, &TrafficEntry::active),
            Column(t, &TrafficEntry::deviceId),
            Column(t, &TrafficEntry::processId),
            Column(t, &TrafficEntry::uploadBits),
            Column(t, &TrafficEntry::downloadBits),
            zeros,
            zeros};
}

std::vector<Array> EmptyArrays(Method method) {
    switch (method) {
        case Method::GetNetworkInfoList:
            return GatewayArrays({});
        case Method::GetNetworkInterfaceList:
            return InterfaceArrays({});
        case Method::GetProcessList:
        case Method::GetDomainList:
            return TrafficArrays({});
        default:
            return {};
    }
}

// The same number of elements under another element type: as -> ai,
// ai -> ax, ab -> ai, ax -> as.
Array WithOtherType(const Array& array) {
    if (auto* texts = std::get_if<std::vector<std::string>>(&array)) {
        return std::vector<int32_t>(texts->size(), 0);
    }
    if (auto* longs = std::get_if<std::vector<int32_t>>(&array)) {
        return std::vector<int64_t>(longs->begin(), longs->end());
    }
    if (auto* bools = std::get_if<std::vector<bool>>(&array)) {
        return std::vector<int32_t>(bools->begin(), bools->end());
    }
    std::vector<std::string> texts;
    for (int64_t v : std::get<std::vector<int64_t>>(array)) texts.push_back(std::to_string(v));
    return texts;
}

std::string Hex(HResult hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<uint32_t>(hr));
    return text;
}

class Server {
  public:
    Server(Backend& backend, sdbus::IConnection& connection, FaultSource* faults)
        : backend_(backend), connection_(connection), faults_(faults) {}

    void Export();
    // Sends the stalled answers that are due.
    void SendDue();
    // ms until the next stalled answer is due (rounded up, so the loop does
    // not wake early and spin); -1 when none waits.
    int MsUntilNextDue() const;

  private:
    using Body = std::function<Answer(sdbus::MethodCall&)>;

    sdbus::IObject& Object(const char* path);
    void Register(sdbus::IObject& object, const char* interface, Method method,
                  const char* inSignature, const char* outSignature, Body body);
    void Handle(Method method, sdbus::MethodCall& call, const Body& body);

    Backend& backend_;
    sdbus::IConnection& connection_;
    FaultSource* faults_;  // null: every answer as the backend gives it
    std::vector<std::unique_ptr<sdbus::IObject>> objects_;
    struct Deferred {
        Clock::time_point due;
        sdbus::MethodReply reply;
    };
    std::vector<Deferred> deferred_;
};

sdbus::IObject& Server::Object(const char* path) {
    objects_.push_back(sdbus::createObject(connection_, path));
    return *objects_.back();
}

void Server::Register(sdbus::IObject& object, const char* interface, Method method,
                      const char* inSignature, const char* outSignature, Body body) {
    object.registerMethod(interface, MethodName(method), inSignature, outSignature,
                          [this, method, body = std::move(body)](sdbus::MethodCall call) {
                              Handle(method, call, body);
                          });
}

void Server::Handle(Method method, sdbus::MethodCall& call, const Body& body) {
    const Fault fault = faults_ != nullptr ? faults_->NextFault(method) : Fault{};
    Answer answer;
    if (fault.hresult && *fault.hresult < 0) {
        // A failure answers without doing anything.
        answer.hr = *fault.hresult;
        answer.arrays = EmptyArrays(method);
        ServiceLog(std::string(MethodName(method)) + ": fault: answering " + Hex(answer.hr));
    } else {
        try {
            answer = body(call);
        } catch (const sdbus::Error&) {
            throw;  // arguments that do not read: sdbus answers with an error reply
        } catch (const std::exception& e) {
            ServiceLog(std::string(MethodName(method)) + ": " + e.what());
            answer = Answer{kUnexpected, kNullPath, {}};
        }
        if (answer.hr < 0) {
            answer.path = kNullPath;
            answer.arrays = EmptyArrays(method);
        } else if (fault.hresult) {
            answer.hr = *fault.hresult;
            ServiceLog(std::string(MethodName(method)) + ": fault: answering " + Hex(answer.hr));
        }
    }
    if (fault.nullPath) {
        answer.path = kNullPath;
        ServiceLog(std::string(MethodName(method)) + ": fault: null interface");
    }
    size_t wrong = static_cast<size_t>(fault.wrongTypeArray);
    if (wrong >= 1 && wrong <= answer.arrays.size()) {
        answer.arrays[wrong - 1] = WithOtherType(answer.arrays[wrong - 1]);
        ServiceLog(std::string(MethodName(method)) + ": fault: array " + std::to_string(wrong) +
                   " of another type");
    }

    sdbus::MethodReply reply = call.createReply();
    reply << answer.hr;
    if (ReturnsInterface(method)) reply << sdbus::ObjectPath(answer.path);
    for (const Array& array : answer.arrays) {
        // Written straight into the reply: an sdbus::Variant would copy the
        // array once more.
        std::visit(
            [&reply](const auto& v) {
                reply.openVariant(sdbus::signature_of<std::decay_t<decltype(v)>>::str());
                reply << v;
                reply.closeVariant();
            },
            array);
    }
    if (fault.stall.count() > 0 && deferred_.size() < kMaxDeferredReplies) {
        ServiceLog(std::string(MethodName(method)) + ": fault: answering in " +
                   std::to_string(fault.stall.count()) + " ms");
        deferred_.push_back(Deferred{Clock::now() + fault.stall, std::move(reply)});
        return;
    }
    reply.send();
}

void Server::SendDue() {
    Clock::time_point now = Clock::now();
    auto due = std::stable_partition(deferred_.begin(), deferred_.end(),
                                     [now](const Deferred& d) { return d.due > now; });
    for (auto it = due; it != deferred_.end(); ++it) it->reply.send();
    deferred_.erase(due, deferred_.end());
}

int Server::MsUntilNextDue() const {
    if (deferred_.empty()) return -1;
    Clock::time_point next = deferred_.front().due;
    for (const Deferred& d : deferred_) next = std::min(next, d.due);
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now());
    return static_cast<int>(std::max<int64_t>(wait.count(), 0));
}

void Server::Export() {
    constexpr const char* kListOut10 = "ivvvvvvvvvv";
    Backend& b = backend_;

    sdbus::IObject& root = Object(kRootPath);
    const char* bcm = "com.corvane.IBandwidthControlManager";
    Register(root, bcm, Method::Initialize, "iiiss", "i", [&b](sdbus::MethodCall& call) {
        int32_t a = 0, c1 = 0, c2 = 0;
        std::string d, e;
        call >> a >> c1 >> c2 >> d >> e;
        return Answer{b.Initialize(a, c1, c2, d, e), kNullPath, {}};
    });
    Register(root, bcm, Method::GetFactoryManager, "", "io", [](sdbus::MethodCall&) {
        return Answer{kOk, kFactoryPath, {}};
    });

    sdbus::IObject& factory = Object(kFactoryPath);
    const char* fm = "com.corvane.IFactoryManager";
    Register(factory, fm, Method::GetConfigurationManager, "", "io", [](sdbus::MethodCall&) {
        return Answer{kOk, kConfigurationPath, {}};
    });
    Register(factory, fm, Method::GetNetworkManager, "", "io", [](sdbus::MethodCall&) {
        return Answer{kOk, kNetworkPath, {}};
    });
    Register(factory, fm, Method::GetRulesManager, "", "io", [](sdbus::MethodCall&) {
        return Answer{kOk, kRulesPath, {}};
    });

    sdbus::IObject& network = Object(kNetworkPath);
    const char* nm = "com.corvane.INetworkManager";
    Register(network, nm, Method::GetNetworkInterfaceList, "", "ivvvvvv", [&b](sdbus::MethodCall&) {
        std::vector<NetworkInterface> list;
        HResult hr = b.GetInterfaces(&list);
        return Answer{hr, kNullPath, InterfaceArrays(list)};
    });
    Register(network, nm, Method::SetGatewayLimits, "sxx", "i", [&b](sdbus::MethodCall& call) {
        std::string mac;
        int64_t up = 0, down = 0;
        call >> mac >> up >> down;
        return Answer{b.SetGatewayLimits(mac, up, down), kNullPath, {}};
    });
    Register(network, nm, Method::GetNetworkInfoList, "", "ivvvvvvvvv", [&b](sdbus::MethodCall&) {
        std::vector<Gateway> list;
        HResult hr = b.GetGateways(&list);
        return Answer{hr, kNullPath, GatewayArrays(list)};
    });

    sdbus::IObject& rules = Object(kRulesPath);
    const char* rm = "com.corvane.IRulesManager";
    for (TrafficKind kind : {TrafficKind::Processes, TrafficKind::Domains}) {
        const Method method =
            kind == TrafficKind::Processes ? Method::GetProcessList : Method::GetDomainList;
        Register(rules, rm, method, "n", kListOut10, [&b, kind](sdbus::MethodCall& call) {
            int16_t selector = 0;  // read, so that a call without one is refused
            call >> selector;
            std::vector<TrafficEntry> list;
            HResult hr = b.GetTraffic(kind, &list);
            return Answer{hr, kNullPath, TrafficArrays(list)};
        });
    }

    sdbus::IObject& configuration = Object(kConfigurationPath);
    Register(configuration, "com.corvane.IConfigurationManager", Method::PrepareLimitChange, "i",
             "i", [&b](sdbus::MethodCall& call) {
                 int32_t value = 0;
                 call >> value;
                 return Answer{b.PrepareLimitChange(value), kNullPath, {}};
             });

    // Beyond the five interfaces: what shapes each gateway, for people and tools.
    root.registerProperty("LeafQueues").onInterface(kStatusInterface).withGetter([&b] {
        return b.LeafQueues();
    });

    for (auto& object : objects_) object->finishRegistration();
}

// The earlier of two waits in ms, where -1 is no wait at all.
int EarlierTimeout(int a, int b) {
    if (a < 0) return b;
    if (b < 0) return a;
    return std::min(a, b);
}

bool Loop(sdbus::IConnection& connection, Server& server, Backend& backend, int stopFd,
          std::span<LoopTask* const> tasks, std::string* error) {
    std::vector<pollfd> fds;
    std::vector<size_t> firstOfTask(tasks.size() + 1);
    for (;;) {
        while (connection.processPendingRequest()) {
        }
        server.SendDue();
        platform::PingWatchdogIfDue();
        sdbus::IConnection::PollData data = connection.getEventLoopPollData();
        int timeout = EarlierTimeout(data.getPollTimeout(), server.MsUntilNextDue());
        timeout = EarlierTimeout(timeout, backend.MsUntilWork());
        timeout = EarlierTimeout(timeout, platform::MsUntilWatchdogPing());
        // A descriptor of -1 is ignored by poll.
        fds.assign(
            {{data.fd, data.events, 0}, {stopFd, POLLIN, 0}, {backend.WatchFd(), POLLIN, 0}});
        for (size_t i = 0; i < tasks.size(); ++i) {
            firstOfTask[i] = fds.size();
            tasks[i]->AddFds(&fds);
            timeout = EarlierTimeout(timeout, tasks[i]->MsUntilWork());
        }
        firstOfTask[tasks.size()] = fds.size();
        int n = ::poll(fds.data(), fds.size(), timeout);
        if (n < 0) {
            if (errno == EINTR) continue;
            *error = std::string("poll: ") + std::strerror(errno);
            return false;
        }
        if (stopFd >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) return true;
        if (fds[2].revents != 0 || backend.MsUntilWork() == 0) backend.Work();
        for (size_t i = 0; i < tasks.size(); ++i) {
            tasks[i]->Work(std::span<const pollfd>(fds).subspan(
                firstOfTask[i], firstOfTask[i + 1] - firstOfTask[i]));
        }
    }
}

}  // namespace

bool ServeOnBus(Backend& backend, int stopFd, std::string* error, std::span<LoopTask* const> tasks,
                FaultSource* faults) {
    std::unique_ptr<sdbus::IConnection> connection;
    try {
        connection = sdbus::createSystemBusConnection();
    } catch (const sdbus::Error& e) {
        *error = "cannot connect to the bus: " + e.getName() + ": " + e.getMessage();
        return false;
    }
    Server server(backend, *connection, faults);
    try {
        // Objects first: a client that sees the name must find them.
        server.Export();
        connection->requestName(kBusName);
    } catch (const sdbus::Error& e) {
        *error = std::string("cannot own ") + kBusName + ": " + e.getName() + ": " + e.getMessage();
        return false;
    }
    ServiceLog(std::string("serving ") + kBusName + " as " + connection->getUniqueName());
    platform::NotifyReady();
    bool stopped = false;
    try {
        stopped = Loop(*connection, server, backend, stopFd, tasks, error);
    } catch (const sdbus::Error& e) {
        *error = "lost the bus: " + e.getName() + ": " + e.getMessage();
        return false;
    }
    if (!stopped) return false;
    platform::NotifyStopping();
    try {
        connection->releaseName(kBusName);
    } catch (const sdbus::Error& e) {
        // The name goes with the connection anyway.
        ServiceLog("releasing the name: " + e.getMessage());
    }
    return true;
}

}  // namespace corvane
