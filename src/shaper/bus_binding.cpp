// The service's interfaces over D-Bus: each call goes through platform::bus,
// the first out value is the HRESULT, `o` values become interface objects and
// the variant arrays become SafeArrays.
#include "shaper/bus_binding.h"

#include <utility>
#include <vector>

#include "platform/bus.h"
#include "platform/text.h"

namespace {

using platform::bus::Arg;
using platform::bus::Value;

constexpr const char* kBandwidthControlInterface = "com.corvane.IBandwidthControlManager";
constexpr const char* kFactoryInterface = "com.corvane.IFactoryManager";
constexpr const char* kNetworkInterface = "com.corvane.INetworkManager";
constexpr const char* kRulesInterface = "com.corvane.IRulesManager";
constexpr const char* kConfigurationInterface = "com.corvane.IConfigurationManager";
// The path that stands for a null interface pointer.
constexpr const char* kNullPath = "/";

// Calls the method and returns the reply's values, [0] being the HRESULT.
// A failure HRESULT is raised; the other values are then not looked at.
std::vector<Value> Invoke(const std::string& path, const char* interface, const char* method,
                          const std::vector<Arg>& args = {}) {
    std::vector<Value> values;
    try {
        values = platform::bus::Call(path, interface, method, args);
    } catch (const platform::bus::Unavailable&) {
        throw ComError(RPC_S_SERVER_UNAVAILABLE_HR);
    }
    // A reply without the leading HRESULT does not come from the service the
    // program knows; for the caller that is the same as no service at all.
    if (values.empty() || values[0].kind != Value::Kind::Int32) {
        throw ComError(RPC_S_SERVER_UNAVAILABLE_HR);
    }
    ThrowIfFailed(values[0].int32);
    return values;
}

// GCC 12 with the sanitizers takes the move of the variant into SafeArray for
// a read of an uninitialised vector (a false positive of its inliner); the
// warning is silenced for this function only.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
SafeArray ToSafeArray(const std::vector<Value>& values, size_t index) {
    if (index >= values.size()) return SafeArray();
    const Value& value = values[index];
    SafeArray::Data data;
    switch (value.kind) {
        case Value::Kind::StringArray: {
            auto& texts = data.emplace<std::vector<std::wstring>>();
            texts.reserve(value.strings.size());
            for (const std::string& s : value.strings) texts.push_back(BusUtf8ToWide(s));
            break;
        }
        case Value::Kind::Int32Array:
            data.emplace<std::vector<int32_t>>(value.int32s);
            break;
        case Value::Kind::BoolArray:
            data.emplace<std::vector<bool>>(value.bools);
            break;
        case Value::Kind::Int64Array:
            data.emplace<std::vector<int64_t>>(value.int64s);
            break;
        default:
            return SafeArray::OfOtherType();
    }
    return SafeArray(std::move(data));
}
#pragma GCC diagnostic pop

// Out arrays follow the HRESULT: array k of the reply is value k.
template <size_t N>
void FillArrays(const std::vector<Value>& values, std::array<SafeArray, N>* arrays) {
    for (size_t k = 0; k < N; ++k) (*arrays)[k] = ToSafeArray(values, k + 1);
}

template <size_t N>
void ClearArrays(std::array<SafeArray, N>* arrays) {
    if (arrays != nullptr) arrays->fill(SafeArray());
}

// The interface pointer of value 1; "/" (or no path at all) is a null
// pointer, as a QueryInterface answered with E_NOINTERFACE leaves it.
template <typename Object, typename Interface>
void SetInterface(const std::vector<Value>& values, ComPtr<Interface>* out) {
    if (values.size() < 2) return;
    const Value& value = values[1];
    if (value.kind != Value::Kind::ObjectPath || value.path.empty() || value.path == kNullPath) {
        return;
    }
    *out = std::make_shared<Object>(value.path);
}

class BusConfigurationManager : public IConfigurationManager {
  public:
    explicit BusConfigurationManager(std::string path) : path_(std::move(path)) {}

    HRESULT PrepareLimitChange(int32_t value) override {
        return Invoke(path_, kConfigurationInterface, "PrepareLimitChange", {value})[0].int32;
    }

  private:
    std::string path_;
};

class BusRulesManager : public IRulesManager {
  public:
    explicit BusRulesManager(std::string path) : path_(std::move(path)) {}

    HRESULT GetProcessList(int16_t selector, TrafficListArrays* arrays) override {
        return List("GetProcessList", selector, arrays);
    }
    HRESULT GetDomainList(int16_t selector, TrafficListArrays* arrays) override {
        return List("GetDomainList", selector, arrays);
    }

  private:
    HRESULT List(const char* method, int16_t selector, TrafficListArrays* arrays) {
        ClearArrays(arrays);
        auto values = Invoke(path_, kRulesInterface, method, {selector});
        if (arrays != nullptr) FillArrays(values, arrays);
        return values[0].int32;
    }

