// The scenario's speed-test directory, served by the real sandrow-directory:
// one process per directory host, each on a port the lab binds and hands over
// the way the service manager does. A host answers from the moment its
// process starts, so sandrow's first request never races the start, and a
// stopped directory refuses connections, as an unreachable one does.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lab/processes.h"
#include "lab/scenario.h"
#include "platform/fd.h"

namespace lab {

// The directory's configuration for a scenario: [location] from its
// [directory] section, one [target NAME] per [server NAME] in file order, its
// address as the host.
std::string DirectoryIni(const Scenario& s);

class DirectoryHosts {
  public:
    DirectoryHosts() = default;
    ~DirectoryHosts() { Stop(); }
    DirectoryHosts(const DirectoryHosts&) = delete;
    DirectoryHosts& operator=(const DirectoryHosts&) = delete;

    // Writes directory.ini into `runDirectory` and checks that
    // sandrow-directory takes it; false with *error when it would not. The
    // hosts listen on `port` (0: a port of the kernel's choice, for tests).
    bool Configure(const Scenario& s, const std::string& program, const std::string& runDirectory,
                   std::string* error, uint16_t port = 80);
    // Starts a sandrow-directory on each host that is not served yet; false
    // with *error when one cannot bind or start. In the network namespace
    // of the caller's thread.
    bool Start(std::string* error);
    // Ends every one (SIGTERM); their hosts refuse connections from then on.
    void Stop();
    bool up() const;
    // The port host `i` (0 primary, 1 secondary) listens on; 0 when down.
    uint16_t PortOf(size_t i) const;
    // Journal lines about processes that ended by themselves or badly since
    // the last call; any of them is a fault of the directory.
    std::vector<std::string> TakeNotes();

  private:
    struct Host {
        std::string address;
        uint16_t port = 0;  // as bound
        ChildProcess process;
    };
    void Reap(Host& host, int code, bool stopped);

    std::string program_;
    std::string runDirectory_;
    std::string configPath_;
    uint16_t port_ = 80;
    std::vector<std::unique_ptr<Host>> hosts_;  // primary, secondary
    std::vector<std::string> notes_;
};

}  // namespace lab
