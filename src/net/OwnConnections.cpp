#include "net/OwnConnections.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <tuple>
#include <utility>
#include <vector>

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

// What the table knows of one handle. A slot per descriptor number: entering and leaving a
// connection allocates nothing (the slots grow with the highest handle, a few dozen bytes
// each, bounded by the descriptors the process may hold).
struct TOwnSlot {
    enum TState : uint8_t {
        kNone,    // not an own connection (or left)
        kUnasked, // its local end not asked for yet: in its port's list, Passes its passes
        kKnown,   // both ends known: Ends is its key in ByEnds
    };
    TState State = kNone;
    int Passes = 0;
    // kUnasked: the neighbours in the list of connections to Ends.second.Port (-1: none).
    TSocketHandle Prev = INVALID_SOCKETHANDLE;
    TSocketHandle Next = INVALID_SOCKETHANDLE;
    TEnds Ends; // local, remote; local TSocketAddr{} while kUnasked
};

// An array of a count per port, zeroed by the system as its pages are first touched.
template <typename T>
std::unique_ptr<T[], decltype(&std::free)> PerPort() {
    return {static_cast<T*>(std::calloc(65536, sizeof(T))), &std::free};
}

struct TOwnConnections {
    // OwnConnectionsLock: guards the slots, the lists and ByEnds, and the lowering of the
    // pending counts (their raising needs no lock). A leaf lock (the connect system call runs
    // outside it: held across it, every connection of every thread queued behind each
    // connect; the calls that read a socket's local end run inside it).
    std::mutex OwnConnectionsLock;
    std::vector<TOwnSlot> Slots; // by handle
    std::map<TEnds, int, TEndsLess> ByEnds; // the connection's passes, once both ends are known
    // Connections entered as their connect started, their local end not asked for yet: a
    // list by the port they connect to (the first handle + 1; 0: none). The system is asked
    // for a local end only when a connection arrives on that port (AskLocked), the only
    // arrival that can be one of them; most never come back to this program, and are entered
    // and left without that system call.
    std::unique_ptr<TSocketHandle[], decltype(&std::free)> UnaskedByPort =
        PerPort<TSocketHandle>();
    size_t UnaskedCount = 0;
    // Connects under way, by destination port: an arrival on that port may be one of them,
    // not entered yet, and waits for them (PendingDone) before it concludes it is not own.
    // Raised atomically before the connect (no lock: the arrival it announces comes only
    // after the connect's system call), lowered under the lock with PendingDone told.
    // PendingTotal: their sum.
    std::unique_ptr<uint32_t[], decltype(&std::free)> PendingByPort = PerPort<uint32_t>();
    std::atomic<uint32_t> PendingTotal{0};
    std::condition_variable PendingDone;

    uint32_t Pending(uint16_t port) {
        return std::atomic_ref<uint32_t>(PendingByPort[port]).load();
    }
};

// The passes of the accepted connection the calling thread serves (TServedConnection).
thread_local int GServedPasses = 0;

TOwnConnections& Table() {
    // Never destroyed: a socket may still close while the process's statics go.
    static TOwnConnections* table = [] {
        auto t = std::make_unique<TOwnConnections>();
        if (!t->PendingByPort || !t->UnaskedByPort)
            throw std::bad_alloc();
        return t.release();
    }();
    return *table;
}

bool BothEnds(TSocketHandle handle, TSocketAddr& local, TSocketAddr& remote) {
    return handle != INVALID_SOCKETHANDLE && SocketGetSockName(handle, local) == 0 &&
           SocketGetPeerName(handle, remote) == 0;
}

// handle's slot; null when it has none yet. Holding OwnConnectionsLock.
TOwnSlot* SlotLocked(TOwnConnections& t, TSocketHandle handle) {
    if (handle < 0 || static_cast<size_t>(handle) >= t.Slots.size())
        return nullptr;
    return &t.Slots[handle];
}

void LinkUnaskedLocked(TOwnConnections& t, TSocketHandle handle, TOwnSlot& slot) {
    TSocketHandle& head = t.UnaskedByPort[slot.Ends.second.Port];
    slot.Prev = INVALID_SOCKETHANDLE;
    slot.Next = head - 1;
    if (slot.Next != INVALID_SOCKETHANDLE)
        t.Slots[slot.Next].Prev = handle;
    head = handle + 1;
    slot.State = TOwnSlot::kUnasked;
    ++t.UnaskedCount;
}

