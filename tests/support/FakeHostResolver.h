#pragma once
// A stand-in for the system's name lookup (SetHostResolver) for the life of one test: every name
// gets the answer the test set, and while the gate is shut each lookup waits in its worker
// thread, so "the lookup is still running" is a state the test holds as long as it needs. A
// lookup on the thread that made the fake (the test's, whose loop serves the sockets) is
// counted and answered at once, never held: code that blocks its thread on a lookup fails its
// test instead of hanging it. No network is involved.

#include "net/SocketHostLookup.h"
#include "net/SocketErrors.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace corvan::test {

class TFakeHostResolver {
public:
    // answer as for Answer; shut: lookups wait from the first on.
    explicit TFakeHostResolver(uint32_t answer = 0, bool shut = false)
        : FState(std::make_shared<TState>()) {
        FState->Address = answer;
        FState->Open = !shut;
        // The workers hold the state, not this object: a lookup released after the test's end
        // still finds it.
        std::shared_ptr<TState> state = FState;
        std::thread::id testThread = std::this_thread::get_id();
        FPrevious =
            SetHostResolver([state, testThread](const std::string& host, TIP4AddrArray& addresses,
                                                int& errorCode, std::string& errorMessage) {
                std::unique_lock<std::mutex> lock(state->Lock);
                state->Hosts.push_back(host);
                if (std::this_thread::get_id() == testThread) {
                    ++state->OnTestThread;
                } else {
                    ++state->Inside;
                    state->Cond.notify_all();
                    state->Cond.wait(lock, [&] { return state->Open; });
                    --state->Inside;
                    state->Cond.notify_all();
                }
                if (state->Address != 0) {
                    addresses.push_back(state->Address);
                } else {
                    errorCode = WSAHOST_NOT_FOUND;
                    errorMessage = "Host not found";
                }
            });
    }
    // Restores the system's lookup, lets held lookups finish and waits (bounded) until none is
    // inside the fake any more.
    ~TFakeHostResolver() {
        SetHostResolver(std::move(FPrevious));
        Open();
        WaitInside(0);
    }
    TFakeHostResolver(const TFakeHostResolver&) = delete;
    TFakeHostResolver& operator=(const TFakeHostResolver&) = delete;

    // The answer of every lookup that leaves the gate from now on: an IPv4 address in network
    // order, or 0 for "host not found".
    void Answer(uint32_t address) {
        std::lock_guard<std::mutex> lock(FState->Lock);
        FState->Address = address;
    }
    // Lookups started from now on wait at the gate until Open.
    void Shut() {
        std::lock_guard<std::mutex> lock(FState->Lock);
        FState->Open = false;
    }
    void Open() {
        {
            std::lock_guard<std::mutex> lock(FState->Lock);
            FState->Open = true;
        }
        FState->Cond.notify_all();
    }
    // Waits until exactly count lookups are inside the fake (held at a shut gate); false after
    // timeoutMs.
    bool WaitInside(int count, int timeoutMs = 10000) {
        std::unique_lock<std::mutex> lock(FState->Lock);
        return FState->Cond.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                     [&] { return FState->Inside == count; });
    }
    // Lookups made on the test's own thread (each one would have blocked it).
    int LookupsOnTestThread() const {
        std::lock_guard<std::mutex> lock(FState->Lock);
        return FState->OnTestThread;
    }
    // The names looked up so far, in order.
    std::vector<std::string> Hosts() const {
        std::lock_guard<std::mutex> lock(FState->Lock);
        return FState->Hosts;
    }

private:
    struct TState {
        // Lock: guards every field below.
        std::mutex Lock;
        std::condition_variable Cond;
        bool Open = true;
        uint32_t Address = 0;
        int Inside = 0;
        int OnTestThread = 0;
        std::vector<std::string> Hosts;
    };
    std::shared_ptr<TState> FState;
    THostResolver FPrevious;
};

// A name server that changes its answer, for the life of one test: the first lookup finds
// nothing, every later one gets address (network order). Any thread; no network.
class TChangingHostResolver {
public:
    explicit TChangingHostResolver(uint32_t address)
        : FLookups(std::make_shared<std::atomic<int>>(0)) {
        std::shared_ptr<std::atomic<int>> lookups = FLookups;
        FPrevious = SetHostResolver([lookups, address](const std::string&,
                                                       TIP4AddrArray& addresses, int& errorCode,
                                                       std::string& errorMessage) {
            if (lookups->fetch_add(1) == 0) {
                errorCode = WSAHOST_NOT_FOUND;
                errorMessage = "Host not found";
            } else {
                addresses.push_back(address);
            }
        });
    }
    ~TChangingHostResolver() { SetHostResolver(std::move(FPrevious)); }
    TChangingHostResolver(const TChangingHostResolver&) = delete;
    TChangingHostResolver& operator=(const TChangingHostResolver&) = delete;

    // Lookups answered so far.
    int Lookups() const { return FLookups->load(); }

private:
    std::shared_ptr<std::atomic<int>> FLookups;
    THostResolver FPrevious;
};

} // namespace corvan::test
