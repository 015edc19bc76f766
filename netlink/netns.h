// Network namespaces: held by a descriptor, for the lab and the tests that
// build networks of several hosts on one machine, or entered by the whole
// process, for a lab of its own.
#pragma once

#include <optional>
#include <string>

namespace nl::netns {

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

// Moves the calling process into a new network namespace with `lo` up. As
// root: a plain network namespace. Otherwise: a user namespace (mapping the
// caller to root inside it) with a network namespace, where the system
// allows unprivileged ones. Must run before any thread is started. False
// with *error naming what failed.
bool EnterPrivateNetwork(std::string* error);

}  // namespace nl::netns
