// The lab's private network: a network namespace of its own with only the
// loopback link, up. Every child started afterwards inherits it.
#pragma once

#include <string>

namespace lab {

// Moves the calling process into a new network namespace and brings `lo` up.
// As root: a plain network namespace. Otherwise: a user namespace (mapping
// the caller to root inside it) with a network namespace, where the system
// allows unprivileged ones. Must run before any thread is started. False with
// *error naming what failed and what to do.
bool EnterPrivateNetwork(std::string* error);

}  // namespace lab
