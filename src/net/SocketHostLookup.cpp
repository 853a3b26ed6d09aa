#include "net/SocketHostLookup.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>

namespace corvan {

namespace {
std::atomic<uint64_t> GNextRequest{1};

// GHostResolverLock: guards GHostResolver. Lock order: a leaf; the resolver is copied out
// and called without it.
std::mutex GHostResolverLock;
THostResolver GHostResolver;
} // namespace

THostResolver SetHostResolver(THostResolver resolver) {
    std::lock_guard<std::mutex> lock(GHostResolverLock);
    std::swap(GHostResolver, resolver);
    return resolver;
}

bool HostResolverInstalled() {
    std::lock_guard<std::mutex> lock(GHostResolverLock);
    return static_cast<bool>(GHostResolver);
}

namespace {
// Runs the system's lookup; what it raises becomes the error number and text.
template <typename F> void CatchLookupError(F&& lookup, int& errorCode, std::string& errorMessage) {
    try {
        lookup();
    } catch (const ESocketLib& e) {
        errorCode = e.ErrorCode ? e.ErrorCode : -1;
        errorMessage = e.Message();
    } catch (const std::exception& e) {
        errorCode = -1;
        errorMessage = e.what();
    }
}

// IPv4 addresses of the list, in its order.
TIP4AddrArray IP4Only(const TSocketAddrArray& list) {
    TIP4AddrArray r;
    for (const TSocketAddr& a : list)
        if (a.AddrFamily == TIPAddressFamily::iaIP4)
            r.push_back(a.AddrIP4());
    return r;
}

// The step every lookup method runs: both families, or IPv4 only as the callers before
// IPv6 knew it.
void ResolveForLookup(const std::string& host, bool allFamilies, TSocketAddrArray& addresses,
                      int& errorCode, std::string& errorMessage) {
    if (allFamilies) {
        ResolveHostAllNoRaise(host, addresses, errorCode, errorMessage);
        return;
    }
    TIP4AddrArray v4;
    ResolveHostNoRaise(host, v4, errorCode, errorMessage);
    addresses.clear();
    for (uint32_t a : v4)
        addresses.push_back(TSocketAddr::IP4(a));
}

template <typename TList>
bool LookupUnless(const std::string& host, const std::function<bool()>& stop, bool allFamilies,
                  TList& addresses, int& errorCode, TList (*take)(const TSocketHostLookup&)) {
    if (stop && stop())
        return false; // no worker for a lookup nobody waits for
    TSocketHostLookup lookup;
    lookup.AllFamilies = allFamilies;
    bool answered = false;
    lookup.OnComplete = [&](TSocketHostLookup*) { answered = true; };
    lookup.Lookup(host, 1);
    // A quit (a thread being ended) stops the wait as stop() does.
    while (!answered && !(stop && stop()))
        if (TMessageLoop::Current().WaitMessage() == TWaitResult::wrQuit)
            break;
    if (!answered) {
        lookup.Cancel();
        return false;
    }
    addresses = take(lookup);
    errorCode = lookup.ErrorCode();
    return true;
}
} // namespace

bool LookupHostUnless(const std::string& host, const std::function<bool()>& stop,
                      TIP4AddrArray& addresses, int& errorCode) {
    return LookupUnless<TIP4AddrArray>(
        host, stop, false, addresses, errorCode,
        [](const TSocketHostLookup& l) { return l.Addresses(); });
}

bool LookupHostUnless(const std::string& host, const std::function<bool()>& stop,
                      TSocketAddrArray& addresses, int& errorCode) {
    return LookupUnless<TSocketAddrArray>(
        host, stop, true, addresses, errorCode,
        [](const TSocketHostLookup& l) { return l.AllAddresses(); });
}

const TSocketAddr& FirstIP4Else(const TSocketAddrArray& addresses) {
    auto v4 = std::find_if(addresses.begin(), addresses.end(), [](const TSocketAddr& a) {
        return a.AddrFamily == TIPAddressFamily::iaIP4;
    });
    return v4 != addresses.end() ? *v4 : addresses.at(0);
}

TLocalTargetCheck CheckLocalTarget(const std::string& host, bool resolveHere,
                                   const std::function<bool()>& clientOnThisMachine,
                                   const std::function<bool()>& stop) {
    TLocalTargetCheck check;
    uint32_t numeric = 0;
    TSocketAddr literal;
    TSocketAddrArray addresses;
    // Every numeric form counts as the address it is: one the check passed by for a name
    // ("127.1", "2130706433") would still reach loopback through an up-stream proxy.
    if (IsNumericIP4Host(host, numeric)) {
        addresses = {TSocketAddr::IP4(numeric)};
    } else if (IsIPLiteral(host, literal)) {
        addresses = {literal};
    } else if (resolveHere && !host.empty()) {
        int errorCode = 0;
        if (!LookupHostUnless(host, stop, addresses, errorCode) || errorCode != 0 ||
            addresses.empty()) {
            check.Outcome = TLocalTargetCheck::Unresolved;
            return check;
        }
    }
    // This machine's IPv6 addresses reach it as ::1 does; read only when there is an IPv6
    // address to judge.
    TSocketAddrArray local6;
    if (std::any_of(addresses.begin(), addresses.end(), [](const TSocketAddr& a) {
            return UnmapIP4(a).AddrFamily == TIPAddressFamily::iaIP6;
        }))
        local6 = LocalIP6Addresses();
    bool local = std::any_of(addresses.begin(), addresses.end(), [&](const TSocketAddr& a) {
        return IsLocalTargetAddress(a, local6);
    });
    if (local && !(clientOnThisMachine && clientOnThisMachine())) {
        check.Outcome = TLocalTargetCheck::RefusedAsLocal;
    } else if (resolveHere && !addresses.empty()) {
        check.ConnectAddresses = std::move(addresses);
    }
    return check;
}

std::string TLocalTargetCheck::ConnectHost() const {
    // An IPv4 address first, as before IPv6 was known here: a host whose IPv6 address this
    // machine cannot reach keeps working.
    if (ConnectAddresses.empty())
        return {};
    return SocketAddrLiteral(FirstIP4Else(ConnectAddresses));
}

void ResolveHostAllNoRaise(const std::string& host, TSocketAddrArray& addresses, int& errorCode,
                           std::string& errorMessage) {
    addresses.clear();
    if (HostResolverInstalled()) {
        TIP4AddrArray v4;
        ResolveHostNoRaise(host, v4, errorCode, errorMessage);
        for (uint32_t a : v4)
            addresses.push_back(TSocketAddr::IP4(a));
        return;
    }
    errorCode = 0;
    errorMessage.clear();
    CatchLookupError([&] { addresses = ResolveHostAll(host); }, errorCode, errorMessage);
}

void ResolveHostNoRaise(const std::string& host, TIP4AddrArray& addresses, int& errorCode,
                        std::string& errorMessage) {
    addresses.clear();
    errorCode = 0;
    errorMessage.clear();
    THostResolver resolver;
    {
        // A copy: the resolver may be replaced while this one runs.
        std::lock_guard<std::mutex> lock(GHostResolverLock);
        resolver = GHostResolver;
    }
    if (resolver) {
        resolver(host, addresses, errorCode, errorMessage);
        return;
    }
    CatchLookupError([&] { addresses = ResolveHostIP4(host); }, errorCode, errorMessage);
}

// --- method 1 ---------------------------------------------------------------------------------

struct TAsyncHostLookup::TRequest {
    std::string Host;
    bool AllFamilies = false;
    // Written by the worker before it posts the reply; read by the mailbox after the reply
    // (the post's lock orders the two).
    TSocketAddrArray Addresses;
    int ErrorCode = 0;
    std::string ErrorMessage;
};

TAsyncHostLookup::~TAsyncHostLookup() {
    DestroyMailbox();
}

void TAsyncHostLookup::Start(const std::string& host, bool allFamilies) {
    Cancel();
    auto request = std::make_shared<TRequest>();
    request->Host = host;
    request->AllFamilies = allFamilies;
    uint64_t number = GNextRequest.fetch_add(1);
    TMailboxId window = GetMailbox();
    FPending = number;
    FRequest = request;
    StartThread([request, number, window] {
        ResolveForLookup(request->Host, request->AllFamilies, request->Addresses,
                         request->ErrorCode, request->ErrorMessage);
        PostToMailbox(window, MSG_HOSTLOOKUP_NAME, static_cast<uintptr_t>(number), 0);
    }).detach();
}

void TAsyncHostLookup::Cancel() {
    if (FPending == 0)
        return;
    uint64_t number = FPending;
    FPending = 0;
    FRequest.reset();
    PostToSelf(MSG_HOSTLOOKUP_CANCELLED, static_cast<uintptr_t>(number), 0);
}

intptr_t TAsyncHostLookup::HandleLoopMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    if (msg == MSG_HOSTLOOKUP_NAME || msg == MSG_HOSTLOOKUP_ADDR) {
        if (FPending == 0 || wParam != FPending)
            return 0; // a late reply of a cancelled or replaced request
        std::shared_ptr<TRequest> request = std::move(FRequest);
        FPending = 0;
        if (FOwner && FOwner->FRequester.get() == this)
            FOwner->Deliver(std::move(request->Addresses), request->ErrorCode,
                            std::move(request->ErrorMessage));
        return 0;
    }
    if (msg == MSG_HOSTLOOKUP_CANCELLED)
        return 0;
    return TMailbox::HandleLoopMessage(msg, wParam, lParam);
}

