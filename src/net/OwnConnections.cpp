#include "net/OwnConnections.h"

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

struct TOwnConnections {
    // OwnConnectionsLock: guards both maps. A leaf lock.
    std::mutex OwnConnectionsLock;
    std::map<TSocketHandle, TEnds> ByHandle;
    std::map<TEnds, int, TEndsLess> ByEnds; // the connection's passes
};

// The passes of the accepted connection the calling thread serves (TServedConnection).
thread_local int GServedPasses = 0;

TOwnConnections& Table() {
    // Never destroyed: a socket may still close while the process's statics go.
    static TOwnConnections* table = new TOwnConnections;
    return *table;
}

bool BothEnds(TSocketHandle handle, TSocketAddr& local, TSocketAddr& remote) {
    return handle != INVALID_SOCKETHANDLE && SocketGetSockName(handle, local) == 0 &&
           SocketGetPeerName(handle, remote) == 0;
}

// Enters handle with ends; one entered already keeps its passes. Holding OwnConnectionsLock.
void RecordLocked(TOwnConnections& t, TSocketHandle handle, const TEnds& ends) {
    int passes = GServedPasses + 1;
    if (auto old = t.ByHandle.find(handle); old != t.ByHandle.end()) {
        if (auto known = t.ByEnds.find(old->second); known != t.ByEnds.end())
            passes = known->second;
        t.ByEnds.erase(old->second);
        t.ByHandle.erase(old);
    }
    t.ByHandle[handle] = ends;
    t.ByEnds[ends] = passes;
}

} // namespace

int ConnectOwnConnection(TSocketHandle handle, const TSocketAddr& remote, bool& registered) {
    registered = false;
    TOwnConnections& t = Table();
    std::lock_guard lock(t.OwnConnectionsLock);
    int r = SocketConnect(handle, remote);
    int error = SocketGetLastError();
    TEnds ends{TSocketAddr{}, remote};
    if ((r == 0 || error == WSAEINPROGRESS) && SocketGetSockName(handle, ends.first) == 0) {
        // The unspecified address reaches this machine at the address connected from, and
        // the accepting side sees that one.
        if (remote.Addr == TSocketAddr{}.Addr)
            ends.second.Addr = ends.first.Addr;
        RecordLocked(t, handle, ends);
        registered = true;
    }
    SocketSetLastError(error);
    return r;
}

bool RegisterOwnConnection(TSocketHandle handle) {
    TEnds ends;
    if (!BothEnds(handle, ends.first, ends.second))
        return false;
    TOwnConnections& t = Table();
    std::lock_guard lock(t.OwnConnectionsLock);
    RecordLocked(t, handle, ends);
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
    auto it = t.ByEnds.find(TEnds{peer, local});
    return it == t.ByEnds.end() ? 0 : it->second;
}

TServedConnection::TServedConnection(TSocketHandle accepted) : FFormer(GServedPasses) {
    GServedPasses = ArrivalPasses(accepted);
}

TServedConnection::~TServedConnection() {
    GServedPasses = FFormer;
}

} // namespace corvan
