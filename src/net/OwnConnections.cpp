#include "net/OwnConnections.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
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

// The longest an arrival waits for connects to its port that are under way (each is one
// non-blocking system call; the bound only keeps a stuck one from holding the arrival).
constexpr auto kPendingConnectWait = std::chrono::milliseconds(1000);

struct TOwnConnections {
    // OwnConnectionsLock: guards the maps. A leaf lock (the connect system call runs outside
    // it: held across it, every connection of every thread queued behind each connect; the
    // calls that read a socket's local end run inside it).
    std::mutex OwnConnectionsLock;
    std::map<TSocketHandle, TEnds> ByHandle; // a local end not asked for yet: TSocketAddr{}
    std::map<TEnds, int, TEndsLess> ByEnds; // the connection's passes, once both ends are known
    // Connections entered as their connect started, their local end not asked for yet: their
    // passes, by the port they connect to and their handle. The system is asked for a local
    // end only when a connection arrives on that port (AskLocked), the only arrival that can
    // be one of them; most never come back to this program, and are entered and left without
    // that system call.
    std::map<std::pair<uint16_t, TSocketHandle>, int> Unasked;
    // Connects under way, by destination port: an arrival on that port may be one of them,
    // not entered yet, and waits for them (PendingDone) before it concludes it is not own.
    // A count for every port, zeroed by the system as its pages are first touched: a connect
    // enters and leaves it without an allocation. PendingTotal: their sum.
    std::unique_ptr<uint32_t[], decltype(&std::free)> PendingByPort{
        static_cast<uint32_t*>(std::calloc(65536, sizeof(uint32_t))), &std::free};
    uint32_t PendingTotal = 0;
    std::condition_variable PendingDone;
};

// The passes of the accepted connection the calling thread serves (TServedConnection).
thread_local int GServedPasses = 0;

TOwnConnections& Table() {
    // Never destroyed: a socket may still close while the process's statics go.
    static TOwnConnections* table = [] {
        auto t = std::make_unique<TOwnConnections>();
        if (!t->PendingByPort)
            throw std::bad_alloc();
        return t.release();
    }();
    return *table;
}

bool BothEnds(TSocketHandle handle, TSocketAddr& local, TSocketAddr& remote) {
    return handle != INVALID_SOCKETHANDLE && SocketGetSockName(handle, local) == 0 &&
           SocketGetPeerName(handle, remote) == 0;
}

// Takes handle's entry out; answers its passes (0: it had none). Holding OwnConnectionsLock.
int ForgetLocked(TOwnConnections& t, TSocketHandle handle) {
    auto old = t.ByHandle.find(handle);
    if (old == t.ByHandle.end())
        return 0;
    int passes = 0;
    if (auto known = t.ByEnds.find(old->second); known != t.ByEnds.end()) {
        passes = known->second;
        t.ByEnds.erase(known);
    } else if (auto unasked = t.Unasked.find({old->second.second.Port, handle});
               unasked != t.Unasked.end()) {
        passes = unasked->second;
        t.Unasked.erase(unasked);
    }
    t.ByHandle.erase(old);
    return passes;
}

// Enters handle with ends (a local end of TSocketAddr{}: to be asked for); one entered already
// keeps its passes. Holding OwnConnectionsLock.
void RecordLocked(TOwnConnections& t, TSocketHandle handle, const TEnds& ends) {
    int passes = ForgetLocked(t, handle);
    if (passes == 0)
        passes = GServedPasses + 1;
    t.ByHandle[handle] = ends;
    if (ends.first == TSocketAddr{})
        t.Unasked[{ends.second.Port, handle}] = passes;
    else
        t.ByEnds[ends] = passes;
}

// Asks the system for the local ends of the connections made to port: a connection arriving
// on it may be one of them. Holding OwnConnectionsLock.
void AskLocked(TOwnConnections& t, uint16_t port) {
    auto it = t.Unasked.lower_bound({port, std::numeric_limits<TSocketHandle>::min()});
    while (it != t.Unasked.end() && it->first.first == port) {
        TSocketHandle handle = it->first.second;
        TEnds& ends = t.ByHandle.find(handle)->second; // entered with it
        TEnds asked = ends;
        // One whose end the system does not tell is not matched.
        if (SocketGetSockName(handle, asked.first) == 0) {
            // The unspecified address reaches this machine at the address connected from,
            // and the accepting side sees that one.
            if (asked.second.Addr == TSocketAddr{}.Addr)
                asked.second.Addr = asked.first.Addr;
            try {
                t.ByEnds[asked] = it->second;
            } catch (const std::bad_alloc&) {
                return; // out of memory: left to be asked by the next arrival
            }
            ends = asked;
        }
        it = t.Unasked.erase(it);
    }
}

} // namespace

