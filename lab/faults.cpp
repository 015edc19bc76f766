// The fault file, in the wording of the static backend's file, and the plan
// that hands its faults out.
#include "lab/faults.h"

#include <algorithm>
#include <limits>

#include "service/ini_config.h"

namespace lab {
namespace {

using corvane::ArrayCount;
using corvane::HResult;
using corvane::IniError;
using corvane::Method;

constexpr int64_t kMaxStallMs = 600000;
constexpr int64_t kInt32Min = std::numeric_limits<int32_t>::min();
constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();

void ReadFault(corvane::IniSection& section, FaultRules* rules) {
    const int line = section.line;
    const std::string& label = section.label;
    if (section.kind != "fault") {
        throw IniError{line, "unknown section [" + section.name + "] (expected fault)"};
    }
    if (label.empty()) throw IniError{line, "section [fault] needs a method, as in [fault METHOD]"};
    std::optional<Method> method = corvane::MethodByName(label);
    if (!method) throw IniError{line, "unknown method '" + label + "' in [fault " + label + "]"};
    if (rules->count(*method) != 0) throw IniError{line, "a second [fault " + label + "]"};
    corvane::IniSectionReader r(section, corvane::kServiceDialect);
    FaultRule rule;
    // An HRESULT is written as the signed number or as its 32 bits in hex.
    if (auto hr = r.Integer("hresult", false, kInt32Min, 0xFFFFFFFFLL)) {
        rule.fault.hresult = static_cast<HResult>(static_cast<uint32_t>(*hr));
    }
    if (auto k = r.Integer("wrong_type", false, 1, std::max(ArrayCount(*method), 1))) {
        if (ArrayCount(*method) == 0) {
            throw IniError{line, "wrong_type: " + label + " returns no arrays"};
        }
        rule.fault.wrongTypeArray = static_cast<int>(*k);
    }
    rule.fault.nullPath = r.Bool("null_path").value_or(false);
    if (rule.fault.nullPath && !corvane::ReturnsInterface(*method)) {
        throw IniError{line, "null_path: " + label + " returns no interface"};
    }
    rule.fault.stall =
        std::chrono::milliseconds(r.Integer("stall_ms", false, 0, kMaxStallMs).value_or(0));
    rule.calls = r.Integer("calls", false, 1, kInt64Max);
    r.Finish();
    if (!rule.fault.hresult && rule.fault.wrongTypeArray == 0 && !rule.fault.nullPath &&
        rule.fault.stall.count() == 0) {
        throw IniError{
            line, "[fault " + label + "] sets none of hresult, wrong_type, null_path, stall_ms"};
    }
    (*rules)[*method] = rule;
}

}  // namespace

bool ParseFaults(const std::string& text, const std::string& fileName, FaultRules* rules,
                 std::string* error) {
    rules->clear();
    std::vector<corvane::IniSection> sections;
    if (!corvane::ReadIniSections(text, fileName, corvane::kServiceDialect, &sections, error))
        return false;
    try {
        for (corvane::IniSection& section : sections) ReadFault(section, rules);
    } catch (const IniError& e) {
        rules->clear();
        *error = corvane::IniErrorText(fileName, e);
        return false;
    }
    return true;
}

bool LoadFaults(const std::string& path, FaultRules* rules, std::string* error) {
    std::string text;
    if (!corvane::LoadIniText(path, &text, error)) return false;
    return ParseFaults(text, path, rules, error);
}

corvane::Fault FaultPlan::NextFault(Method method) {
    auto it = rules_.find(method);
    if (it == rules_.end()) return {};
    FaultRule& rule = it->second;
    if (rule.calls) {
        if (*rule.calls == 0) return {};
        --*rule.calls;
    }
    return rule.fault;
}

}  // namespace lab
