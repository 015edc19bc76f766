// Fuzzes the service's configuration reading on any file text: the INI
// splitter in each of its two dialects, the `static` and `kernel` backends'
// readers, and the fault file of the service's tests' build. Whatever the
// text, a reader either succeeds with values inside the ranges it promises,
// or fails with one line "FILE:LINE: problem" whose line is one of the file's.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "lab/faults.h"
#include "lab/sim_lines.h"
#include "service/ini_config.h"
#include "service/kernel/kernel_config.h"
#include "service/static_backend.h"

namespace {

constexpr const char* kFileName = "fuzz.ini";
constexpr size_t kMaxInterfaceName = 15;

// Sections come in file order, each key between its header and the next,
// and a dialect whose keys may not repeat holds no key twice in a section.
void SplitInDialect(const std::string& text, const corvane::IniDialect& dialect, int lines) {
    std::vector<corvane::IniSection> sections;
    std::string error;
    if (!corvane::ReadIniSections(text, kFileName, dialect, &sections, &error)) {
        FUZZ_CHECK(sections.empty());
        fuzz::CheckFileError(error, kFileName, lines);
        return;
    }
    int previous = 0;
    for (size_t i = 0; i < sections.size(); ++i) {
        const corvane::IniSection& section = sections[i];
        FUZZ_CHECK(section.line > previous && section.line <= lines);
        previous = section.line;
        int next = i + 1 < sections.size() ? sections[i + 1].line : lines + 1;
        FUZZ_CHECK(section.kind.find_first_of(" \t") == std::string::npos);
        FUZZ_CHECK(section.name.compare(0, section.kind.size(), section.kind) == 0);
        std::set<std::string> keys;
        for (const corvane::IniKey& key : section.keys) {
            FUZZ_CHECK(key.line >= section.line && key.line < next && !key.used);
            FUZZ_CHECK(keys.insert(key.key).second || dialect.keysMayRepeat);
        }
    }
}

void CheckStatic(const std::string& text, int lines) {
    corvane::StaticConfig config;
    std::string error;
    if (!corvane::ParseStaticConfig(text, kFileName, &config, &error)) {
        fuzz::CheckFileError(error, kFileName, lines);
        FUZZ_CHECK(config.gateways.empty() && config.interfaces.empty());
        return;
    }
    std::set<std::string> macs;
    for (const corvane::Gateway& g : config.gateways) {
        FUZZ_CHECK(macs.insert(g.mac).second);
        FUZZ_CHECK(g.uploadBps >= -1 && g.downloadBps >= -1 && g.linkSpeedBps >= -1);
    }
    for (const auto& rules : {config.processes, config.domains}) {
        for (const corvane::TrafficRule& rule : rules) {
            FUZZ_CHECK(rule.uploadRateBps >= 0 && rule.downloadRateBps >= 0);
            FUZZ_CHECK(rule.entry.uploadBits >= 0 && rule.entry.downloadBits >= 0);
        }
    }
}

void CheckFaults(const std::string& text, int lines) {
    lab::FaultRules rules;
    std::string error;
    if (!lab::ParseFaults(text, kFileName, &rules, &error)) {
        fuzz::CheckFileError(error, kFileName, lines);
        FUZZ_CHECK(rules.empty());
        return;
    }
    for (const auto& [method, rule] : rules) {
        FUZZ_CHECK(rule.fault.hresult || rule.fault.wrongTypeArray != 0 || rule.fault.nullPath ||
                   rule.fault.stall.count() != 0);
        FUZZ_CHECK(!rule.calls || *rule.calls >= 1);
        FUZZ_CHECK(rule.fault.wrongTypeArray <= corvane::ArrayCount(method));
    }
}

void CheckKernel(const std::string& text, int lines) {
    corvane::KernelConfig config;
    std::string error;
    if (!corvane::ParseKernelConfig(text, kFileName, &config, &error)) {
        fuzz::CheckFileError(error, kFileName, lines);
        FUZZ_CHECK(config.gateways.empty());
        return;
    }
    FUZZ_CHECK(!config.gateways.empty());
    std::set<std::string> macs, wans, ifbs;
    for (const corvane::KernelGateway& g : config.gateways) {
        FUZZ_CHECK(macs.insert(g.mac).second);
        FUZZ_CHECK(!g.interface.empty() && g.interface.size() <= kMaxInterfaceName);
        FUZZ_CHECK(g.interface.find_first_of("/: \t") == std::string::npos);
        for (unsigned char c : g.interface) FUZZ_CHECK(c >= 0x21);
        // No two gateways share a WAN or an IFB, and each IFB name fits the
        // kernel's. (A WAN named like another's IFB, cvn-eth0 beside eth0,
        // passes the reader: the backend then finds that device not its own.)
        std::string ifb = corvane::IfbNameFor(g.interface);
        FUZZ_CHECK(ifb.size() <= kMaxInterfaceName && ifb.compare(0, 4, "cvn-") == 0);
        FUZZ_CHECK(wans.insert(g.interface).second && ifbs.insert(ifb).second);
        FUZZ_CHECK(g.downloadBps >= -1 && g.uploadBps >= -1);
        FUZZ_CHECK(g.line >= 1 && g.line <= lines);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const int lines = fuzz::LineCount(text);
    SplitInDialect(text, lab::kScenarioDialect, lines);
    SplitInDialect(text, corvane::kServiceDialect, lines);
    CheckStatic(text, lines);
    CheckKernel(text, lines);
    CheckFaults(text, lines);
    return 0;
}
