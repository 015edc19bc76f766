// A file that lives in memory but has a path, for readers that only take a
// path: every input is written to it afresh without touching a disk, and
// open() on the path gives a new description that reads from the start.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "fuzz_check.h"

namespace fuzz {

class MemoryFile {
  public:
    explicit MemoryFile(const char* name) : fd_(memfd_create(name, MFD_CLOEXEC)) {
        FUZZ_CHECK(fd_ >= 0);
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemoryFile() { close(fd_); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    // The file holds exactly `bytes` afterwards.
    void Write(std::string_view bytes) {
        FUZZ_CHECK(ftruncate(fd_, 0) == 0);
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n =
                pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
            FUZZ_CHECK(n > 0);
            done += static_cast<size_t>(n);
        }
    }

    const std::string& path() const { return path_; }

  private:
    int fd_;
    std::string path_;
};

}  // namespace fuzz
