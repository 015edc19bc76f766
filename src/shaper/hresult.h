// Status codes of the shaper service and the exception that carries a failed
// one out of an interface call.
#pragma once

#include <cstdint>
#include <exception>

using HRESULT = int32_t;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFF);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
// The service is unavailable: a bus error, a lost bus or no reply in time.
inline constexpr HRESULT RPC_S_SERVER_UNAVAILABLE_HR = static_cast<HRESULT>(0x800706BA);

inline bool FAILED(HRESULT hr) {
    return hr < 0;
}
inline bool SUCCEEDED(HRESULT hr) {
    return hr >= 0;
}

// Raised by the interface wrappers for every negative result.
class ComError : public std::exception {
  public:
    explicit ComError(HRESULT hr) : hr_(hr) {}
    HRESULT Error() const { return hr_; }
    const char* what() const noexcept override { return "shaper service call failed"; }

  private:
    HRESULT hr_;
};

// Raises hr when it is a failure; passes a success code through.
inline HRESULT ThrowIfFailed(HRESULT hr) {
    if (FAILED(hr)) throw ComError(hr);
    return hr;
}
