#include "net/IdleConnections.h"

#include "net/OwnConnections.h"
#include "util/Ticks.h"

#include <utility>

namespace corvan {

void CloseIdleConnection(TIdleConnection& connection) {
    if (!connection)
        return;
    // Out of the table before the close: the same two ends may belong to a new connection
    // right after.
    if (connection.OwnConnection)
        UnregisterOwnConnection(connection.Handle);
    (void)SocketShutdown(connection.Handle, TShutdownHow::sdSend); // a reset peer: closed anyway
    SocketClose(connection.Handle);
    connection = {};
}

TIdleConnections::TIdleConnections(TIdleLimits limits, TClock clock)
    : FLimits(limits), FClock(std::move(clock)) {}

TIdleConnections::~TIdleConnections() {
    Clear();
}

int64_t TIdleConnections::Now() const {
    return FClock ? FClock() : MonotonicMillis();
}

void TIdleConnections::TakeExpiredLocked(int64_t now, std::vector<TIdleConnection>& closing) {
    while (!FEntries.empty() && now - FEntries.front().Since > FLimits.MaxIdleMs) {
        closing.push_back(FEntries.front().Connection);
        FEntries.pop_front();
    }
}

void TIdleConnections::CloseAll(std::vector<TIdleConnection>& closing) {
    for (TIdleConnection& c : closing)
        CloseIdleConnection(c);
    closing.clear();
}

TIdleConnection TIdleConnections::Take(const std::string& key) {
    std::vector<TIdleConnection> closing;
    for (;;) {
        TIdleConnection candidate;
        {
            std::lock_guard lock(IdleConnectionsLock);
            TakeExpiredLocked(Now(), closing);
            for (auto it = FEntries.rbegin(); it != FEntries.rend(); ++it)
                if (it->Key == key) {
                    candidate = it->Connection;
                    FEntries.erase(std::next(it).base());
                    break;
                }
        }
        // Checked outside the lock: it is this thread's alone now.
        if (!candidate || SocketIdleAndOpen(candidate.Handle)) {
            CloseAll(closing);
            return candidate;
        }
        closing.push_back(candidate);
    }
}

void TIdleConnections::Put(const std::string& key, TIdleConnection connection, int64_t since) {
    if (!connection)
        return;
    std::vector<TIdleConnection> closing;
    {
        std::lock_guard lock(IdleConnectionsLock);
        int64_t now = Now();
        TakeExpiredLocked(now, closing);
        if (since < 0 || since > now)
            since = now;
        // Idle since before some others (it was held elsewhere first): in its place.
        auto at = FEntries.end();
        while (at != FEntries.begin() && std::prev(at)->Since > since)
            --at;
        FEntries.insert(at, {key, connection, since});
        TakeExpiredLocked(now, closing);
        size_t ofKey = 0;
        for (const TEntry& e : FEntries)
            ofKey += e.Key == key;
        for (auto it = FEntries.begin(); ofKey > FLimits.PerKey && it != FEntries.end();)
            if (it->Key == key) {
                closing.push_back(it->Connection);
                it = FEntries.erase(it);
                --ofKey;
            } else {
                ++it;
            }
        while (FEntries.size() > FLimits.Total) {
            closing.push_back(FEntries.front().Connection);
            FEntries.pop_front();
        }
    }
    CloseAll(closing);
}

void TIdleConnections::Clear() {
    std::vector<TIdleConnection> closing;
    {
        std::lock_guard lock(IdleConnectionsLock);
        for (TEntry& e : FEntries)
            closing.push_back(e.Connection);
        FEntries.clear();
    }
    CloseAll(closing);
}

size_t TIdleConnections::Count() const {
    std::lock_guard lock(IdleConnectionsLock);
    return FEntries.size();
}

} // namespace corvan
