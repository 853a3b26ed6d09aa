#include "net/OwnConnections.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <tuple>
#include <utility>

namespace corvan {

namespace {

using TEnds = std::pair<TSocketAddr, TSocketAddr>; // local, remote

struct TEndsLess {
    bool operator()(const TEnds& a, const TEnds& b) const {
        auto key = [](const TSocketAddr& x) {
            return std::make_tuple(static_cast<int>(x.AddrFamily), x.Addr, x.Port);
        };
        return std::make_pair(key(a.first), key(a.second)) <
               std::make_pair(key(b.first), key(b.second));
    }
};

// An own connection: its passes as known when it was recorded, and the own connection that
// feeds the accepted one it serves (its key in ByEnds), if any.
struct TOwnRecord {
    int Passes = 0;
    bool Serves = false;
    TEnds Feeder;
};

struct TOwnConnections {
    // OwnConnectionsLock: guards both maps. A leaf lock.
    std::mutex OwnConnectionsLock;
    std::map<TSocketHandle, TEnds> ByHandle;
    std::map<TEnds, TOwnRecord, TEndsLess> ByEnds;
};

// The accepted connection the calling thread serves.
thread_local TServedConnection::TState GServed;

TOwnConnections& Table() {
    // Never destroyed: a socket may still close while the process's statics go.
    static TOwnConnections* table = new TOwnConnections;
    return *table;
}

bool BothEnds(TSocketHandle handle, TSocketAddr& local, TSocketAddr& remote) {
    return handle != INVALID_SOCKETHANDLE && SocketGetSockName(handle, local) == 0 &&
           SocketGetPeerName(handle, remote) == 0;
}

// The passes of the own connection recorded under ends (0: none). The connection feeding the
// one it serves may have been recorded only after serving began (its opener runs on another
// thread than the one that accepted it), so that link is read again now. Followed at most
// kLoopPasses deep: a count that reaches it tells all a caller needs.
int PassesLocked(const TOwnConnections& t, const TEnds& ends, int depth = 0) {
    auto it = t.ByEnds.find(ends);
    if (it == t.ByEnds.end())
        return 0;
    const TOwnRecord& own = it->second;
    if (!own.Serves || depth >= kLoopPasses)
        return own.Passes;
    return std::max(own.Passes, 1 + PassesLocked(t, own.Feeder, depth + 1));
}

} // namespace

bool RegisterOwnConnection(TSocketHandle handle) {
    TEnds ends;
    if (!BothEnds(handle, ends.first, ends.second))
        return false;
    TOwnConnections& t = Table();
    std::lock_guard lock(t.OwnConnectionsLock);
    if (auto old = t.ByHandle.find(handle); old != t.ByHandle.end()) {
        t.ByEnds.erase(old->second);
        t.ByHandle.erase(old);
    }
    t.ByHandle[handle] = ends;
    t.ByEnds[ends] = TOwnRecord{GServed.Passes + 1, GServed.Known, GServed.Feeder};
    return true;
}

void UnregisterOwnConnection(TSocketHandle handle) {
    TOwnConnections& t = Table();
    std::lock_guard lock(t.OwnConnectionsLock);
    auto it = t.ByHandle.find(handle);
    if (it == t.ByHandle.end())
        return;
    t.ByEnds.erase(it->second);
    t.ByHandle.erase(it);
}

int ArrivalPasses(TSocketHandle accepted) {
    TSocketAddr local, peer;
    if (!BothEnds(accepted, local, peer))
        return 0;
    TOwnConnections& t = Table();
    std::lock_guard lock(t.OwnConnectionsLock);
    return PassesLocked(t, TEnds{peer, local});
}

TServedConnection::TServedConnection(TSocketHandle accepted) : FFormer(GServed) {
    TState served;
    TSocketAddr local, peer;
    served.Known = BothEnds(accepted, local, peer);
    if (served.Known) {
        served.Feeder = TEnds{peer, local};
        TOwnConnections& t = Table();
        std::lock_guard lock(t.OwnConnectionsLock);
        served.Passes = PassesLocked(t, served.Feeder);
    }
    GServed = served;
}

TServedConnection::~TServedConnection() {
    GServed = FFormer;
}

size_t OwnConnectionCount() {
    TOwnConnections& t = Table();
    std::lock_guard lock(t.OwnConnectionsLock);
    return t.ByHandle.size();
}

} // namespace corvan