// --- methods 2 and 3 --------------------------------------------------------------------------

struct TThreadHostLookupThread::TState {
    TMailboxId ReplyWindow = 0;
    // Lock: guards every field below. Lock order: a leaf; the lookup thread releases it before
    // resolving and before PostToMailbox.
    std::mutex Lock;
    std::condition_variable Cond;
    bool Terminated = false;
    bool HasWork = false;
    std::string Host;
    bool AllFamilies = false;
    uint64_t Request = 0;
    uint64_t ResultRequest = 0;
    TSocketAddrArray Addresses;
    int ErrorCode = 0;
    std::string ErrorMessage;
    bool Running = false;
};

TThreadHostLookupThread::TThreadHostLookupThread(TMailboxId replyWindow)
    : FState(std::make_shared<TState>()) {
    FState->ReplyWindow = replyWindow;
}

TThreadHostLookupThread::~TThreadHostLookupThread() {
    Detach();
}

void TThreadHostLookupThread::Start(const std::string& host, uint64_t request,
                                    bool allFamilies) {
    bool spawn;
    {
        std::lock_guard<std::mutex> lock(FState->Lock);
        FState->Host = host;
        FState->AllFamilies = allFamilies;
        FState->Request = request;
        FState->HasWork = true; // a running lookup sees this as its restart request
        spawn = !FState->Running;
        FState->Running = true;
    }
    FState->Cond.notify_all();
    if (!spawn)
        return;
    std::shared_ptr<TState> state = FState;
    StartThread([state] {
        std::unique_lock<std::mutex> lock(state->Lock);
        for (;;) {
            state->Cond.wait(lock, [&] { return state->HasWork || state->Terminated; });
            if (state->Terminated)
                return;
            state->HasWork = false;
            std::string host = state->Host;
            bool allFamilies = state->AllFamilies;
            uint64_t request = state->Request;
            lock.unlock();
            TSocketAddrArray addresses;
            int code;
            std::string text;
            ResolveForLookup(host, allFamilies, addresses, code, text);
            lock.lock();
            if (state->Terminated)
                return;
            if (state->HasWork)
                continue; // restarted meanwhile: this result is stale
            state->ResultRequest = request;
            state->Addresses = std::move(addresses);
            state->ErrorCode = code;
            state->ErrorMessage = std::move(text);
            lock.unlock();
            PostToMailbox(state->ReplyWindow, MSG_HOSTLOOKUP_NAME, static_cast<uintptr_t>(request), 0);
            lock.lock();
        }
    }).detach();
}

