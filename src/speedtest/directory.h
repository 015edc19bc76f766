// The speed-test directory: the configuration (the client's own position),
// the server lists of the two directory hosts, and the servers ranked by
// great-circle distance from the client.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "speedtest/tag_parser.h"

// The attributes of one server tag ("lat", "lon", "id", "url", "host", ...).
using ServerRecord = AttributeMap;
using ServerList = std::vector<ServerRecord>;

// Filled by GetConfig, never cleared; only gClientAttrs ("lat", "lon") is read.
extern AttributeMap gClientAttrs;
extern AttributeMap gTimesAttrs;
extern AttributeMap gDownloadAttrs;
extern AttributeMap gUploadAttrs;
// The lists of the last fetch from each host, in document order, each cut
// at kMaxListedServers: a directory names a few hundred, and a list without
// end must not take the memory its records would (the servers past the cut
// are still ranked).
constexpr size_t kMaxListedServers = 10000;
extern ServerList gPrimaryServerList;
extern ServerList gSecondaryServerList;
// Statute miles from the client to copies of the servers at that distance, in
// the order ranked; one per id and distance. Ranks over every fetch of the
// run and is never emptied, but keeps only the five nearest records: the
// ranking only grows, so one behind them can never be chosen.
extern std::map<double, ServerList> gServersByDistance;

// The directory hosts, from SANDROW_DIRECTORY_HOST and
// SANDROW_DIRECTORY_HOST2; empty when unset (the lookup then fails).
std::string PrimaryDirectoryHost();
std::string SecondaryDirectoryHost();

// The two requests, byte for byte, for a directory host.
std::string BuildConfigRequest(const std::string& host);
std::string BuildServerListRequest(const std::string& host);

// Fetches the configuration from the primary host into the four maps.
// `report` 0 silences every message. 0: done (also when the reply had no
// body); -1: lookup, socket or connect failure, or a tag missing; 1:
// non-blocking mode, send or send time-out failure.
int GetConfig(uint8_t report);

// Fetches one server list into `list` (emptied first) and ranks every server
// with a position in gServersByDistance. -1 and 1 as GetConfig; 0 otherwise,
// also when nothing came.
int GetClosestServersFrom(const std::string& host, const std::string& request, ServerList& list);

// Both server lists, then the five nearest ranked servers appended to
// `servers` (which is not emptied). 0 when records were appended, else -1.
int GetClosestServers(ServerList& servers);

// Great-circle distance in statute miles between two positions in degrees
// (spherical law of cosines). Never NaN: two equal points give 0, and
// positions that are not numbers count as the farthest apart.
double DistanceMiles(double lat1, double lon1, double lat2, double lon2);

// Tests: the maps and lists back to empty.
void ResetDirectoryForTest();