void UnlinkUnaskedLocked(TOwnConnections& t, TOwnSlot& slot) {
    if (slot.Prev != INVALID_SOCKETHANDLE)
        t.Slots[slot.Prev].Next = slot.Next;
    else
        t.UnaskedByPort[slot.Ends.second.Port] = slot.Next + 1;
    if (slot.Next != INVALID_SOCKETHANDLE)
        t.Slots[slot.Next].Prev = slot.Prev;
    slot.State = TOwnSlot::kNone;
    --t.UnaskedCount;
}

// Takes handle's entry out; answers its passes (0: it had none). Holding OwnConnectionsLock.
int ForgetLocked(TOwnConnections& t, TSocketHandle handle) {
    TOwnSlot* slot = SlotLocked(t, handle);
    if (!slot)
        return 0;
    int passes = 0;
    if (slot->State == TOwnSlot::kUnasked) {
        passes = slot->Passes;
        UnlinkUnaskedLocked(t, *slot);
    } else if (slot->State == TOwnSlot::kKnown) {
        if (auto known = t.ByEnds.find(slot->Ends); known != t.ByEnds.end()) {
            passes = known->second;
            t.ByEnds.erase(known);
        }
    }
    slot->State = TOwnSlot::kNone;
    return passes;
}

// Enters handle with ends (a local end of TSocketAddr{}: to be asked for); one entered already
// keeps its passes. Holding OwnConnectionsLock.
void RecordLocked(TOwnConnections& t, TSocketHandle handle, const TEnds& ends) {
    int passes = ForgetLocked(t, handle);
    if (passes == 0)
        passes = GServedPasses + 1;
    if (static_cast<size_t>(handle) >= t.Slots.size())
        t.Slots.resize(static_cast<size_t>(handle) + 1);
    TOwnSlot& slot = t.Slots[handle];
    slot.Ends = ends;
    if (ends.first == TSocketAddr{}) {
        slot.Passes = passes;
        LinkUnaskedLocked(t, handle, slot);
    } else {
        t.ByEnds[ends] = passes;
        slot.State = TOwnSlot::kKnown;
    }
}

// Asks the system for the local ends of the connections made to port: a connection arriving
// on it may be one of them. Holding OwnConnectionsLock.
void AskLocked(TOwnConnections& t, uint16_t port) {
    TSocketHandle handle = t.UnaskedByPort[port] - 1;
    while (handle != INVALID_SOCKETHANDLE) {
        TOwnSlot& slot = t.Slots[handle];
        TSocketHandle next = slot.Next;
        TEnds asked = slot.Ends;
        // One whose end the system does not tell is not matched.
        bool told = SocketGetSockName(handle, asked.first) == 0;
        if (told) {
            // The unspecified address reaches this machine at the address connected from,
            // and the accepting side sees that one.
            if (asked.second.Addr == TSocketAddr{}.Addr)
                asked.second.Addr = asked.first.Addr;
            try {
                t.ByEnds[asked] = slot.Passes;
            } catch (const std::bad_alloc&) {
                return; // out of memory: left to be asked by the next arrival
            }
        }
        UnlinkUnaskedLocked(t, slot);
        if (told) {
            slot.Ends = asked;
            slot.State = TOwnSlot::kKnown;
        }
        handle = next;
    }
}

} // namespace

int ConnectOwnConnection(TSocketHandle handle, const TSocketAddr& remote, bool& registered) {
    registered = false;
    TOwnConnections& t = Table();
    std::atomic_ref<uint32_t>(t.PendingByPort[remote.Port]).fetch_add(1);
    t.PendingTotal.fetch_add(1);
    int r = SocketConnect(handle, remote);
    int error = SocketGetLastError();
    std::unique_lock lock(t.OwnConnectionsLock);
    struct TDone {
        TOwnConnections& T;
        uint16_t Port;
        ~TDone() {
            std::atomic_ref<uint32_t>(T.PendingByPort[Port]).fetch_sub(1);
            T.PendingTotal.fetch_sub(1);
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
                           [&] { return found() || t.Pending(local.Port) == 0; });
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
        // With the port known, only connects to that port can be this arrival.
        bool pending = localPort != 0 ? t.Pending(localPort) != 0 : t.PendingTotal.load() != 0;
        if (localPort != 0)
            AskLocked(t, localPort);
        if (!pending && !HasLocalEndLocked(t, peer) && (localPort != 0 || t.UnaskedCount == 0))
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
