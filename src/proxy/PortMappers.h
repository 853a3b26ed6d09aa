#pragma once
// The port-mapping factory of the network layer (the seam of port-mapping/PortMapperFactory.h):
// builds, activates and wraps the TTCPPortMapper or TUDPPortMapper of one mapping. Both listen
// on LocalHost when it is set; a TCP mapping's outbound connections go through the mapping's
// SOCKS5 up-stream when that record is in use.

#include "proxy/PortMapperFactory.h"

namespace corvan {

// Raises what activation raises (e.g. "Socket bind failed" when the port is taken) and
// EPortMapping for a protocol other than TCP or UDP; never returns null. Main thread.
std::unique_ptr<APortMapper> CreatePortMapper(const TPortMapperParams& params);

} // namespace corvan
