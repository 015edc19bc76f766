// The configuration document and the server list.
#include "directory/documents.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "platform/fd.h"

namespace directory {
namespace {

// What sandrow never reads but requires to be present; the values are those
// a public directory sends for a line of average speed.
constexpr const char* kTimesTag =
    "<times dl1=\"5000\" dl2=\"35000\" dl3=\"800000\" ul1=\"1000\" ul2=\"8000\" ul3=\"35000\"/>\n";
constexpr const char* kDownloadTag =
    "<download testlength=\"10\" initialtest=\"250K\" mintestsize=\"250K\" "
    "threadsperurl=\"4\"/>\n";
constexpr const char* kUploadTag =
    "<upload testlength=\"10\" ratio=\"5\" initialtest=\"0\" mintestsize=\"32K\" threads=\"2\" "
    "maxchunksize=\"512K\" maxchunkcount=\"50\" threadsperurl=\"4\"/>\n";

// Writes `text` to dir/name by way of a hidden temporary file, so that a web
// server reading the directory never serves half a document.
bool WriteOne(const std::string& dir, const char* name, const std::string& text,
              std::string* error) {
    const std::string path = dir + "/" + name;
    std::string temp = dir + "/." + name + ".XXXXXX";
    platform::UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (!fd) {
        *error = "cannot create a file in " + dir + ": " + std::strerror(errno);
        return false;
    }
    auto fail = [&](int e) {
        ::unlink(temp.c_str());
        *error = "cannot write " + path + ": " + std::strerror(e);
        return false;
    };
    // A web server commonly runs as another user.
    if (::fchmod(fd.get(), 0644) != 0) return fail(errno);
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return fail(n < 0 ? errno : EIO);
        done += static_cast<size_t>(n);
    }
    if (int e = fd.Reset(); e != 0) return fail(e);
    if (::rename(temp.c_str(), path.c_str()) != 0) return fail(errno);
    return true;
}

}  // namespace

std::string XmlAttribute(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '=':
                out += "&#61;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string Coordinate(double degrees) {
    char text[64];
    auto [end, ec] = std::to_chars(text, text + sizeof text, degrees, std::chars_format::fixed);
    if (ec != std::errc()) return "0";  // cannot happen for a latitude or longitude
    return std::string(text, end);
}

std::string ConfigDocument(const DirectoryConfig& config) {
    const Location& at = config.location;
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<settings>\n";
    out += "<client lat=\"" + Coordinate(at.lat) + "\" lon=\"" + Coordinate(at.lon) + "\" isp=\"" +
           XmlAttribute(at.isp) + "\"/>\n";
    out += kTimesTag;
    out += kDownloadTag;
    out += kUploadTag;
    out += "</settings>\n";
    return out;
}

std::string ServerListDocument(const DirectoryConfig& config) {
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<settings>\n<servers>\n";
    size_t id = 0;
    for (const Target& t : config.targets) {
        // The host is a plain name or address (the configuration checks it),
        // so it needs no escaping in the url.
        out += "<server url=\"http://" + t.host + "/speedtest/upload.php\" lat=\"" +
               Coordinate(t.lat) + "\" lon=\"" + Coordinate(t.lon) + "\" name=\"" +
               XmlAttribute(t.name) + "\" country=\"" + XmlAttribute(t.country) + "\" cc=\"" +
               XmlAttribute(t.cc) + "\" sponsor=\"" + XmlAttribute(t.sponsor) + "\" id=\"" +
               std::to_string(++id) + "\" host=\"" + t.host + "\"/>\n";
    }
    out += "</servers>\n</settings>\n";
    return out;
}

Documents MakeDocuments(const DirectoryConfig& config) {
    return Documents{ConfigDocument(config), ServerListDocument(config)};
}

bool WriteDocuments(const std::string& dir, const Documents& documents, std::string* error) {
    if (dir.empty()) {
        *error = "no directory to write the documents into";
        return false;
    }
    // The names without their leading "/".
    return WriteOne(dir, kConfigDocumentPath + 1, documents.config, error) &&
           WriteOne(dir, kServerListPath + 1, documents.serverList, error);
}

}  // namespace directory
