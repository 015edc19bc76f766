// Reading the kernel backend's INI file (through ini_config).
#include "service/kernel/kernel_config.h"

#include <cstdio>
#include <limits>

#include "service/ini_config.h"

namespace corvane {
namespace {

constexpr size_t kMaxInterfaceName = 15;  // IFNAMSIZ without its NUL
constexpr const char* kIfbPrefix = "cvn-";
constexpr int64_t kInt32Min = std::numeric_limits<int32_t>::min();
constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();
constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
// The range cake takes, which covers every common line's framing.
constexpr int64_t kMinOverhead = -64;
constexpr int64_t kMaxOverhead = 256;
constexpr int64_t kMaxMpu = 256;

// What the kernel takes as a device name.
bool ValidInterfaceName(const std::string& name) {
    if (name.empty() || name.size() > kMaxInterfaceName || name == "." || name == "..") {
        return false;
    }
    for (char c : name) {
        if (c == '/' || c == ':' || c == ' ' || c == '\t' || static_cast<unsigned char>(c) < 0x21) {
            return false;
        }
    }
    return true;
}

void ReadGateway(IniSectionReader& r, KernelConfig* config) {
    KernelGateway g;
    g.name = r.section().label;
    g.line = r.section().line;
    g.interface = *r.Text("interface", true);
    // The installed file's placeholder: a WAN that is missing at start is
    // waited for, but this one is a file still to be edited.
    if (g.interface == kInterfacePlaceholder) {
        r.Fail(r.LineOf("interface"), "interface = " + g.interface + " in " + r.Where() +
                                          ": name your WAN interface (ip -br link)");
    }
    if (!ValidInterfaceName(g.interface)) {
        r.Fail(r.LineOf("interface"), "'" + g.interface +
                                          "' is not an interface name (key 'interface' in " +
                                          r.Where() + ")");
    }
    g.mac = *r.Text("mac", true);
    g.id = static_cast<int32_t>(*r.Integer("id", true, kInt32Min, kInt32Max));
    g.downloadBps = *r.Integer("download_bps", true, -1, kInt64Max);
    g.uploadBps = *r.Integer("upload_bps", true, -1, kInt64Max);
    std::string leaf = r.Text("leaf", false).value_or("auto");
    if (leaf != "auto") {
        g.leaf = tc::LeafFromKind(leaf);
        if (!g.leaf) {
            r.Fail(r.LineOf("leaf"), "'" + leaf +
                                         "' is not auto, cake, fq_codel, sfq or bfifo (key 'leaf' "
                                         "in " +
                                         r.Where() + ")");
        }
    }
    g.replace = r.Bool("replace").value_or(false);
    if (auto overhead = r.Integer("overhead", false, kMinOverhead, kMaxOverhead)) {
        g.framing.overhead = static_cast<int32_t>(*overhead);
    }
    g.framing.mpu = static_cast<uint32_t>(r.Integer("mpu", false, 0, kMaxMpu).value_or(0));
    const std::string layer = r.Text("linklayer", false).value_or("ethernet");
    if (auto known = tc::LinkLayerFromName(layer)) {
        g.framing.linkLayer = *known;
    } else {
        r.Fail(
            r.LineOf("linklayer"),
            "'" + layer + "' is not ethernet, atm or ptm (key 'linklayer' in " + r.Where() + ")");
    }
    g.address = r.Text("address", false).value_or("");
    g.description = r.Text("description", false).value_or("");
    r.Finish();
    for (const KernelGateway& other : config->gateways) {
        if (other.mac == g.mac) {
            r.Fail(r.LineOf("mac"), "gateway MAC '" + g.mac + "' is already used by [gateway " +
                                        other.name + "] (key 'mac' in " + r.Where() + ")");
        }
        if (other.interface == g.interface ||
            IfbNameFor(other.interface) == IfbNameFor(g.interface)) {
            r.Fail(r.LineOf("interface"), "interface '" + g.interface +
                                              "' is already shaped by [gateway " + other.name +
                                              "] (key 'interface' in " + r.Where() + ")");
        }
    }
    config->gateways.push_back(std::move(g));
}

}  // namespace

bool ParseKernelConfig(const std::string& text, const std::string& fileName, KernelConfig* config,
                       std::string* error) {
    *config = KernelConfig{};
    config->path = fileName;
    std::vector<IniSection> sections;
    if (!ReadIniSections(text, fileName, kServiceDialect, &sections, error)) return false;
    try {
        for (IniSection& section : sections) {
            if (section.kind == "metrics") {
                ReadMetricsSection(section, kServiceDialect, &config->metrics);
                continue;
            }
            if (section.kind != "gateway") {
                throw IniError{section.line, "unknown section [" + section.name +
                                                 "] (expected [gateway NAME] or [metrics])"};
            }
            if (section.label.empty()) {
                throw IniError{section.line,
                               "section [" + section.name + "] needs a name, as in [gateway NAME]"};
            }
            IniSectionReader reader(section, kServiceDialect);
            ReadGateway(reader, config);
        }
        if (config->gateways.empty()) throw IniError{0, "no [gateway NAME] section"};
    } catch (const IniError& e) {
        *config = KernelConfig{};
        *error = IniErrorText(fileName, e);
        return false;
    }
    return true;
}

bool LoadKernelConfig(const std::string& path, KernelConfig* config, std::string* error) {
    std::string text;
    if (!LoadIniText(path, &text, error)) return false;
    return ParseKernelConfig(text, path, config, error);
}

std::string IfbNameFor(const std::string& interface) {
    std::string name = kIfbPrefix + interface;
    if (name.size() <= kMaxInterfaceName) return name;
    // FNV-1a over the whole name keeps two long names that share their start apart.
    uint32_t hash = 2166136261u;
    for (unsigned char c : interface) hash = (hash ^ c) * 16777619u;
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, "-%04x", hash & 0xFFFF);
    return kIfbPrefix + interface.substr(0, kMaxInterfaceName - 4 - 5) + suffix;
}

}  // namespace corvane
