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
    std::map<TEnds, TSocketHandle, TEndsLess> ByEnds;
};

TOwnConnections& Table() {
    // Never destroyed: a socket may still close while the process's statics go.
    static TOwnConnections* table = new TOwnConnections;
    return *table;
}

bool BothEnds(TSocketHandle handle, TSocketAddr& local, TSocketAddr& remote) {
    return handle != INVALID_SOCKETHANDLE && SocketGetSockName(handle, local) == 0 &&
           SocketGetPeerName(handle, remote) == 0;
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
    t.ByEnds[ends] = handle;
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

bool ArrivesFromOwnConnection(TSocketHandle accepted) {
    TSocketAddr local, peer;
    if (!BothEnds(accepted, local, peer))
        return false;
    TOwnConnections& t = Table();
    std::lock_guard lock(t.OwnConnectionsLock);
    return t.ByEnds.count(TEnds{peer, local}) > 0;
}

size_t OwnConnectionCount() {
    TOwnConnections& t = Table();
    std::lock_guard lock(t.OwnConnectionsLock);
    return t.ByHandle.size();
}

} // namespace corvan
