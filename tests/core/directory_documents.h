// The speed-test directory's two documents as the monitor tests serve them:
// the configuration and a list of five servers on one host.
#pragma once

#include <string>

namespace monitortest {

inline const char* kConfig =
    "<settings>\n<client ip=\"192.0.2.7\" lat=\"50\" lon=\"8\" isp=\"Example\" />\n"
    "<times dl1=\"5000\" dl2=\"35000\" />\n<download testlength=\"10\" />\n"
    "<upload ratio=\"5\" />\n</settings>\n";

// Five speed-test servers, all at `host`.
inline std::string ServerList(const std::string& host) {
    std::string document = "<settings>\n<servers>\n";
    for (int id = 1; id <= 5; ++id) {
        document += "<server url=\"http://" + host + "/speedtest/upload.php\" lat=\"50." +
                    std::to_string(id) + "\" lon=\"8\" id=\"" + std::to_string(id) + "\" host=\"" +
                    host + "\" />\n";
    }
    return document + "</servers>\n</settings>\n";
}

}  // namespace monitortest
