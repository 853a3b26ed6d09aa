#pragma once
// Process resource limits that bound how much the proxy can serve at once.

#include <cstdint>
#include <string>

namespace corvan {

// Descriptors each open tunnel holds: its two sockets (on a relay loop; a burst being spliced
// borrows a pipe for as long as it takes).
constexpr uint64_t kDescriptorsPerTunnel = 2;
// Descriptors kept out of the tunnel count: standard streams, listening sockets, the main
// loop, UDP mappings, DNS, the settings and log files.
constexpr uint64_t kDescriptorReserve = 64;

// The open-descriptor limit (RLIMIT_NOFILE). Unlimited is UINT64_MAX.
struct TDescriptorLimit {
    uint64_t Before = 0; // soft limit found
    uint64_t Soft = 0;   // soft limit in force now
    uint64_t Hard = 0;
    // The call that failed and its system text; empty on success. The limits are then those
    // in force, unchanged.
    std::string Error;
};

// Raises the soft limit to the hard limit, so that the number of connections is bound by what
// the administrator allows rather than by the small default soft limit. Allocates nothing on
// success (safe in a forked child).
TDescriptorLimit RaiseDescriptorLimit();

// Tunnels that fit into limit: (limit - kDescriptorReserve) / kDescriptorsPerTunnel, 0 when
// the reserve takes it all.
uint64_t TunnelCapacity(uint64_t limit);

// One line for the log: the limit, whether it was raised, and the tunnels it allows.
std::string DescriptorLimitText(const TDescriptorLimit& limit);

} // namespace corvan
