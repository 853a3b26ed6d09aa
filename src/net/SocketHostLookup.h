#pragma once
// Turning a host name into addresses without stopping the thread that asked: IPv4 ones, or
// both families for a lookup with AllFamilies.
//
// TSocketHostLookup runs one lookup at a time by one of three methods:
//  0  in the caller (blocks it; completes inside Start);
//  1  TAsyncHostLookup: a worker thread resolves and posts the reply to a mailbox of the
//     requesting thread, so OnComplete runs on the thread that called Start;
//  2, 3  TThreadHostLookupThread: a worker thread of the lookup object, reused for later
//     lookups; its reply, too, is posted to the thread that created the lookup object.
// Lookup errors never raise: they arrive as ErrorCode (a socket error number, -1 without one)
// with OnComplete. Only misuse raises ESocketHostLookup. A cancelled or detached lookup's late
// result is dropped. No results are cached.

#include "net/SocketLib.h"
#include "net/EventLoop.h"

#include <functional>
#include <memory>
#include <string>

namespace corvan {

class ESocketHostLookup : public Exception {
public:
    using Exception::Exception;
};

class TSocketHostLookup;

// Method 1: one worker per request; the reply is MSG_HOSTLOOKUP_NAME(request number) to this
// mailbox. A reply whose number is not the pending request is ignored.
class TAsyncHostLookup : public TMailbox {
public:
    explicit TAsyncHostLookup(TSocketHostLookup* owner) : FOwner(owner) {}
    ~TAsyncHostLookup() override;
    void Start(const std::string& host, bool allFamilies = false);
    // Forgets the pending request (its reply will be ignored) and posts
    // MSG_HOSTLOOKUP_CANCELLED(request) to itself.
    void Cancel();
    bool Pending() const { return FPending != 0; }

protected:
    intptr_t HandleLoopMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;

private:
    struct TRequest;
    TSocketHostLookup* FOwner;
    uint64_t FPending = 0;
    std::shared_ptr<TRequest> FRequest;
};

// Methods 2 and 3: a worker thread that waits for Start, resolves, and posts its result to the
// reply mailbox given at creation. Detach tells it to end; a detached thread's result is
// dropped and the thread frees itself.
class TThreadHostLookupThread {
public:
    struct TState;
    TThreadHostLookupThread(TMailboxId replyWindow);
    ~TThreadHostLookupThread(); // detaches
    void Start(const std::string& host, uint64_t request, bool allFamilies = false);
    void Detach();
    // The result of request, if it is the latest one finished; false otherwise.
    bool TakeResult(uint64_t request, TSocketAddrArray& addresses, int& errorCode,
                    std::string& errorMessage);

private:
    std::shared_ptr<TState> FState;
};

class TSocketHostLookup {
public:
    enum TLookupState : uint8_t { lsIdle = 0, lsInProgress = 1, lsComplete = 2, lsCancelled = 3 };

    TSocketHostLookup();
    ~TSocketHostLookup(); // detaches the worker thread and frees the requester
    TSocketHostLookup(const TSocketHostLookup&) = delete;
    TSocketHostLookup& operator=(const TSocketHostLookup&) = delete;

    std::string Host;
    uint8_t Method = 2;
    // Both families, in the resolver's order (AllAddresses); otherwise IPv4 only.
    bool AllFamilies = false;
    std::function<void(TSocketHostLookup* sender)> OnStart;
    std::function<void(TSocketHostLookup* sender)> OnComplete;

    // Resets the object, stores host and method, and starts. "Lookup in progress" while one runs.
    void Lookup(const std::string& host, uint8_t method);
    // "Lookup in progress", "Host not assigned".
    void Start();
    // Only while in progress: cancelled; the late result changes nothing and OnComplete is not
    // called.
    void Cancel();

    TLookupState State() const { return FState; }
    int ErrorCode() const { return FErrorCode; }
    const std::string& ErrorMessage() const { return FErrorMessage; }
    const TIP4AddrArray& Addresses() const { return FAddresses; }
    bool Succeeded() const { return FState == lsComplete && FErrorCode == 0; }
    size_t AddressCount() const { return FAddresses.size(); }
    uint32_t Address(size_t index) const { return FAddresses.at(index); }
    // Every address found (Addresses are its IPv4 ones).
    const TSocketAddrArray& AllAddresses() const { return FAllAddresses; }

private:
    friend class TAsyncHostLookup;
    // Stores a result and completes, unless cancelled.
    void Deliver(TSocketAddrArray addresses, int errorCode, std::string errorMessage);
    void Complete();
    void ThreadReply(uint64_t request);