void TThreadHostLookupThread::Detach() {
    if (!FState)
        return;
    {
        std::lock_guard<std::mutex> lock(FState->Lock);
        FState->Terminated = true;
    }
    FState->Cond.notify_all();
}

bool TThreadHostLookupThread::TakeResult(uint64_t request, TSocketAddrArray& addresses, int& errorCode,
                                         std::string& errorMessage) {
    std::lock_guard<std::mutex> lock(FState->Lock);
    if (FState->ResultRequest != request || request == 0)
        return false;
    FState->ResultRequest = 0;
    addresses = std::move(FState->Addresses);
    errorCode = FState->ErrorCode;
    errorMessage = std::move(FState->ErrorMessage);
    return true;
}

// --- TSocketHostLookup ------------------------------------------------------------------------

TSocketHostLookup::TSocketHostLookup() = default;

TSocketHostLookup::~TSocketHostLookup() {
    FThread.reset(); // detaches
    FRequester.reset();
    FReplyWindow.reset();
}

void TSocketHostLookup::Lookup(const std::string& host, uint8_t method) {
    if (FState == lsInProgress)
        throw ESocketHostLookup("Lookup in progress");
    Host.clear();
    FAddresses.clear();
    FAllAddresses.clear();
    FErrorCode = 0;
    FErrorMessage.clear();
    FState = lsIdle;
    Host = host;
    Method = method;
    Start();
}

