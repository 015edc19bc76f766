// The program's view of the Corvane network service: its five interfaces, the
// owning pointers that hold them and the typed arrays that they return.
// Every operation returns its success code and raises ComError for a failure,
// as the service's wrappers do.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "shaper/hresult.h"

// An owning interface reference; empty when unbound. Assigning another
// reference (or nullptr) releases the one it held.
template <typename T>
using ComPtr = std::shared_ptr<T>;

// Element types of the out arrays.
enum class VarType { Missing, Bstr, Long, Bool, LongLong, Other };

// One out array of a reply, as received. Typed access raises E_INVALIDARG for
// a missing array, another element type or an index beyond the bounds.
class SafeArray {
  public:
    using Data = std::variant<std::monostate, std::vector<std::wstring>, std::vector<int32_t>,
                              std::vector<bool>, std::vector<int64_t>>;

    SafeArray() = default;
    explicit SafeArray(Data data, bool otherType = false)
        : data_(std::move(data)), otherType_(otherType) {}
    static SafeArray OfOtherType() { return SafeArray(std::monostate{}, true); }

    VarType type() const;
    // Element count; raises E_INVALIDARG unless the array has element type `expected`.
    size_t Count(VarType expected) const;
    // Raises E_INVALIDARG unless the array has element type `expected`.
    void CheckType(VarType expected) const { (void)Count(expected); }

    const std::wstring& Bstr(size_t i) const;
    int32_t Long(size_t i) const;
    bool Bool(size_t i) const;
    int64_t LongLong(size_t i) const;

  private:
    Data data_;
    bool otherType_ = false;
};

// The arrays of one reply, numbered from 0 here (array 1 of the service's
// documentation is [0]).
using NetworkInfoArrays = std::array<SafeArray, 9>;       // GetNetworkInfoList
using NetworkInterfaceArrays = std::array<SafeArray, 6>;  // GetNetworkInterfaceList
using TrafficListArrays = std::array<SafeArray, 10>;      // GetProcessList, GetDomainList

class IConfigurationManager {
  public:
    virtual ~IConfigurationManager() = default;
    virtual HRESULT PrepareLimitChange(int32_t value) = 0;
};

class IRulesManager {
  public:
    virtual ~IRulesManager() = default;
    virtual HRESULT GetProcessList(int16_t selector, TrafficListArrays* arrays) = 0;
    virtual HRESULT GetDomainList(int16_t selector, TrafficListArrays* arrays) = 0;
};

class INetworkManager {
  public:
    virtual ~INetworkManager() = default;
    virtual HRESULT GetNetworkInterfaceList(NetworkInterfaceArrays* arrays) = 0;
    // Upload and download limits in bps for the gateway with this MAC text.
    virtual HRESULT SetGatewayLimits(const std::wstring& gatewayMAC, int64_t uploadBps,
                                     int64_t downloadBps) = 0;
    virtual HRESULT GetNetworkInfoList(NetworkInfoArrays* arrays) = 0;
};

// The Get... operations leave *out empty when the object does not offer the
// interface (E_NOINTERFACE is not raised).
class IFactoryManager {
  public:
    virtual ~IFactoryManager() = default;
    virtual HRESULT GetConfigurationManager(ComPtr<IConfigurationManager>* out) = 0;
    virtual HRESULT GetNetworkManager(ComPtr<INetworkManager>* out) = 0;
    virtual HRESULT GetRulesManager(ComPtr<IRulesManager>* out) = 0;
};

class IBandwidthControlManager {
  public:
    virtual ~IBandwidthControlManager() = default;
    virtual HRESULT Initialize(int32_t a, int32_t b, int32_t c, const std::wstring& d,
                               const std::wstring& e) = 0;
    virtual HRESULT GetFactoryManager(ComPtr<IFactoryManager>* out) = 0;
};
