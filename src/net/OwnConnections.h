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
//
// A client socket is entered as its connect starts (ConnectOwnConnection, from
// ASocket::ConnectTo) and leaves as its handle is closed (ASocket::CloseHandle): a connection
// to this program may be accepted, and asked about, before the connecting side hears that it
// stands. Its local end is asked of the system only once a connection arrives on the port it
// connects to (most never do). Any thread; OwnConnectionsLock guards the table (a leaf lock:
// nothing of this program is called while it is held, only the calls that read a socket's
// ends). The table holds only open connections, so it is bounded by the descriptors the
// process may hold.

#include "net/SocketLib.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace corvan {

// Passes at which traffic arriving on an own connection is a loop: a service that relays it
// on would send it round once more, so it refuses it (the HTTP proxy's 508).
constexpr int kLoopPasses = 2;
// Passes at which a port mapping refuses what arrives: its destination leads back, through this
// program's mappings, to a mapping (each pass would take a new connection, or a new datagram
// socket, until no descriptor is left). Higher than kLoopPasses: a mapping may pass traffic on
// to another of this program's mappings on purpose, but no one chains eight.
constexpr int kMappingLoopPasses = 8;

// What a port mapping tells its user when it refuses traffic that came round (a connection it
// closes, a datagram it drops): OnLine gets "<what>: it has come round through this program's
// port mappings 8 times (a destination leads back to a mapping)", at most once a minute, so a
// flood of such traffic makes no flood of lines. Any thread.
class TMappingLoopLog {
public:
    static constexpr int64_t kIntervalMs = 60000;
    // Set before traffic arrives; not changed while it does.
    std::function<void(const std::string& line)> OnLine;
    // "<what>: it has come round ..." (the mapping's own log tells every refusal).
    static std::string Text(const std::string& what);
    // Passes Text(what) to OnLine unless a line was told within kIntervalMs of now
    // (MonotonicMillis).
    void Tell(const std::string& what, int64_t now);

private:
    std::atomic<int64_t> FLast{INT64_MIN};
};

// Starts the connect of handle (non-blocking) to remote and answers as SocketConnect, its
// error left as the last error. When the connect started or completed, records the
// connection (to remote, from the local end the system gave it) with 1 + the passes of the
// calling thread's served connection. The connect is counted as under way from before the
// system call until it is recorded: a side that accepts the connection meanwhile and asks
// ArrivalPasses waits for it. registered tells whether it was recorded (not when the connect
// failed).
int ConnectOwnConnection(TSocketHandle handle, const TSocketAddr& remote, bool& registered);
// Records the connection of handle (its local and its remote end, as the system reports
// them) with 1 + the passes of the calling thread's served connection; a handle recorded
// already (as its connect started) keeps its passes and takes the ends now reported. False
// when the system cannot tell both ends (then nothing changes).
bool RegisterOwnConnection(TSocketHandle handle);
// Forgets handle's connection; nothing when it was not recorded.
void UnregisterOwnConnection(TSocketHandle handle);
// The passes of the accepted connection of handle when it is one this program opened (its peer
// is the local end, and its local end the remote end, of a recorded connection); else 0.
// While connects of this program to the accepted connection's port are under way, it waits
// for them to be recorded (at most kPendingConnectWait).
int ArrivalPasses(TSocketHandle accepted);
// The same for an accepted connection whose peer is known (as accept reported it), accepted on
// localPort (0: not known): when no recorded connection has that peer as its local end and no
// connect is under way, it answers 0 without asking the system for the accepted one's ends.
int ArrivalPasses(TSocketHandle accepted, const TSocketAddr& peer, uint16_t localPort);

// The passes of the accepted connection the calling thread serves (TServedConnection); 0 when
// it serves none. A connection kept for reuse goes only to a thread serving the same passes,
// so the count it was entered with stays true for whoever uses it.
int ServedPasses();

// While it lives, the calling thread serves the accepted connection of handle: connections
// the thread registers count its passes. The thread's former value returns at its end.
class TServedConnection {
public:
    explicit TServedConnection(TSocketHandle accepted);
    TServedConnection(TSocketHandle accepted, const TSocketAddr& peer, uint16_t localPort);
    ~TServedConnection();
    TServedConnection(const TServedConnection&) = delete;
    TServedConnection& operator=(const TServedConnection&) = delete;

private:
    int FFormer;
};

} // namespace corvan