    TLookupState FState = lsIdle;
    int FErrorCode = 0;
    std::string FErrorMessage;
    TIP4AddrArray FAddresses;
    TSocketAddrArray FAllAddresses;
    std::unique_ptr<TAsyncHostLookup> FRequester;
    std::unique_ptr<TThreadHostLookupThread> FThread;
    std::unique_ptr<TMailbox> FReplyWindow; // receives the worker thread's replies
    uint64_t FThreadRequest = 0;
};

// The resolution step shared by every method: addresses, or the error as a socket error
// number and text (never raises). Runs the installed host resolver, else the system's lookup.
void ResolveHostNoRaise(const std::string& host, TIP4AddrArray& addresses, int& errorCode,
                        std::string& errorMessage);

// Both families, in the resolver's order (ResolveHostAll). An installed stand-in (SetHostResolver)
// answers for it with its IPv4 addresses.
void ResolveHostAllNoRaise(const std::string& host, TSocketAddrArray& addresses, int& errorCode,
                           std::string& errorMessage);

// Looks host up on a worker (method 1) while the calling thread serves its message loop, so
// that the wait ends as soon as stop() holds (asked after every message: a socket of this
// thread shut down by another thread wakes it) or a quit message arrives, rather than when
// the system's lookup gives up. True with addresses (possibly none) or errorCode set when the
// lookup answered; false when stopped first.
bool LookupHostUnless(const std::string& host, const std::function<bool()>& stop,
                      TIP4AddrArray& addresses, int& errorCode);
// The same for both families.
bool LookupHostUnless(const std::string& host, const std::function<bool()>& stop,
                      TSocketAddrArray& addresses, int& errorCode);

// The first IPv4 address of a list, else its first one, for a caller that uses a single
// address of a name. Raises std::out_of_range on an empty list.
const TSocketAddr& FirstIP4Else(const TSocketAddrArray& addresses);

// What CheckLocalTarget found about a connection's host.
struct TLocalTargetCheck {
    enum TOutcome : uint8_t {
        Allowed,        // the connection may go: to ConnectAddresses when set, else to host
        RefusedAsLocal, // it would take a client from elsewhere to this machine's loopback
        Unresolved,     // a name to resolve here gave no address, or its lookup was stopped:
                        // answered as not found, never looked up again to connect (a second
                        // answer could be loopback)
    } Outcome = Allowed;
    // With Allowed and resolveHere: every address judged, in the resolver's order, for the
    // connection to try (TOutboundRoute::ConnectAddresses), so that no second lookup answers
    // otherwise. Else empty.
    TSocketAddrArray ConnectAddresses;
    // With ConnectAddresses: the one of them for a caller that sends to a single address (see
    // CheckLocalTarget), as a literal; else empty.
    std::string ConnectHost() const;
};

// Whether a connection to host would take a client from elsewhere to this machine
// (IsLocalTargetAddress: IPv4 loopback or unspecified, also mapped into IPv6; IPv6 ::1, ::
// and this machine's own IPv6 addresses). A literal address, in any numeric IPv4 form
// (IsNumericIP4Host) or IPv6 (IsIPLiteral), is judged as it stands; a name, by every address
// of both families, only when resolveHere (the connection resolves it here, not an up-stream
// proxy), and an empty host not at all. ConnectAddresses are then every address judged, and
// ConnectHost the first IPv4 one, else the first IPv6 one (with its %scope).
// clientOnThisMachine is asked only about a local target; unset, the client counts as one
// from elsewhere.
TLocalTargetCheck CheckLocalTarget(const std::string& host, bool resolveHere,
                                   const std::function<bool()>& clientOnThisMachine,
                                   const std::function<bool()>& stop);

// A stand-in for the system's lookup, with ResolveHostNoRaise's contract. It runs on whichever
// thread resolves (a worker for methods 1 to 3) and must not raise.
using THostResolver = std::function<void(const std::string& host, TIP4AddrArray& addresses,
                                         int& errorCode, std::string& errorMessage)>;
// Installs resolver for every later lookup of the process (null: the system's lookup again) and
// answers the one it replaces. Tests use it to make lookups deterministic without a network: a
// name that resolves only when the test lets it, a failure on demand. Any thread; a lookup
// already inside the old resolver finishes with it.
THostResolver SetHostResolver(THostResolver resolver);
// Whether a stand-in is installed. It answers IPv4 only: callers that look up IPv6 addresses
// take it as knowing none, so that no test reaches the system's resolver.
bool HostResolverInstalled();

} // namespace corvan
