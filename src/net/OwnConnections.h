#pragma once
// The TCP connections this program opened itself, known by their two ends, so that a service
// can tell a connection that arrives from one of them: a request that has come back to this
// program (through one of its own port mappings, say) and would go round again, each pass on
// a new connection, until every connection slot is taken.
//
// Passes: each own connection records how many times the traffic it carries has passed through
// this program: 1 + the passes of the accepted connection it serves (0 when that one did not
// come from an own connection, or when it serves none). A mapping that only exposes a service
// elsewhere (client -> mapping -> service) arrives with 1 pass and is served; traffic that
// arrives with kLoopPasses has already gone through this program twice and goes round (the
// loop proxy -> mapping -> proxy is caught on its second arrival).
// The accepted connection being served is the calling thread's: a TCP server's client thread
// serves one connection at a time and opens its outbound connections on that thread, so it
// names it (TServedConnection) and the registration reads it (a per-thread value: no lock).
// The own connection feeding a served one may be recorded only after serving began (its
// opener is another thread, racing the accept), so a count also follows that link again when
// it is read.
//
// A client socket is entered once its connection stands (TTCPClientSocket) and leaves as its
// handle is closed (ASocket::CloseHandle). Any thread; OwnConnectionsLock guards the table (a
// leaf lock: nothing is called while it is held). The table holds only open connections, so
// it is bounded by the descriptors the process may hold.

#include "net/SocketLib.h"

#include <utility>

namespace corvan {

// Passes at which traffic arriving on an own connection is a loop: a service that relays it
// on would send it round once more, so it refuses it (the HTTP proxy's 508).
constexpr int kLoopPasses = 2;

// Records the connection of handle (its local and its remote end, as the system reports
// them) with 1 + the passes of the calling thread's served connection. False when the system
// cannot tell both ends (then nothing is recorded).
bool RegisterOwnConnection(TSocketHandle handle);
// Forgets handle's connection; nothing when it was not recorded.
void UnregisterOwnConnection(TSocketHandle handle);
// The passes of the accepted connection of handle when it is one this program opened (its peer
// is the local end, and its local end the remote end, of a recorded connection); else 0.
int ArrivalPasses(TSocketHandle accepted);
// Connections recorded now.
size_t OwnConnectionCount();

// While it lives, the calling thread serves the accepted connection of handle: connections
// the thread registers count its passes. The thread's former value returns at its end.
class TServedConnection {
public:
    explicit TServedConnection(TSocketHandle accepted);
    ~TServedConnection();
    TServedConnection(const TServedConnection&) = delete;
    TServedConnection& operator=(const TServedConnection&) = delete;

    // What a thread serves: the accepted connection's passes when serving began and, when its
    // ends could be read, the ends (local, remote) that the own connection feeding it has.
    struct TState {
        int Passes = 0;
        bool Known = false;
        std::pair<TSocketAddr, TSocketAddr> Feeder;
    };

private:
    TState FFormer;
};

} // namespace corvan
