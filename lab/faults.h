// Faults that bend chosen answers of corvane-service, for tests of its
// clients: read from a file of [fault METHOD] sections and handed to the bus
// server by the tests' and the lab's build of the service
// (corvane-faulty-service). The shipped service links none of this.
//
//   [fault GetProcessList]
//   hresult = 0x80004005   answer this HRESULT (a failure does nothing)
//   wrong_type = 3         send out array 3 with another element type
//   null_path = true       answer the interface path "/" (a null pointer)
//   stall_ms = 6000        answer this much later
//   calls = 1              only for the first so many calls (default: all)
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "service/bus_server.h"

namespace lab {

struct FaultRule {
    corvane::Fault fault;
    std::optional<int64_t> calls;  // applies to this many calls, then never again; unset: always
};
using FaultRules = std::map<corvane::Method, FaultRule>;

// Parses the text; `fileName` only names the file in the error. On failure
// returns false with *error = "FILE:LINE: problem" (one line) and no rules.
bool ParseFaults(const std::string& text, const std::string& fileName, FaultRules* rules,
                 std::string* error);
// Reads and parses the file; an unreadable file is "FILE: problem".
bool LoadFaults(const std::string& path, FaultRules* rules, std::string* error);

// Hands out each rule's fault for as many calls as it names.
class FaultPlan : public corvane::FaultSource {
  public:
    explicit FaultPlan(FaultRules rules) : rules_(std::move(rules)) {}
    corvane::Fault NextFault(corvane::Method method) override;

  private:
    FaultRules rules_;
};

}  // namespace lab
