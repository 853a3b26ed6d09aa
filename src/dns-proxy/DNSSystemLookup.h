#pragma once
// The operating system's name lookup for the DNS proxy, on a bounded pool of worker threads:
// at most kDNSMaxLookupThreads lookups run at once, the rest wait in order. A lookup that
// blocks (a slow up-stream server of the system) holds one worker, never the proxy's thread.
// Results come back on the thread that made the pool, through OnResult.
//
// A lookup that waited in the queue longer than a client waits for its answer is not run:
// after a flood the workers go on with names someone still waits for, and the dropped one
// comes back as Expired (no answer is owed to a client that gave up).
//
// Threads: the workers share TState with the pool; its lock TState::Lock guards the job and
// result queues, the generation and the clock (lock order: TState::Lock alone; the clock is
// read under it and takes no lock). Workers are detached and
// hold the state: destroying the pool never waits for a lookup inside the system's resolver.

#include "net/SocketLib.h"
#include "net/EventLoop.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace corvan {

// Worker threads of one pool at most.
constexpr size_t kDNSMaxLookupThreads = 32;
// Milliseconds a client waits for a DNS answer before it asks again or gives up (stub
// resolvers wait 5 s); a lookup queued longer than this is dropped unrun.
constexpr int64_t kDNSClientPatienceMs = 5000;

struct TDNSSystemLookupResult {
    uint32_t Tag = 0;
    bool IPv6 = false;
    // 0, or the socket error number of the failure (11001 the name does not exist).
    int ErrorCode = 0;
    // The lookup waited past kDNSClientPatienceMs and was not run: no answer is due.
    bool Expired = false;
    TIP4AddrArray Addresses;                      // IPv4 lookups
    std::vector<std::array<uint8_t, 16>> Addresses6; // IPv6 lookups
};

class TDNSSystemLookupPool : public TMailbox {
public:
    // Creates the window on the calling thread, which receives OnResult.
    explicit TDNSSystemLookupPool(size_t maxThreads = kDNSMaxLookupThreads);
    // Tells the workers to end; lookups still running finish on their own and are dropped.
    ~TDNSSystemLookupPool() override;

    // The lookup of name: IPv4 addresses, or with ipv6 the IPv6 ones (a name that has IPv4
    // addresses only then succeeds with none). Raises nothing; the result arrives later.
    void Start(uint32_t tag, const std::string& name, bool ipv6);
    // Forgets every queued and running lookup: no result of them arrives.
    void Clear();

    std::function<void(const TDNSSystemLookupResult& result)> OnResult;

    size_t ThreadCount() const;
    size_t QueuedCount() const;
    // The clock queue ages are measured on (MonotonicMillis unless a test sets another); set
    // it before the first Start.
    void SetClock(std::function<int64_t()> clock);

    struct TState;

protected:
    intptr_t HandleLoopMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;

private:
    std::shared_ptr<TState> FState;
};

// One lookup as a worker runs it (tests call it directly).
TDNSSystemLookupResult DNSSystemLookup(uint32_t tag, const std::string& name, bool ipv6);

} // namespace corvan
