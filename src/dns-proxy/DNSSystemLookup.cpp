#include "dns-proxy/DNSSystemLookup.h"

#include "net/SocketHostLookup.h"
#include "net/SocketErrors.h"
#include "util/Ticks.h"

#include <condition_variable>
#include <deque>
#include <mutex>

namespace corvan {

namespace {
constexpr uint32_t MSG_DNS_LOOKUPS_DONE = MSG_USER + 600;
}

struct TDNSSystemLookupPool::TState {
    struct TJob {
        uint32_t Tag;
        std::string Name;
        bool IPv6;
        uint64_t Generation;
        int64_t Queued; // Clock() when it was queued
    };
    std::mutex Lock; // guards every member below
    std::condition_variable Wake;
    std::deque<TJob> Jobs;
    std::deque<TDNSSystemLookupResult> Results;
    size_t Threads = 0;
    size_t Idle = 0;
    size_t MaxThreads = 1;
    uint64_t Generation = 0;
    bool Stopping = false;
    bool Posted = false; // a MSG_DNS_LOOKUPS_DONE is on its way
    TMailboxId Window = 0;
    std::function<int64_t()> Clock = MonotonicMillis;

    // The result of a lookup that goes to the proxy's thread; posts the message for it.
    void Deliver(TDNSSystemLookupResult result) {
        Results.push_back(std::move(result));
        if (!Posted)
            Posted = PostToMailbox(Window, MSG_DNS_LOOKUPS_DONE, 0, 0);
    }
};

TDNSSystemLookupResult DNSSystemLookup(uint32_t tag, const std::string& name, bool ipv6) {
    TDNSSystemLookupResult r;
    r.Tag = tag;
    r.IPv6 = ipv6;
    std::string message;
    if (!ipv6) {
        ResolveHostNoRaise(name, r.Addresses, r.ErrorCode, message);
        return r;
    }
    try {
        if (!HostResolverInstalled())
            for (const TSocketAddr& a : ResolveHost(name, TIPAddressFamily::iaIP6))
                r.Addresses6.push_back(a.Addr);
    } catch (const std::exception&) {
    }
    if (r.Addresses6.empty()) {
        // No IPv6 address: whether the name exists at all decides between "no such name" and
        // "no records of this type".
        TIP4AddrArray v4;
        ResolveHostNoRaise(name, v4, r.ErrorCode, message);
    }
    return r;
}

TDNSSystemLookupPool::TDNSSystemLookupPool(size_t maxThreads) : FState(std::make_shared<TState>()) {
    FState->MaxThreads = std::max<size_t>(1, maxThreads);
    FState->Window = GetMailbox();
}

TDNSSystemLookupPool::~TDNSSystemLookupPool() {
    std::lock_guard<std::mutex> lock(FState->Lock);
    FState->Stopping = true;
    FState->Jobs.clear();
    FState->Wake.notify_all();
}

void TDNSSystemLookupPool::Start(uint32_t tag, const std::string& name, bool ipv6) {
    std::lock_guard<std::mutex> lock(FState->Lock);
    FState->Jobs.push_back({tag, name, ipv6, FState->Generation, FState->Clock()});
    if (FState->Idle > 0 || FState->Threads >= FState->MaxThreads) {
        FState->Wake.notify_one();
        return;
    }
    ++FState->Threads;
    std::shared_ptr<TState> state = FState;
    try {
        StartThread([state] {
            std::unique_lock<std::mutex> l(state->Lock);
            for (;;) {
                ++state->Idle;
                state->Wake.wait(l, [&] { return state->Stopping || !state->Jobs.empty(); });
                --state->Idle;
                if (state->Stopping)
                    break;
                TState::TJob job = std::move(state->Jobs.front());
                state->Jobs.pop_front();
                if (state->Clock() - job.Queued > kDNSClientPatienceMs) {
                    TDNSSystemLookupResult expired{job.Tag, job.IPv6, 0, true, {}, {}};
                    state->Deliver(std::move(expired));
                    continue;
                }
                l.unlock();
                TDNSSystemLookupResult r = DNSSystemLookup(job.Tag, job.Name, job.IPv6);
                l.lock();
                if (job.Generation != state->Generation || state->Stopping)
                    continue;
                state->Deliver(std::move(r));
            }
            --state->Threads;
        }).detach();
    } catch (const std::exception&) {
        // No thread to be had: the job waits for a worker that exists, or for none.
        --FState->Threads;
        if (FState->Threads == 0) {
            FState->Jobs.pop_back();
            FState->Deliver(TDNSSystemLookupResult{tag, ipv6, WSAENOBUFS, false, {}, {}});
        }
    }
}

void TDNSSystemLookupPool::Clear() {
    std::lock_guard<std::mutex> lock(FState->Lock);
    ++FState->Generation;
    FState->Jobs.clear();
    FState->Results.clear();
}

size_t TDNSSystemLookupPool::ThreadCount() const {
    std::lock_guard<std::mutex> lock(FState->Lock);
    return FState->Threads;
}

size_t TDNSSystemLookupPool::QueuedCount() const {
    std::lock_guard<std::mutex> lock(FState->Lock);
    return FState->Jobs.size();
}

void TDNSSystemLookupPool::SetClock(std::function<int64_t()> clock) {
    std::lock_guard<std::mutex> lock(FState->Lock);
    FState->Clock = std::move(clock);
}

intptr_t TDNSSystemLookupPool::HandleLoopMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    if (msg != MSG_DNS_LOOKUPS_DONE)
        return TMailbox::HandleLoopMessage(msg, wParam, lParam);
    std::deque<TDNSSystemLookupResult> results;
    {
        std::lock_guard<std::mutex> lock(FState->Lock);
        results.swap(FState->Results);
        FState->Posted = false;
    }
    for (const TDNSSystemLookupResult& r : results)
        if (OnResult)
            OnResult(r);
    return 0;
}

} // namespace corvan