int ConnectOwnConnection(TSocketHandle handle, const TSocketAddr& remote, bool& registered) {
    registered = false;
    TOwnConnections& t = Table();
    {
        std::lock_guard lock(t.OwnConnectionsLock);
        ++t.PendingByPort[remote.Port];
        ++t.PendingTotal;
    }
    int r = SocketConnect(handle, remote);
    int error = SocketGetLastError();
    std::unique_lock lock(t.OwnConnectionsLock);
    struct TDone {
        TOwnConnections& T;
        uint16_t Port;
        ~TDone() {
            --T.PendingByPort[Port];
            --T.PendingTotal;
            T.PendingDone.notify_all();
        }
    } done{t, remote.Port};
    // Kept as the accepting side will see it: the system reports an IPv4 peer that was
    // reached at a mapped address (::ffff:a.b.c.d) as IPv4.
    // Its local end is asked for when a connection arrives on the port it connects to.
    if (r == 0 || error == WSAEINPROGRESS) {
        RecordLocked(t, handle, TEnds{TSocketAddr{}, UnmapIP4(remote)});
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
    (void)ForgetLocked(t, handle);
}

namespace {

// ArrivalPasses once both ends of the accepted connection are known.
int PassesOf(const TSocketAddr& local, const TSocketAddr& peer) {
    TOwnConnections& t = Table();
    std::unique_lock lock(t.OwnConnectionsLock);
    auto found = [&] {
        AskLocked(t, local.Port);
        return t.ByEnds.find(TEnds{peer, local}) != t.ByEnds.end();
    };
    // A connect to this port that has not been entered yet may be this very connection.
    t.PendingDone.wait_for(lock, kPendingConnectWait,
                           [&] { return found() || t.PendingByPort[local.Port] == 0; });
    auto it = t.ByEnds.find(TEnds{peer, local});
    return it == t.ByEnds.end() ? 0 : it->second;
}

// Some recorded connection has this local end (OwnConnectionsLock held). The entries of one
// local end are together in ByEnds, from the one with the lowest remote end on.
bool HasLocalEndLocked(const TOwnConnections& t, const TSocketAddr& local) {
    TSocketAddr lowest;
    lowest.AddrFamily = TIPAddressFamily::iaNone;
    auto it = t.ByEnds.lower_bound(TEnds{local, lowest});
    return it != t.ByEnds.end() && !TEndsLess()(TEnds{local, lowest}, TEnds{it->first.first, lowest});
}

} // namespace

int ArrivalPasses(TSocketHandle accepted) {
    TSocketAddr local, peer;
    if (!BothEnds(accepted, local, peer))
        return 0;
    return PassesOf(local, peer);
}

int ArrivalPasses(TSocketHandle accepted, const TSocketAddr& peer, uint16_t localPort) {
    {
        TOwnConnections& t = Table();
        std::lock_guard lock(t.OwnConnectionsLock);
        if (localPort != 0)
            AskLocked(t, localPort);
        if (t.PendingTotal == 0 && !HasLocalEndLocked(t, peer) &&
            (localPort != 0 || t.Unasked.empty()))
            return 0;
    }
    TSocketAddr local;
    if (accepted == INVALID_SOCKETHANDLE || SocketGetSockName(accepted, local) != 0)
        return 0;
    return PassesOf(local, peer);
}

std::string TMappingLoopLog::Text(const std::string& what) {
    return what + ": it has come round through this program's port mappings " +
           std::to_string(kMappingLoopPasses) + " times (a destination leads back to a mapping)";
}

void TMappingLoopLog::Tell(const std::string& what, int64_t now) {
    if (!OnLine)
        return;
    int64_t last = FLast.load(std::memory_order_relaxed);
    // One thread wins the minute; the others stay quiet.
    if ((last != INT64_MIN && now - last < kIntervalMs) ||
        !FLast.compare_exchange_strong(last, now, std::memory_order_relaxed))
        return;
    OnLine(Text(what));
}

int ServedPasses() {
    return GServedPasses;
}

TServedConnection::TServedConnection(TSocketHandle accepted) : FFormer(GServedPasses) {
    GServedPasses = ArrivalPasses(accepted);
}

TServedConnection::TServedConnection(TSocketHandle accepted, const TSocketAddr& peer,
                                     uint16_t localPort)
    : FFormer(GServedPasses) {
    GServedPasses = ArrivalPasses(accepted, peer, localPort);
}

TServedConnection::~TServedConnection() {
    GServedPasses = FFormer;
}

} // namespace corvan
