#pragma once
// Idle outbound connections kept for another exchange (the HTTP proxy's next hops), keyed by
// where they lead. An entry is a bare connected descriptor: no socket object, no thread, no
// message loop watches it while it waits here.
//
// How a connection moves between threads: the thread that has finished with it takes the
// descriptor out of its socket object (ATCPClientSocket::ReleaseToRelay: unwatched from that
// thread's loop with its queued notifications, forgotten by the object) and only then puts
// the number here under IdleConnectionsLock; a taker gets the number under the same lock and
// wraps it in a new socket on its own thread (AdoptOutbound), whose loop alone watches it
// from then on. At every moment exactly one party holds the descriptor (a socket object on
// one thread, kept there for that thread's own next use, or this pool) and the
// lock orders each hand-over, so two threads never use it at once, and a descriptor that was
// closed is never handed out.
//
// Bounds: kIdlePerKey per key and kIdleTotal in all (a put beyond either closes the oldest
// entry concerned), kIdleMaxMs of idleness (older entries are closed at the next take or put,
// never handed out). A take checks the entry first (SocketIdleAndOpen): one whose peer has
// closed, or that has bytes waiting (they would be taken for the next answer), is closed.

#include "net/SocketLib.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <vector>

namespace corvan {

// A put beyond this many idle connections of one key closes that key's oldest.
inline constexpr size_t kIdlePerKey = 8;
// A put beyond this many idle connections in all closes the oldest of all.
inline constexpr size_t kIdleTotal = 256;
// A connection idle longer than this is closed, never handed out (a next hop's own idle
// time-out is usually longer; past it, the connection is more likely closed than not).
inline constexpr int64_t kIdleMaxMs = 30000;

struct TIdleConnection {
    TSocketHandle Handle = INVALID_SOCKETHANDLE;
    // Entered among the program's own connections (net/OwnConnections.h) with the passes of
    // the connection it served: it stays entered while idle, and its closer takes it out.
    bool OwnConnection = false;
    explicit operator bool() const { return Handle != INVALID_SOCKETHANDLE; }
};

// Ends a connection nobody will use: out of the own connections, its sending side shut (the
// peer reads the end of the stream, not a reset), then closed. Clears it.
void CloseIdleConnection(TIdleConnection& connection);

// The pool's bounds (tests use smaller ones).
struct TIdleLimits {
    size_t PerKey = kIdlePerKey;
    size_t Total = kIdleTotal;
    int64_t MaxIdleMs = kIdleMaxMs;
};

class TIdleConnections {
public:
    using TClock = std::function<int64_t()>; // milliseconds, never going back

    // Any thread. clock defaults to MonotonicMillis (tests move their own).
    explicit TIdleConnections(TIdleLimits limits = {}, TClock clock = {});
    ~TIdleConnections(); // Clear
    TIdleConnections(const TIdleConnections&) = delete;
    TIdleConnections& operator=(const TIdleConnections&) = delete;

    // The newest usable connection of key, taken out (the caller owns it now); an empty one
    // when there is none. Entries found closed, readable or expired on the way are closed.
    TIdleConnection Take(const std::string& key);
    // Keeps connection for key (the pool owns it now), idle since since (Now() when -1, else
    // a time of the pool's clock); the bounds close what they must.
    void Put(const std::string& key, TIdleConnection connection, int64_t since = -1);
    // The pool's clock (milliseconds).
    int64_t Now() const;
    // Closes every entry (the service stops).
    void Clear();
    size_t Count() const;

private:
    struct TEntry {
        std::string Key;
        TIdleConnection Connection;
        int64_t Since;
    };
    // Moves the expired entries (the oldest: at the front) to closing. Holding the lock.
    void TakeExpiredLocked(int64_t now, std::vector<TIdleConnection>& closing);
    static void CloseAll(std::vector<TIdleConnection>& closing);

    const TIdleLimits FLimits;
    const TClock FClock;
    // IdleConnectionsLock: guards FEntries. A leaf: nothing else is locked while it is held
    // (entries are checked and closed after it is released).
    mutable std::mutex IdleConnectionsLock;
    std::list<TEntry> FEntries; // by Since, oldest first
};

} // namespace corvan