void TSocketHostLookup::Start() {
    if (FState == lsInProgress)
        throw ESocketHostLookup("Lookup in progress");
    if (Host.empty())
        throw ESocketHostLookup("Host not assigned");
    FAddresses.clear();
    FAllAddresses.clear();
    FErrorCode = 0;
    FErrorMessage.clear();
    FState = lsInProgress;
    EnsureSocketsStarted();
    if (OnStart)
        OnStart(this);
    switch (Method) {
    case 0: {
        TSocketAddrArray addresses;
        int code;
        std::string text;
        ResolveForLookup(Host, AllFamilies, addresses, code, text);
        Deliver(std::move(addresses), code, std::move(text));
        return;
    }
    case 1:
        if (!FRequester)
            FRequester = std::make_unique<TAsyncHostLookup>(this);
        FRequester->Start(Host, AllFamilies);
        return;
    default:
        if (!FReplyWindow) {
            FReplyWindow = std::make_unique<TMailbox>();
            FReplyWindow->OnMessage = [this](uint32_t msg, uintptr_t wParam, intptr_t,
                                             bool& handled) -> intptr_t {
                if (msg == MSG_HOSTLOOKUP_NAME) {
                    handled = true;
                    ThreadReply(wParam);
                }
                return 0;
            };
        }
        if (!FThread)
            FThread = std::make_unique<TThreadHostLookupThread>(FReplyWindow->GetMailbox());
        FThreadRequest = GNextRequest.fetch_add(1);
        FThread->Start(Host, FThreadRequest, AllFamilies);
        return;
    }
}

void TSocketHostLookup::ThreadReply(uint64_t request) {
    if (!FThread || request != FThreadRequest || FState != lsInProgress)
        return;
    TSocketAddrArray addresses;
    int code;
    std::string text;
    if (!FThread->TakeResult(request, addresses, code, text))
        return;
    FThreadRequest = 0;
    Deliver(std::move(addresses), code, std::move(text));
}

void TSocketHostLookup::Cancel() {
    if (FState != lsInProgress)
        return;
    FState = lsCancelled;
    if (Method == 1) {
        if (FRequester)
            FRequester->Cancel();
    } else if (Method != 0) {
        FThread.reset(); // detached: its result goes nowhere
        FThreadRequest = 0;
    }
}

void TSocketHostLookup::Deliver(TSocketAddrArray addresses, int errorCode,
                                std::string errorMessage) {
    if (FState == lsCancelled)
        return;
    FAddresses = IP4Only(addresses);
    FAllAddresses = std::move(addresses);
    FErrorCode = errorCode;
    FErrorMessage = std::move(errorMessage);
    Complete();
}

void TSocketHostLookup::Complete() {
    if (FState == lsCancelled)
        return;
    FState = lsComplete;
    // A copy: the handler may free this object.
    auto handler = OnComplete;
    if (handler)
        handler(this);
}

} // namespace corvan
