// The five interfaces of the Corvane network service as D-Bus objects of the
// service, and the binding that finds the service on the bus.
#pragma once

#include <string>

#include "shaper/binding.h"

// The process-wide D-Bus binding. Running(): the service's well-known name has
// an owner. CreateInstance(): the service's root object, or 0x800706BA with
// the pointer empty when the bus cannot be reached or nobody owns the name.
//
// Every interface object it hands out is an object path of the service; calls
// go to the service's well-known name, so an object stays usable across
// restarts of the service. Every operation raises ComError: the service's
// negative HRESULT, or 0x800706BA when the service does not answer within
// 5 s, answers with a D-Bus error or cannot be reached.
ServiceBinding& BusServiceBinding();

// Text as the service's strings travel: UTF-8 on the bus, wide in the
// program. Invalid sequences and code points become U+FFFD.
std::wstring BusUtf8ToWide(const std::string& text);
std::string BusWideToUtf8(const std::wstring& text);
