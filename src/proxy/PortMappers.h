#pragma once
// The port-mapping factory of the network layer (the seam of port-mapping/PortMapperFactory.h):
// builds, activates and wraps the TTCPPortMapper or TUDPPortMapper of one mapping. Both listen
// on LocalHost when it is set; a TCP mapping's outbound connections go through the mapping's
// SOCKS5 up-stream when that record is in use.

#include "proxy/PortMapperFactory.h"

namespace corvan {

// Raises what activation raises (e.g. "Socket bind failed" when the port is taken),
// EPortMapping for a protocol other than TCP or UDP, and EPortMapping for a mapping onto
// itself (MapsOntoItself), which would open connections to itself until the descriptors run
// out. Never returns null. Main thread.
std::unique_ptr<APortMapper> CreatePortMapper(const TPortMapperParams& params);

// Whether the mapper would connect (or send) to its own listening socket: the destination
// port is the listening port, and the destination host resolves (either family) to the bind
// address (LocalHost) or, when the mapper listens on every address, to any address of this
// machine, loopback included: of both families for LocalHost empty or "::", IPv4 ones for
// 0.0.0.0. A destination that does not resolve is not a loop: its connections fail on their
// own. May look the names up (blocking).
bool MapsOntoItself(const TPortMapperParams& params);

} // namespace corvan
