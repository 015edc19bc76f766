// Fuzzes the service's configuration reading on any file text: the INI
// splitter in each of its two dialects, the `static` and `kernel` backends'
// readers, and the fault file of the service's tests' build. Whatever the
// text, a reader either succeeds or fails with one line "FILE:LINE: problem"
// whose line is one of the file's; the kernel's names are ones it can make.
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

// A reader that fails says where, and leaves its output empty.
template <typename Config>
bool Read(bool (*parse)(const std::string&, const std::string&, Config*, std::string*),
          const std::string& text, int lines, Config* config, bool (*empty)(const Config&)) {
    std::string error;
    if (parse(text, kFileName, config, &error)) return true;
    fuzz::CheckFileError(error, kFileName, lines);
    FUZZ_CHECK(empty(*config));
    return false;
}

void CheckKernel(const std::string& text, int lines) {
    corvane::KernelConfig config;
    if (!Read<corvane::KernelConfig>(
            corvane::ParseKernelConfig, text, lines, &config,
            [](const corvane::KernelConfig& c) { return c.gateways.empty(); })) {
        return;
    }
    std::set<std::string> wans, ifbs;
    for (const corvane::KernelGateway& g : config.gateways) {
        FUZZ_CHECK(!g.interface.empty() && g.interface.size() <= kMaxInterfaceName);
        for (unsigned char c : g.interface) FUZZ_CHECK(c >= 0x21 && c != '/' && c != ':');
        // No two gateways share a WAN or an IFB, and each IFB name fits the
        // kernel's. (A WAN named like another's IFB, cvn-eth0 beside eth0,
        // passes the reader: the backend then finds that device not its own.)
        std::string ifb = corvane::IfbNameFor(g.interface);
        FUZZ_CHECK(ifb.size() <= kMaxInterfaceName && ifb.compare(0, 4, "cvn-") == 0);
        FUZZ_CHECK(wans.insert(g.interface).second && ifbs.insert(ifb).second);
        FUZZ_CHECK(g.line >= 1 && g.line <= lines);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const int lines = fuzz::LineCount(text);
    SplitInDialect(text, lab::kScenarioDialect, lines);
    SplitInDialect(text, corvane::kServiceDialect, lines);
    corvane::StaticConfig config;
    Read<corvane::StaticConfig>(
        corvane::ParseStaticConfig, text, lines, &config,
        [](const corvane::StaticConfig& c) { return c.gateways.empty() && c.interfaces.empty(); });
    lab::FaultRules rules;
    Read<lab::FaultRules>(lab::ParseFaults, text, lines, &rules,
                          [](const lab::FaultRules& r) { return r.empty(); });
    CheckKernel(text, lines);
    return 0;
}
