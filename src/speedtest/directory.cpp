// Speed-test configuration and server-list retrieval, and the ranking of the
// servers by distance from the client.
#include "speedtest/directory.h"

#include <cmath>
#include <cstdlib>

#include "log/console_print.h"
#include "speedtest/http_exchange.h"

AttributeMap gClientAttrs;
AttributeMap gTimesAttrs;
AttributeMap gDownloadAttrs;
AttributeMap gUploadAttrs;
ServerList gPrimaryServerList;
ServerList gSecondaryServerList;
std::map<double, ServerList> gServersByDistance;

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kNauticalMilesPerDegree = 60.0;
constexpr double kStatuteMilesPerNauticalMile = 1.1515;
constexpr size_t kNearestServers = 5;

const ExchangeMessages kConfigMessages = {
    L"GetConfig: my_gethostbyname(%hs) failure, error = %d\n",
    L"GetConfig: socket failure, error = %d\n",
    nullptr,
    nullptr,
    L"GetConfig: ioctlsocket(...FIONBIO) failed with error: %ld\n",
    L"GetConfig: connect function failed with error: %ld\n",
    L"GetConfig: send failed with error: %d\n",
    L"GetConfig: recv failed with error: %d\n",
    L"GetConfig: closesocket failed with error = %d\n",
    nullptr,
    L"GetConfig: reply from %hs passed %I64u bytes, reading stopped\n",
};
const ExchangeProfile kConfigProfile = {&kConfigMessages, false, false};
const ExchangeProfile kSilentConfigProfile = {nullptr, false, false};

const ExchangeMessages kServerListMessages = {
    L"GetClosestServersFrom: my_gethostbyname(%hs) failure, error = %d\n",
    L"GetClosestServersFrom: socket failure, error = %d\n",
    nullptr,
    nullptr,
    L"GetClosestServersFrom: ioctlsocket(...FIONBIO) failed with error: %ld\n",
    L"GetClosestServersFrom: connect function failed with error: %ld\n",
    L"GetClosestServersFrom: send failed with error: %d\n",
    L"GetClosestServersFrom: recv failed with error: %d\n",
    L"GetClosestServersFrom: closesocket failed with error = %d\n",
    nullptr,
    L"GetClosestServersFrom: reply from %hs passed %I64u bytes, reading stopped\n",
};
const ExchangeProfile kServerListProfile = {&kServerListMessages, false, false};

std::string EnvironmentHost(const char* variable) {
    const char* value = std::getenv(variable);
    return value != nullptr ? std::string(value) : std::string();
}

ChunkSink AppendTo(std::string& response) {
    return [&response](const char* data, size_t count) {
        response.append(data, count);
        return true;
    };
}

// A coordinate as atof reads it, after its quotes are removed: leading blanks
// skipped, stopping at the first character that does not fit, 0 for none.
double Coordinate(const std::string& quoted) {
    std::string text = quoted;
    StripQuotes(text);
    return std::strtod(text.c_str(), nullptr);
}

bool HasPosition(const AttributeMap& attributes) {
    return attributes.count("lat") != 0 && attributes.count("lon") != 0;
}

// "id" without inserting it: a record lacking one has the empty id.
const std::string& IdOf(const ServerRecord& record) {
    static const std::string kNone;
    auto found = record.find("id");
    return found != record.end() ? found->second : kNone;
}

// Only the first kNearestServers records in ranking order are ever chosen,
// and the ranking only grows: a record behind them stays behind them for the
// rest of the run. Keeping just those bounds both the memory and the work of
// each ranking, however many servers a list names at one distance.
void Rank(const ServerRecord& record, double clientLat, double clientLon) {
    const double distance = DistanceMiles(clientLat, clientLon, Coordinate(record.at("lat")),
                                          Coordinate(record.at("lon")));
    size_t ahead = 0;
    for (auto it = gServersByDistance.begin();
         it != gServersByDistance.end() && it->first <= distance; ++it) {
        if (it->first == distance) {
            const std::string& id = IdOf(record);
            for (const ServerRecord& ranked : it->second) {
                if (IdOf(ranked) == id) return;  // the same server, from another fetch or host
            }
        }
        ahead += it->second.size();
    }
    if (ahead >= kNearestServers) return;
    gServersByDistance[distance].push_back(record);

    size_t kept = 0;
    for (auto it = gServersByDistance.begin(); it != gServersByDistance.end();) {
        if (kept == kNearestServers) {
            it = gServersByDistance.erase(it);
            continue;
        }
        ServerList& ranked = it->second;
        if (ranked.size() > kNearestServers - kept) ranked.resize(kNearestServers - kept);
        kept += ranked.size();
        ++it;
    }
}

// A GET of one of the directory's documents with the browser's headers that
// directories expect; the server list alone asks for no compression, as its
// answer is long.
std::string DocumentRequest(const char* path, const std::string& host, bool identity) {
    std::string request =
        std::string("GET ") + path +
        " HTTP/1.1\r\n"
        "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n"
        "Accept-Language: en-US,en;q=0.5\r\n";
    if (identity) request += "Accept-Encoding: identity\r\n";
    return request + "Host: " + host +
           "\r\n"
           "Connection: close\r\n"
           "User-Agent: Mozilla/5.0 (Windows NT 6.3; WOW64)\r\n"
           "\r\n";
}

}  // namespace

std::string PrimaryDirectoryHost() {
    return EnvironmentHost("SANDROW_DIRECTORY_HOST");
}

