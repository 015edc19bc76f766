// Network namespaces held by a descriptor, for the lab and the tests that
// build networks of several hosts on one machine.
#pragma once

#include <optional>
#include <string>

namespace corvane::netns {

class Namespace {
  public:
    // A new namespace with its loopback up, made on a short-lived thread so
    // that the caller stays where it is. nullopt with *error when the system
    // makes none (no privilege, no namespaces).
    static std::optional<Namespace> Create(std::string* error);
    // The calling thread's own.
    static std::optional<Namespace> Current(std::string* error);

    Namespace(Namespace&& other) noexcept;
    Namespace& operator=(Namespace&& other) noexcept;
    Namespace(const Namespace&) = delete;
    Namespace& operator=(const Namespace&) = delete;
    ~Namespace();

    int fd() const { return fd_; }
    // Moves the calling thread (and what it starts later) into it.
    bool Enter(std::string* error) const;

  private:
    explicit Namespace(int fd) : fd_(fd) {}
    int fd_ = -1;
};

// The calling thread is in `ns` while this lives, and back where it was after.
class Inside {
  public:
    explicit Inside(const Namespace& ns);
    ~Inside();
    Inside(const Inside&) = delete;
    Inside& operator=(const Inside&) = delete;
    bool ok() const { return ok_; }

  private:
    std::optional<Namespace> previous_;
    bool ok_ = false;
};

}  // namespace corvane::netns
