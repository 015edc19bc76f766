// sandrow-directory's configuration: what it reads, and every error naming
// the file, the line and the key.
#include <gtest/gtest.h>

#include "directory/config.h"
#include "directory/documents.h"

namespace {

using directory::DirectoryConfig;
using directory::ParseDirectoryConfig;

TEST(DirectoryConfig, ReadsTheLocationAndEveryTargetInFileOrder) {
    const std::string good =
        "; a comment\n[location]\nlat = 52.52\nlon = -13.405\nisp = Bits & Bytes\n\n"
        "[target near one]\nhost = speedtest.example.net\nlat = 52.4\nlon = 13.1\n"
        "sponsor = Example Networks\ncountry = Germany\ncc = DE\n"
        "[target]\nhost = 192.0.2.7\nlat = -33.9\nlon = 151.2\n";
    DirectoryConfig config;
    std::string error;
    ASSERT_TRUE(ParseDirectoryConfig(good, "d.ini", &config, &error)) << error;
    EXPECT_DOUBLE_EQ(config.location.lat, 52.52);
    EXPECT_DOUBLE_EQ(config.location.lon, -13.405);
    EXPECT_EQ(config.location.isp, "Bits & Bytes");
    std::string targets;
    for (const directory::Target& t : config.targets) {
        targets += t.name + "|" + t.host + "|" + directory::Coordinate(t.lat) + "|" +
                   directory::Coordinate(t.lon) + "|" + t.sponsor + "|" + t.country + "|" + t.cc +
                   "|" + std::to_string(t.line) + "\n";
    }
    // A target may go without a name.
    EXPECT_EQ(targets,
              "near one|speedtest.example.net|52.4|13.1|Example Networks|Germany|DE|7\n"
              "|192.0.2.7|-33.9|151.2||||14\n");
}

TEST(DirectoryConfig, EveryErrorNamesTheFileTheLineAndTheKey) {
    // The reader's syntax, duplicate and empty-value messages are the
    // service's own; these are the directory's sections, keys and values.
    const std::string location = "[location]\nlat = 1\nlon = 2\n";  // lines 1-3
    const std::string target = "[target a]\nhost = h.example\nlat = 1\nlon = 2\n";
    struct Case {
        std::string text;
        std::string expected;  // a part of the message, from the file name on
    };
    const Case cases[] = {
        {target, "d.ini: no [location] section"},
        {location, "d.ini: no [target NAME] section"},
        {"[location]\nlon = 2\n" + target, "d.ini:1: missing key 'lat' in [location]"},
        {location + "[target a]\nhost = h.example\nlat = 1\n",
         "d.ini:4: missing key 'lon' in [target a]"},
        {location + "[target a]\nlat = 1\nlon = 2\n", "d.ini:4: missing key 'host' in [target a]"},
        {location + "[target a]\nhost = h.example:8080\nlat = 1\nlon = 2\n",
         "d.ini:5: 'h.example:8080' carries a port"},
        {location + "[target a]\nhost = h.example\nlat = 91\nlon = 2\n",
         "d.ini:6: lat = 91 is out of range (-90 to 90) in [target a]"},
        {location + "[target a]\nhost = h.example\nlat = 1\nlon = east\n",
         "d.ini:7: 'east' is not a number (key 'lon' in [target a])"},
        {location + location + target, "d.ini:4: a second [location] (the first is at line 1)"},
        {location + "[server a]\n", "d.ini:4: unknown section [server a]"},
    };
    for (const Case& c : cases) {
        DirectoryConfig config;
        std::string error;
        EXPECT_FALSE(ParseDirectoryConfig(c.text, "d.ini", &config, &error)) << c.text;
        EXPECT_NE(error.find(c.expected), std::string::npos)
            << "wanted: " << c.expected << "\ngot:    " << error;
    }
}

TEST(DirectoryConfig, TakesHostsThatSandrowLooksUpAsWrittenOnPort80) {
    const std::vector<const char*> hosts[] = {
        {"h.example:80", "192.0.2.1:8080", "[::1]", "::1", "http://h.example", "h.example/x",
         "-h.example", "h..example", "1.2.3", "256.1.1.1", "h example", ""},
        {"speedtest.example.net", "localhost", "a-b.c1.example.", "192.0.2.1", "10.0.0.255"}};
    for (bool fine : {false, true}) {
        for (const char* host : hosts[fine]) {
            std::string problem;
            EXPECT_EQ(directory::CheckTargetHost(host, &problem), fine) << host;
            EXPECT_EQ(problem.empty(), fine) << host << ": " << problem;
        }
    }
}

}  // namespace
