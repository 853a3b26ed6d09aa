#pragma once
// The TCP connections this program opened itself, known by their two ends, so that a service
// can tell a connection that arrives from one of them: a request that has come back to this
// program (through one of its own port mappings, say) and would go round again, each pass on
// a new connection, until every connection slot is taken.
//
// A client socket is entered once its connection stands (TTCPClientSocket) and leaves as its
// handle is closed (ASocket::CloseHandle). Any thread; OwnConnectionsLock guards the table (a
// leaf lock: nothing is called while it is held). The table holds only open connections, so
// it is bounded by the descriptors the process may hold.

#include "net/SocketLib.h"

namespace corvan {

// Records the connection of handle (its local and its remote end, as the system reports
// them). False when the system cannot tell both ends (then nothing is recorded).
bool RegisterOwnConnection(TSocketHandle handle);
// Forgets handle's connection; nothing when it was not recorded.
void UnregisterOwnConnection(TSocketHandle handle);
// Whether the accepted connection of handle is one this program opened: its peer is the
// local end, and its local end the remote end, of a recorded connection.
bool ArrivesFromOwnConnection(TSocketHandle accepted);
// Connections recorded now.
size_t OwnConnectionCount();

} // namespace corvan