std::string SecondaryDirectoryHost() {
    return EnvironmentHost("SANDROW_DIRECTORY_HOST2");
}

std::string BuildConfigRequest(const std::string& host) {
    return DocumentRequest("/speedtest-config.php", host, false);
}

std::string BuildServerListRequest(const std::string& host) {
    return DocumentRequest("/speedtest-servers-static.php", host, true);
}

int GetConfig(uint8_t report) {
    const ExchangeProfile& profile = report != 0 ? kConfigProfile : kSilentConfigProfile;
    const std::string host = PrimaryDirectoryHost();
    std::string response;
    ExchangeResult exchange =
        HttpExchange(profile, host, BuildConfigRequest(host).c_str(), AppendTo(response));
    if (exchange.status != 0) return exchange.status;

    std::string body;
    if (GetHttpBody(response, body) == -1) {
        CloseExchangeSocket(profile, exchange.socket);
        return 0;
    }

    struct Section {
        const char* tag;
        AttributeMap* attributes;
        const wchar_t* failure;
    };
    const Section sections[] = {
        {"client", &gClientAttrs, L"GetConfig: FAILED to constructed attr map for <client> tag\n"},
        {"times", &gTimesAttrs, L"GetConfig: FAILED to constructed attr map for <times> tag\n"},
        {"download", &gDownloadAttrs,
         L"GetConfig: FAILED to constructed attr map for <download> tag\n"},
        {"upload", &gUploadAttrs, L"GetConfig: FAILED to constructed attr map for <upload> tag\n"},
    };
    for (const Section& section : sections) {
        size_t tagStart = 0;
        size_t tagEnd = 0;
        if (ExtractTagAttributes(body, 0, section.tag, *section.attributes, tagStart, tagEnd) !=
            0) {
            if (report != 0) ConsolePrintf(section.failure);
            return -1;  // the socket closes unreported on the way out
        }
    }
    CloseExchangeSocket(profile, exchange.socket);
    return 0;
}

int GetClosestServersFrom(const std::string& host, const std::string& request, ServerList& list) {
    list.clear();
    std::string response;
    ExchangeResult exchange =
        HttpExchange(kServerListProfile, host, request.c_str(), AppendTo(response));
    if (exchange.status != 0) return exchange.status;

    // Without any client attributes nothing is ranked; without lat or lon
    // the client stands at latitude 0, longitude 0.
    const bool rank = !gClientAttrs.empty();
    double clientLat = 0.0;
    double clientLon = 0.0;
    if (rank && HasPosition(gClientAttrs)) {
        clientLat = Coordinate(gClientAttrs.at("lat"));
        clientLon = Coordinate(gClientAttrs.at("lon"));
    }

    std::string body;
    if (GetHttpBody(response, body) == -1) {
        CloseExchangeSocket(kServerListProfile, exchange.socket);
        return 0;
    }
    response = std::string();  // the body holds it all now; halve the peak

    ServerRecord record;
    size_t position = 0;
    TagWalk walk;  // openings that share a distant end are read once
    for (;;) {
        size_t tagStart = 0;
        size_t tagEnd = 0;
        if (walk.Extract(body, position, "server", record, tagStart, tagEnd) != 0) break;
        if (rank && HasPosition(record)) Rank(record, clientLat, clientLon);
        // Positionless and duplicate servers too, up to the bound.
        if (list.size() < kMaxListedServers) list.push_back(std::move(record));
        record.clear();
        position = tagStart + 1;
    }
    CloseExchangeSocket(kServerListProfile, exchange.socket);
    return 0;
}

int GetClosestServers(ServerList& servers) {
    const std::string primary = PrimaryDirectoryHost();
    if (GetClosestServersFrom(primary, BuildServerListRequest(primary), gPrimaryServerList) < 0) {
        return -1;
    }
    const std::string secondary = SecondaryDirectoryHost();
    if (GetClosestServersFrom(secondary, BuildServerListRequest(secondary), gSecondaryServerList) <
        0) {
        return -1;
    }
    if (gServersByDistance.empty()) return -1;

    size_t appended = 0;
    for (const auto& [distance, ranked] : gServersByDistance) {
        for (const ServerRecord& record : ranked) {
            servers.push_back(record);
            if (++appended == kNearestServers) return 0;
        }
    }
    return 0;
}

double DistanceMiles(double lat1, double lon1, double lat2, double lon2) {
    double longitudeDifference = (lon1 - lon2) * kPi / 180.0;
    double latitude1 = lat1 * kPi / 180.0;
    double latitude2 = lat2 * kPi / 180.0;
    double c = std::cos(longitudeDifference) * (std::cos(latitude2) * std::cos(latitude1)) +
               std::sin(latitude2) * std::sin(latitude1);
    // Rounding can put c just past ±1, where acos has no value. A position
    // that is not a number ("nan" or "inf" in a list) makes c NaN: such a
    // server counts as the farthest (c = -1) rather than putting a NaN key
    // into the distance order.
    if (std::isnan(c) || c < -1.0) {
        c = -1.0;
    } else if (c > 1.0) {
        c = 1.0;
    }
    return std::acos(c) * 180.0 / kPi * kNauticalMilesPerDegree * kStatuteMilesPerNauticalMile;
}

void ResetDirectoryForTest() {
    gClientAttrs.clear();
    gTimesAttrs.clear();
    gDownloadAttrs.clear();
    gUploadAttrs.clear();
    gPrimaryServerList.clear();
    gSecondaryServerList.clear();
    gServersByDistance.clear();
}
