// sandrow-directory's configuration: the router's position and the latency
// targets that the served server list names.
#pragma once

#include <string>
#include <vector>

namespace directory {

// [location]: where the router stands; sandrow ranks the targets by their
// distance from here.
struct Location {
    double lat = 0;  // degrees, north positive
    double lon = 0;  // degrees, east positive
    std::string isp;
};

// [target NAME]: one server that sandrow may time. It is reached on port 80
// under `host`, which sandrow looks up exactly as written.
struct Target {
    std::string name;  // the section's label; may be empty
    std::string host;  // a DNS name or a dotted IPv4 address, no port
    double lat = 0;
    double lon = 0;
    std::string sponsor;
    std::string country;
    std::string cc;
    int line = 0;  // of its section header, for messages
};

struct DirectoryConfig {
    Location location;
    std::vector<Target> targets;  // in file order; never empty once loaded
};

inline constexpr const char* kDefaultConfigPath = "/etc/sandrow/directory.ini";

// Reads the text of a configuration file named `fileName` (for messages).
// False with *error = "FILE:LINE: problem", naming the key where one is at
// fault, or "FILE: problem" for the file as a whole.
bool ParseDirectoryConfig(const std::string& text, const std::string& fileName,
                          DirectoryConfig* config, std::string* error);
// The same for a file on disk.
bool LoadDirectoryConfig(const std::string& path, DirectoryConfig* config, std::string* error);

// True when `host` is a name or dotted IPv4 address that sandrow can look up
// and reach on port 80; otherwise false with *problem saying why.
bool CheckTargetHost(const std::string& host, std::string* problem);

}  // namespace directory