    std::string path_;
};

class BusNetworkManager : public INetworkManager {
  public:
    explicit BusNetworkManager(std::string path) : path_(std::move(path)) {}

    HRESULT GetNetworkInterfaceList(NetworkInterfaceArrays* arrays) override {
        ClearArrays(arrays);
        auto values = Invoke(path_, kNetworkInterface, "GetNetworkInterfaceList");
        if (arrays != nullptr) FillArrays(values, arrays);
        return values[0].int32;
    }

    HRESULT SetGatewayLimits(const std::wstring& gatewayMAC, int64_t uploadBps,
                             int64_t downloadBps) override {
        return Invoke(path_, kNetworkInterface, "SetGatewayLimits",
                      {BusWideToUtf8(gatewayMAC), uploadBps, downloadBps})[0]
            .int32;
    }

    HRESULT GetNetworkInfoList(NetworkInfoArrays* arrays) override {
        ClearArrays(arrays);
        auto values = Invoke(path_, kNetworkInterface, "GetNetworkInfoList");
        if (arrays != nullptr) FillArrays(values, arrays);
        return values[0].int32;
    }

  private:
    std::string path_;
};

class BusFactoryManager : public IFactoryManager {
  public:
    explicit BusFactoryManager(std::string path) : path_(std::move(path)) {}

    HRESULT GetConfigurationManager(ComPtr<IConfigurationManager>* out) override {
        return Get<BusConfigurationManager>("GetConfigurationManager", out);
    }
    HRESULT GetNetworkManager(ComPtr<INetworkManager>* out) override {
        return Get<BusNetworkManager>("GetNetworkManager", out);
    }
    HRESULT GetRulesManager(ComPtr<IRulesManager>* out) override {
        return Get<BusRulesManager>("GetRulesManager", out);
    }

  private:
    template <typename Object, typename Interface>
    HRESULT Get(const char* method, ComPtr<Interface>* out) {
        out->reset();
        auto values = Invoke(path_, kFactoryInterface, method);
        SetInterface<Object>(values, out);
        return values[0].int32;
    }

    std::string path_;
};

class BusBandwidthControlManager : public IBandwidthControlManager {
  public:
    explicit BusBandwidthControlManager(std::string path) : path_(std::move(path)) {}

    HRESULT Initialize(int32_t a, int32_t b, int32_t c, const std::wstring& d,
                       const std::wstring& e) override {
        return Invoke(path_, kBandwidthControlInterface, "Initialize",
                      {a, b, c, BusWideToUtf8(d), BusWideToUtf8(e)})[0]
            .int32;
    }

    HRESULT GetFactoryManager(ComPtr<IFactoryManager>* out) override {
        out->reset();
        auto values = Invoke(path_, kBandwidthControlInterface, "GetFactoryManager");
        SetInterface<BusFactoryManager>(values, out);
        return values[0].int32;
    }

  private:
    std::string path_;
};

class BusBinding : public ServiceBinding {
  public:
    bool Running() override { return platform::bus::NameHasOwner(platform::bus::kServiceName); }

    HRESULT CreateInstance(ComPtr<IBandwidthControlManager>* out) override {
        out->reset();
        if (!Running()) return RPC_S_SERVER_UNAVAILABLE_HR;
        *out = std::make_shared<BusBandwidthControlManager>(platform::bus::kRootPath);
        return S_OK;
    }
};

constexpr wchar_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

}  // namespace

ServiceBinding& BusServiceBinding() {
    static BusBinding binding;
    return binding;
}

std::wstring BusUtf8ToWide(const std::string& text) {
    std::wstring wide;
    wide.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        auto lead = static_cast<unsigned char>(text[i]);
        size_t length = 0;
        char32_t code = 0;
        char32_t minimum = 0;  // shortest form: overlong encodings are invalid
        if (lead < 0x80) {
            length = 1;
            code = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            code = lead & 0x1F;
            minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            code = lead & 0x0F;
            minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            code = lead & 0x07;
            minimum = 0x10000;
        }
        size_t good = length == 0 ? 0 : 1;
        while (good > 0 && good < length && i + good < text.size() &&
               IsContinuation(static_cast<unsigned char>(text[i + good]))) {
            code = (code << 6) | (static_cast<unsigned char>(text[i + good]) & 0x3F);
            ++good;
        }
        if (length == 0 || good < length) {
            // Skip the bad lead byte and the continuation bytes that followed it.
            wide.push_back(kReplacement);
            i += good == 0 ? 1 : good;
            continue;
        }
        bool valid = code >= minimum && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
        wide.push_back(valid ? static_cast<wchar_t>(code) : kReplacement);
        i += length;
    }
    return wide;
}

std::string BusWideToUtf8(const std::wstring& text) {
    return platform::WideToUtf8(text);
}
