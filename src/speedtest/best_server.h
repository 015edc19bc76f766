// The choice of the probe server: each of the nearest servers is timed once,
// and the third-slowest answer wins (on five servers the median), never the
// fastest while another one answered.
#pragma once

#include <string>

#include "speedtest/directory.h"

// Splits a server list's url ("http://host[:port]/path...", quotes and all)
// into the host and the path for get: the path up to any "upload.php". 0, or
// -1 with a console line when there is no "://" or no "/" after the host.
int GetHostFromUrl(const std::string& url, std::string& host, std::string& pathForGet);

// Times every server of the list, writes "pathForGet" into each whose url
// splits and "host" into each that answered, and returns the index of the
// chosen server, or -1 when none answered.
int GetBestServer(ServerList& servers);
