// The two documents sandrow reads from a speed-test directory, made from the
// configuration: the client's position and the server list.
#pragma once

#include <string>
#include <string_view>

#include "directory/config.h"

namespace directory {

inline constexpr const char* kConfigDocumentPath = "/speedtest-config.php";
inline constexpr const char* kServerListPath = "/speedtest-servers-static.php";

struct Documents {
    std::string config;      // served at kConfigDocumentPath
    std::string serverList;  // served at kServerListPath
};

// Text safe inside a double-quoted attribute, and safe for sandrow's reader,
// which splits a tag at blanks, starts a new attribute at any word holding
// "=" and ends the tag at the first "/>": &, <, >, " and = become character
// references.
std::string XmlAttribute(std::string_view text);

// A coordinate in the shortest decimal form that reads back as the same
// number, never with an exponent.
std::string Coordinate(double degrees);

// The configuration document: <client> with lat, lon and isp, and the
// <times>, <download> and <upload> tags that sandrow requires to be there.
std::string ConfigDocument(const DirectoryConfig& config);
// The server list: one <server> per target in file order, its id the
// target's place in the file (from 1), so that no two share one.
std::string ServerListDocument(const DirectoryConfig& config);
Documents MakeDocuments(const DirectoryConfig& config);

// Writes both into `dir` as "speedtest-config.php" and
// "speedtest-servers-static.php" (each through a temporary file and a
// rename). False with *error when one cannot be written.
bool WriteDocuments(const std::string& dir, const Documents& documents, std::string* error);

}  // namespace directory
