#include "net/TCPServer.h"

#include "net/OwnConnections.h"
#include "util/Ticks.h"

#include <algorithm>
#include <chrono>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace corvan {

namespace {
std::atomic<uint64_t> GNextClientId{1};
} // namespace

// --- TTCPServerClient -------------------------------------------------------------------------

TTCPServerClient::TTCPServerClient(ATCPServer* server)
    : FServer(server), FId(GNextClientId.fetch_add(1)) {}

TTCPServerClient::~TTCPServerClient() {
    WaitLetGo();
    FStream.reset();
    FSocket.reset();
    if (FHandleOwned && FSocketHandle != INVALID_SOCKETHANDLE)
        SocketClose(FSocketHandle);
}

void TTCPServerClient::WaitLetGo() {
    // A thread still serving the client reads it to the end: it is terminated and let go of.
    bool held;
    {
        std::lock_guard<std::mutex> lock(ClientSocketLock);
        held = FHeld;
    }
    if (held) {
        Terminate();
        // The thread may be handing over (a log entry, the close event) right now.
        WaitServingJobs(ClientSocketLock, FLetGo, [this] { return !FHeld; });
    }
}

TTCPServerClientSocket* TTCPServerClient::GetSocket() {
    TTCPServerClientSocket* socket = MakeSocket(false);
    // Its taker may wait on it by any means (its own HandleMessage, another stream's wait).
    socket->WatchNow();
    return socket;
}

TTCPServerClientSocket* TTCPServerClient::MakeSocket(bool watchLater) {
    if (FSocket)
        return FSocket.get();
    // The accepted handle goes to exactly one socket. When making that socket fails, its base
    // has closed the handle, and the number may already belong to another descriptor of the
    // process (another thread's loop, another connection): it is never wrapped again.
    if (!FHandleOwned)
        throw ETCPServer("Client socket not available");
    FHandleOwned = false;
    std::unique_ptr<TTCPServerClientSocket> socket;
    try {
        socket = std::make_unique<TTCPServerClientSocket>(FSocketHandle, true, watchLater);
    } catch (...) {
        std::lock_guard<std::mutex> lock(ClientSocketLock);
        FSocketHandle = INVALID_SOCKETHANDLE;
        FSocketLost = true;
        throw;
    }
    socket->SetKnownPeer(FRemoteAddr);
    socket->SetReadEventTrigger(FServer->ClientReadTrigger.load());
    {
        std::lock_guard<std::mutex> lock(ClientSocketLock);
        FSocket = std::move(socket);
        // A Terminate that came while the socket was being made could not reach it.
        if (Terminated())
            FSocket->Terminate();
    }
    ApplyThrottle();
    return FSocket.get();
}

void TTCPServerClient::CreateStream(TSocketStreamMode mode) {
    // A blocking stream waits on the socket before it needs its notifications; a connection
    // that only goes on to a relay never enters the thread's loop.
    TTCPServerClientSocket* socket = MakeSocket(mode != smAsynchronous);
    FStream = std::make_unique<TSocketStream>(socket, FServer->ClientWriteBufferLimit.load(),
                                              FServer->ClientTimeout.load(), mode, false);
}

TSocketStream* TTCPServerClient::GetStream() {
    if (!FStream)
        CreateStream(smAsynchronous);
    return FStream.get();
}

int64_t TTCPServerClient::TotalBytes() const {
    std::lock_guard<std::mutex> lock(ClientSocketLock);
    if (FSocket)
        return FSocket->TotalBytesReceived() + FSocket->TotalBytesSent();
    return FTunnel ? FFinalBytes + FTunnel->EndBytes(0) : FFinalBytes;
}

void TTCPServerClient::RelayTunnel(TSocketStream& outbound, int bufferSize, TRelayEndHook onEnd) {
    TSocketStream& own = *GetStream();
    ATCPClientSocket* a = own.Socket();
    ATCPClientSocket* b = outbound.Socket();
    if (!Thread() || FTunnel || !a->Releasable() || !b->Releasable() || !RelayLoopsAvailable()) {
        TRelayTotals totals = RelayHere(own, outbound, bufferSize);
        if (onEnd)
            onEnd(totals);
        return;
    }
    // A relay passes bytes on as they come; the sender already chose how to segment them.
    // With the system's small-segment delay a second small write waits for the peer's
    // acknowledgement of the first (40 ms or more for a peer waiting for the rest).
    if (!FServer->FListenNoDelay)
        (void)SocketSetNoDelay(a->SocketHandle(), true); // without it only slower, never wrong
    (void)SocketSetNoDelay(b->SocketHandle(), true);
    TRelayEnd ownEnd, outEnd;
    ownEnd.TimeoutMs = own.Timeout;
    outEnd.TimeoutMs = outbound.Timeout;
    std::shared_ptr<TRelayTunnel> tunnel;
    {
        // Released and published under the lock: a throttle change (ApplyThrottle) meanwhile
        // reaches either the socket before it is released or the tunnel.
        std::lock_guard<std::mutex> lock(ClientSocketLock);
        bool released = a->ReleaseToRelay(ownEnd);
        released = b->ReleaseToRelay(outEnd) && released;
        FTunnel = MakeRelayTunnel(std::move(ownEnd), std::move(outEnd), bufferSize);
        // A switch ApplyThrottle posted to the socket's thread may not have reached the
        // socket before its release copied its own: the tunnel takes the server's now.
        FTunnel->SetThrottle(0, ServerThrottle());
        tunnel = FTunnel;
        // Started by the thread once it has let go of the client (TTCPServerClientThread::Serve).
        FTunnelEnd = std::move(onEnd);
        // A side terminated between the check and the release ends the tunnel as it starts.
        if (Terminated() || !released)
            FTunnel->Terminate();
    }
    // Most tunnels carry one exchange: this thread relays it and ends it when it is started,
    // rather than waking a relay loop for it (Terminate still reaches it through the tunnel).
    // Only while that costs the pool no thread it would not keep: in a burst, every thread
    // held here would make it start one more.
    if (FServer->RoomToRelayBriefly())
        RelayBriefly(tunnel);
}

void TTCPServerClient::TunnelEnded(const TRelayTotals& totals) {
    TRelayEndHook onEnd;
    {
        std::lock_guard<std::mutex> lock(ClientSocketLock);
        onEnd = std::move(FTunnelEnd);
    }
    if (onEnd)
        try {
            onEnd(totals);
        } catch (...) {
            // The tunnel is over either way; what the hook would have recorded is lost.
        }
    {
        std::lock_guard<std::mutex> lock(ClientSocketLock);
        FFinalBytes += FTunnel->EndBytes(0);
        FTunnel.reset();
        // Fired by the main thread with the done message, as for a connection ended on its
        // thread: a terminated client gets no close event.
        FCloseOwed = !Terminated();
    }
    FServer->ClientLetGo(this); // the last touch of the client
}

void TTCPServerClient::FreeConnection() {
    FStream.reset();
    std::unique_ptr<TTCPServerClientSocket> socket;
    {
        std::lock_guard<std::mutex> lock(ClientSocketLock);
        if (FSocket)
            FFinalBytes = FSocket->TotalBytesReceived() + FSocket->TotalBytesSent();
        socket = std::move(FSocket);
    }
    socket.reset(); // outside the lock: closing takes the loop's locks
}

void TTCPServerClient::Log(TServerLogType logType, const std::string& msg) {
    FServer->LogAnywhere(logType, msg, Id());
}

TRelayThrottle TTCPServerClient::ServerThrottle() const {
    return {FServer->ThrottleRead(), FServer->ReadThrottleRate(), FServer->ThrottleWrite(),
            FServer->WriteThrottleRate()};
}

void TTCPServerClient::ApplyThrottle() {
    std::lock_guard<std::mutex> lock(ClientSocketLock);
    if (FTunnel)
        FTunnel->SetThrottle(0, ServerThrottle());
    if (!FSocket)
        return;
    FSocket->SetReadThrottleRate(FServer->ReadThrottleRate());
    FSocket->SetThrottleRead(FServer->ThrottleRead());
    FSocket->SetWriteThrottleRate(FServer->WriteThrottleRate());
    FSocket->SetThrottleWrite(FServer->ThrottleWrite());
}

void TTCPServerClient::Execute() {
    if (!Terminated())
        FServer->TriggerClientExecute(this);
}

TTCPServerClientThread* TTCPServerClient::Thread() const {
    std::lock_guard<std::mutex> lock(ClientSocketLock);
    return FThread;
}

void TTCPServerClient::Terminate() {
    // The client only: its thread goes on to serve others.
    FTerminated.store(true, std::memory_order_release);
    std::lock_guard<std::mutex> lock(ClientSocketLock);
    TerminateSocketLocked();
}

void TTCPServerClient::TerminateSocketLocked() {
    if (FTunnel)
        FTunnel->Terminate();
    if (!FSocket)
        return;
    FSocket->Terminate();
    if (FThread && FSocket->HasMailbox())
        PostToMailbox(FSocket->Mailbox(), MSG_QUIT, 0, 0);
}

bool TTCPServerClient::StillRunning() const {
    if (Terminated())
        return false;
    std::lock_guard<std::mutex> lock(ClientSocketLock);
    if (FSocketLost)
        return false;
    return !FSocket || !FSocket->Terminated();
}

// --- TTCPServerClientThread -------------------------------------------------------------------

namespace {
std::atomic<uint64_t> GNextClientThreadNumber{1};
} // namespace

TTCPServerClientThread::TTCPServerClientThread(ATCPServer* server,
                                               std::shared_ptr<TMessageLoop> loop)
    : FServer(server), FNumber(GNextClientThreadNumber.fetch_add(1)), FLoop(std::move(loop)) {}

TTCPServerClient* TTCPServerClientThread::Client() const {
    std::lock_guard<std::mutex> lock(FServer->PoolLock);
    return FClient;
}

void TTCPServerClientThread::Terminate() {
    TThread::Terminate();
    std::lock_guard<std::mutex> lock(FServer->PoolLock);
    FServer->FSlotFreed.notify_all();
    // The served client cannot be freed meanwhile: letting go of it takes PoolLock.
    if (!FClient)
        return;
    std::lock_guard<std::mutex> clientLock(FClient->ClientSocketLock);
    FClient->TerminateSocketLocked();
}

void TTCPServerClientThread::Log(TServerLogType logType, const std::string& msg) {
    if (TTCPServerClient* client = Client())
        client->Log(logType, msg);
}

bool TTCPServerClientThread::StillRunning(TTCPServerClient* client) const {
    return !Terminated() && client->StillRunning();
}

void TTCPServerClientThread::Step(TTCPServerClient* client, const char* prefix,
                                  const std::function<void()>& step) {
    try {
        step();
    } catch (const std::exception& e) {
        client->Log(ltError, prefix + std::string(e.what()));
    } catch (...) {
        client->Log(ltError, prefix + std::string("Unknown exception"));
    }
}

void TTCPServerClientThread::StartIdleClock() {
    auto now = std::chrono::steady_clock::now();
    FIdleDeadline = now + std::chrono::milliseconds(FServer->SpareThreadIdleMs.load());
    // Checked once: a thread that finds no surplus then waits its whole idle time, and the
    // ones that came after it end instead, so the waiting threads settle at MaxSpareThreads.
    FSurplusCheck = std::min(
        FIdleDeadline, now + std::chrono::milliseconds(FServer->SurplusSpareThreadIdleMs.load()));
}

void TTCPServerClientThread::Execute() {
    if (FLoop)
        TMessageLoop::Adopt(std::move(FLoop));
    FServer->RunPoolThread(this);
    if (FWaitDescriptor >= 0)
        ::close(FWaitDescriptor);
    FRunning.store(false, std::memory_order_release);
    PostToMailbox(FServer->FServerSocket->Mailbox(), MSG_SERVER_CLIENT_THREAD_END,
                  static_cast<uintptr_t>(FNumber), 0);
}

void TTCPServerClientThread::Serve(TTCPServerClient* client) {
    // What a former client left queued (a quit for its gone mailbox, say) is dropped here;
    // its sockets and timers went with it, so the system has nothing to report.
    TMessageLoop::Current().ProcessQueued();
    // The outbound connections this client opens count the passes its own connection carries.
    TServedConnection served(client->SocketHandle(), client->RemoteAddr(),
                             FServer->FListenPortNumber);
    if (StillRunning(client))
        Step(client, "Socket creation error: ", [&] { client->CreateStream(smBlockWaitMessage); });
    if (StillRunning(client))
        Step(client, "Client activate error: ", [&] {
            client->Activate();
            FServer->PostClientAdd(client);
        });
    if (StillRunning(client))
        Step(client, "Client execute error: ", [&] { client->Execute(); });
    if (StillRunning(client))
        Step(client, "Client deactivate error: ", [&] {
            client->Deactivate();
            // Fired by the main thread with the done message: this thread does not wait for
            // it, and the connection is closed at once.
            client->FCloseOwed = StillRunning(client);
        });
    // Counted before the socket closes, so that a peer that connects again as soon as it sees
    // the close is taken by a thread that knows this one is coming back (and makes no thread
    // for it).
    FServer->MarkReturning(this);
    // The socket's mailbox belongs to this thread's loop: freed here, before the thread serves
    // anyone else. Whatever happens, the client is let go of below.
    Step(client, "Client free error: ", [&] { client->FreeConnection(); });
    std::shared_ptr<TRelayTunnel> tunnel;
    {
        // Unpublished before the done message: a client freed on it must not stop this
        // thread, which goes on serving others.
        std::lock_guard<std::mutex> lock(FServer->PoolLock);
        FClient = nullptr;
        std::lock_guard<std::mutex> clientLock(client->ClientSocketLock);
        client->FThread = nullptr;
        tunnel = client->FTunnel;
    }
    if (tunnel) {
        // The client stays held by its tunnel, which ends it; this thread is free.
        StartRelay(tunnel, [client](const TRelayTotals& totals) { client->TunnelEnded(totals); });
        return;
    }
    FServer->ClientLetGo(client);
}

// --- ATCPServer -------------------------------------------------------------------------------

bool ATCPServer::RoomToRelayBriefly() const {
    std::lock_guard<std::mutex> lock(PoolLock);
    // Another thread waits besides the one that takes the next connection, so that one makes
    // no thread of its own meanwhile.
    return !FPoolClosed && (FWaiting > 1 ||
                            FClientThreads.size() < size_t(std::max(0, MaxSpareThreads.load())));
}

void ATCPServer::ClientLetGo(TTCPServerClient* client) {
    if (!FEndOnMainThread.load(std::memory_order_relaxed) && FinishHere(client))
        return;
    PostClientDone(client->Id());
    {
        // The last touch of the client: once FHeld is false its owner may free it.
        std::lock_guard<std::mutex> lock(client->ClientSocketLock);
        client->FHeld = false;
        client->FLetGo.notify_all();
    }
    TMessageLoop::Main().NotifyJobWaiters();
}

bool ATCPServer::FinishHere(TTCPServerClient* client) {
    // Still listed: a reader that finds the connection gone finds what it recorded.
    GuardedHook("Client close error: ", [&] { client->Finished(); });
    client->FFinishedHere = true;
    std::unique_ptr<TTCPServerClient> owned;
    {
        std::lock_guard<std::mutex> lock(ClientsLock);
        owned = UnlistClientLocked(client);
        if (!owned)
            return false;
        FClientCount.store(FClients.size(), std::memory_order_release);
        // Off the list, so a shutdown does not wait for it: it waits for this instead
        // (counted before the list lock is let go, so a shutdown that finds it gone sees it).
        std::lock_guard<std::mutex> finishing(FinishingLock);
        ++FFinishing;
    }
    // Lowered however what follows ends (a post out of memory, say): the last touch of the
    // server, as a shutdown waiting for it may free it at once.
    struct TFinished {
        ATCPServer* Server;
        ~TFinished() {
            bool wake;
            {
                std::lock_guard<std::mutex> lock(Server->FinishingLock);
                wake = --Server->FFinishing == 0 && Server->FShutdownWaits;
                if (wake)
                    Server->FFinished.notify_all();
            }
            if (wake)
                TMessageLoop::Main().NotifyJobWaiters();
        }
    } finished{this};
    FRemovedClientBytes += owned->TotalBytes();
    {
        std::lock_guard<std::mutex> lock(owned->ClientSocketLock);
        owned->FHeld = false;
    }
    owned.reset();
    SlotFreed();
    return true;
}

void ATCPServer::SlotFreed() {
    std::lock_guard<std::mutex> lock(PoolLock);
    FSlotFreed.notify_all();
    ResumeLoopAcceptingLocked();
    if (FAcceptPending.load() && FWaiting == 0 && !FPoolClosed && !FLoopListener &&
        !TMessageLoop::IsMainThread())
        // The main thread met the limit with no thread waiting: it watches again.
        PostToMailbox(FServerSocket->Mailbox(), MSG_SERVER_ACCEPT_AGAIN, 0, 0);
}

void ATCPServer::PostClientDone(uint64_t id) {
    TMailboxId window = FServerSocket->Mailbox();
    if (FAcceptPending.load())
        PostToMailbox(window, MSG_SERVER_CLIENT_DONE, static_cast<uintptr_t>(id), 0);
    else if (PostToMailboxLazily(window, MSG_SERVER_CLIENT_DONE, static_cast<uintptr_t>(id), 0,
                               kClientDoneMaxDelayMs) &&
             FAcceptPending.load())
        // The main thread reached the limit meanwhile and may be asleep: wake it now. The
        // second message for the same number finds no client and does nothing.
        PostToMailbox(window, MSG_SERVER_CLIENT_DONE, static_cast<uintptr_t>(id), 0);
}

ATCPServer::ATCPServer() : FServerSocket(std::make_unique<TTCPServerSocket>()) {
    FServerSocket->OnAccept = [this](TTCPServerSocket*) { AcceptPass(); };
    FServerSocket->OnClientDone = [this](uintptr_t id) { ClientDone(id); };
    FServerSocket->OnMessage = [this](uint32_t msg, uintptr_t wParam, intptr_t,
                                      bool& handled) -> intptr_t {
        if (msg == MSG_SERVER_CLIENT_ADD)
            ClientAddArrived(wParam);
        else if (msg == MSG_SERVER_CLIENT_THREAD_END)
            ClientThreadEnded(wParam);
        else if (msg == MSG_SERVER_LIMIT_REACHED) {
            // Still at the limit: a slot freed meanwhile takes the connection anyway, and
            // ClientLimitReached would close an idle connection for nothing.
            if (FActive && AtClientLimit())
                ClientLimitReached();
        } else if (msg == MSG_SERVER_ACCEPT_AGAIN)
            FServerSocket->WatchAccepts();
        else if (msg == MSG_SERVER_LOG)
            WriteQueuedLog();
        else if (msg == MSG_SERVER_ACCEPT_RETRY) {
            FAcceptRetryArmed = true;
            FServerSocket->PauseAccepting(static_cast<int>(wParam)); // its timer: AcceptPass
        } else
            return 0;
        handled = true;
        return 0;
    };
    FServerSocket->OnAcceptPaused = [this](TTCPServerSocket*, int error) {
        if (LoopServed())
            return; // the loop that met the shortage logged it (LogShortage)
        Log(ltError, JoinMessage("Accept paused", SocketErrorMessage(error)));
    };
    // The mailbox exists from the start, so client threads can always post to it.
    FServerSocket->GetMailbox();
    FRateWindow.Restart(GetTickCount());
}

ATCPServer::~ATCPServer() {
    FActive = false;
    // The pool first: its threads wait and accept on the listening descriptor.
    ShutdownClients();
    FServerSocket->Close();
    if (FStopDescriptor >= 0)
        ::close(FStopDescriptor);
}

void ATCPServer::ShutdownClients() {
    // No loop accepts from here on (waited for: a loop may be entering a client now).
    StopLoopAccepting();
    // Threads whose client ends from now on end too instead of waiting for connections, and
    // the waiting ones accept no more.
    ClosePool();
    std::vector<std::unique_ptr<TTCPServerClient>> clients;
    {
        // Moved out first: hand-overs served while the threads end may look at the list. A
        // connection a pool thread accepts from now on is dropped.
        std::lock_guard<std::mutex> lock(ClientsLock);
        FClientsClosed = true;
        clients = std::move(FClients);
        FClients.clear();
        FClientIndex.clear();
        FClientCount.store(0, std::memory_order_release);
    }
    // Clients that ended on their own thread or loop and are off the list already: that
    // thread is still in this server until it is done with them.
    {
        std::lock_guard<std::mutex> lock(FinishingLock);
        FShutdownWaits = true;
    }
    WaitServingJobs(FinishingLock, FFinished, [this] { return FFinishing == 0; });
    {
        std::lock_guard<std::mutex> lock(FinishingLock);
        FShutdownWaits = false;
    }
    for (auto it = clients.rbegin(); it != clients.rend(); ++it) {
        if (!(*it)->Terminated())
            (*it)->Terminate();
    }
    // Clients whose add was announced are owed their close, also when their done message
    // is still queued (lazily) as the server stops.
    std::vector<bool> announced;
    for (auto& c : clients) {
        announced.push_back(c->FAddDelivered);
        // A client being shut down is no longer announced.
        c->FAddDelivered = true;
    }
    // Every thread lets go of its client before any client is destroyed: a thread may still
    // be in a derived client's Execute, whose part would go first in its destructor.
    for (size_t i = 0; i < clients.size(); ++i) {
        TTCPServerClient* c = clients[i].get();
        c->WaitLetGo();
        GuardedHook("Client close error: ", [&] {
            if (announced[i] && c->FCloseOwed)
                TriggerClientClose(c);
            ClientFinished(c);
        });
        if (!c->FFinishedHere)
            GuardedHook("Client close error: ", [&] { c->Finished(); });
    }
    clients.clear();
    EndClientThreads();
}

void ATCPServer::EndClientThreads() {
    ClosePool();
    std::vector<std::unique_ptr<TTCPServerClientThread>> threads;
    {
        // Moved out first, as the clients above: each Stop serves hand-overs while it waits.
        // No thread is made once the pool is closed.
        std::lock_guard<std::mutex> lock(PoolLock);
        threads = std::move(FClientThreads);
        FClientThreads.clear();
    }
    for (auto& t : threads)
        t->Terminate();
    threads.clear(); // each stops (waits for) its thread
    std::lock_guard<std::mutex> lock(PoolLock);
    FWaiting = 0;
    FReturning = 0;
    FAccepting = 0;
    FSlotWaiters = 0;
    FLimitReported = false;
}

void ATCPServer::ClosePool() {
    std::lock_guard<std::mutex> lock(PoolLock);
    FPoolClosed = true;
    FSlotFreed.notify_all();
    if (FStopDescriptor >= 0) {
        uint64_t one = 1;
        // Stays readable until the next activation: every wait for connections returns.
        [[maybe_unused]] ssize_t n = ::write(FStopDescriptor, &one, sizeof one);
    }
}

size_t ATCPServer::SpareThreadCount() const {
    std::lock_guard<std::mutex> lock(PoolLock);
    return FPoolClosed ? 0 : static_cast<size_t>(FWaiting);
}

size_t ATCPServer::SlotWaiterCount() const {
    std::lock_guard<std::mutex> lock(PoolLock);
    return static_cast<size_t>(FSlotWaiters);
}

size_t ATCPServer::ClientThreadCount() const {
    std::lock_guard<std::mutex> lock(PoolLock);
    return FClientThreads.size();
}

TTCPServerClient* ATCPServer::Client(size_t index) const {
    std::lock_guard<std::mutex> lock(ClientsLock);
    return FClients.at(index).get();
}

uint64_t ATCPServer::ClientTotal() const {
    std::lock_guard<std::mutex> lock(ClientsLock);
    return FEndedClients + FClients.size();
}

void ATCPServer::WithClientsLocked(
    const std::function<void(const std::vector<TTCPServerClient*>&)>& fn) const {
    std::lock_guard<std::mutex> lock(ClientsLock);
    std::vector<TTCPServerClient*> clients;
    clients.reserve(FClients.size());
    for (const auto& c : FClients)
        clients.push_back(c.get());
    fn(clients);
}

void ATCPServer::LogAnywhere(TServerLogType logType, const std::string& msg, uint64_t client) {
    // Decided by the calling thread: a pool thread may log before anything of it is known
    // on the main thread.
    if (TMessageLoop::IsMainThread()) {
        // Entries queued before this one first (the main thread writes no entry early).
        WriteQueuedLog();
        ClientAddArrived(client);
        Log(logType, msg);
        return;
    }
    bool post;
    {
        std::lock_guard<std::mutex> lock(LogQueueLock);
        FLogQueue.push_back({logType, msg, client});
        post = !std::exchange(FLogPosted, true);
    }
    if (post)
        PostToMailbox(FServerSocket->Mailbox(), MSG_SERVER_LOG, 0, 0);
}

void ATCPServer::WriteQueuedLog() {
    std::vector<TQueuedLogEntry> entries;
    {
        std::lock_guard<std::mutex> lock(LogQueueLock);
        entries.swap(FLogQueue);
        FLogPosted = false;
    }
    for (TQueuedLogEntry& e : entries) {
        // A client's add event comes before its entries, as it would have in order.
        ClientAddArrived(e.Client);
        try {
            Log(e.Type, e.Text);
        } catch (...) {
            // The log hook failed: this entry is lost, the next ones are written.
        }
    }
}

void ATCPServer::GuardedHook(const char* prefix, const std::function<void()>& hook) {
    try {
        hook();
    } catch (const std::exception& e) {
        LogAnywhere(ltError, prefix + std::string(e.what()));
    } catch (...) {
        LogAnywhere(ltError, prefix + std::string("Unknown exception"));
    }
}

void ATCPServer::Log(TServerLogType logType, const std::string& msg) {
    if (OnLog)
        OnLog(this, logType, msg);
    if (ALogTarget* log = FLogTo.Get())
        log->LogEntry(this, logType, msg);
}

void ATCPServer::RaiseError(const std::string& msg) {
    throw ETCPServer(msg);
}

void ATCPServer::SetListenPort(const std::string& value) {
    if (value == FListenPort)
        return;
    if (value.empty())
        RaiseError("Invalid ListenPort");
    if (FActive)
        RaiseError("Cannot change port while server is active");
    FListenPort = value;
}

void ATCPServer::SetLocalHost(const std::string& value) {
    if (value == FLocalHost)
        return;
    if (FActive)
        RaiseError("Cannot change local host while server is active");
    FLocalHost = value;
}

int ATCPServer::MaxBacklog() const {
    return FServerSocket->MaxBacklog();
}

void ATCPServer::SetMaxBacklog(int value) {
    FServerSocket->SetMaxBacklog(value);
}

namespace {
template <typename T, typename V> bool StoreChanged(std::atomic<T>& field, V value) {
    return field.exchange(static_cast<T>(value)) != static_cast<T>(value);
}
} // namespace

void ATCPServer::ApplyThrottleToClients() {
    std::lock_guard<std::mutex> lock(ClientsLock);
    for (auto& c : FClients)
        c->ApplyThrottle();
}

void ATCPServer::SetThrottleRead(bool value) {
    if (StoreChanged(FThrottleRead, value))
        ApplyThrottleToClients();
}

void ATCPServer::SetReadThrottleRate(int64_t value) {
    if (StoreChanged(FReadThrottleRate, value))
        ApplyThrottleToClients();
}

void ATCPServer::SetThrottleWrite(bool value) {
    if (StoreChanged(FThrottleWrite, value))
        ApplyThrottleToClients();
}

void ATCPServer::SetWriteThrottleRate(int64_t value) {
    if (StoreChanged(FWriteThrottleRate, value))
        ApplyThrottleToClients();
}

void ATCPServer::SetLoading(bool loading) {
    FLoading = loading;
    if (!loading && FStoredActive != FActive)
        SetActive(FStoredActive);
}

void ATCPServer::SetActive(bool value) {
    if (FLoading) {
        FStoredActive = value;
        return;
    }
    if (value == FActive)
        return;
    if (value) {
        if (FListenPort.empty())
            RaiseError("ListenPort not set");
        try {
            DoActivate();
        } catch (const std::exception& e) {
            std::string msg = "Server activation failed: " + std::string(e.what());
            Log(ltError, msg);
            RaiseError(msg);
        }
        FActivationTime = MonotonicMillis();
        FActive = true;
        FStoredActive = true;
        Log(ltInfo, "Server active. Listening on port " + FListenPort + ".");
        TriggerActive();
    } else {
        FActive = false;
        FStoredActive = false;
        try {
            DoDeactivate();
        } catch (const std::exception& e) {
            Log(ltError, "Server deactivation failed: " + std::string(e.what()));
        }
        Log(ltInfo, "Server shutdown.");
        TriggerInactive();
    }
}

void ATCPServer::DoActivate() {
    FServerSocket->SetLocalHost(FLocalHost);
    FServerSocket->SetListenPort(FListenPort);
    FAcceptPending = false;
    FAcceptRetryArmed = false;
    if (ClientMode == cmThread && FStopDescriptor < 0) {
        FStopDescriptor = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (FStopDescriptor < 0)
            RaiseError(JoinMessage("No stop descriptor", SocketErrorMessage(errno)));
    }
    FServerSocket->SetAcceptNoDelay(ClientMode == cmThread && ConnectionsWantNoDelay());
    FServerSocket->Listen();
    FListenHandle = FServerSocket->SocketHandle();
    FListenNoDelay = FServerSocket->AcceptNoDelay();
    {
        TSocketAddr bound;
        FListenPortNumber = SocketGetSockName(FListenHandle, bound) == 0 ? bound.Port : 0;
    }
    {
        std::lock_guard<std::mutex> clientsLock(ClientsLock);
        FClientsClosed = false;
        FEndedClients = 0;
    }
    FEndOnMainThread = ClientMode != cmThread || OnClientAdd || OnClientClose || OnClientRemove ||
                       ClientFinishedNeedsMainThread();
    {
        std::lock_guard<std::mutex> lock(PoolLock);
        FPoolClosed = false;
        FShortageLogged = false;
    }
    if (ClientMode == cmThread && ServesOnRelayLoops()) {
        // Set before the loops can call it; the pool serves when the loops are not available.
        TLoopListener* listener;
        {
            std::lock_guard<std::mutex> lock(PoolLock);
            FLoopListener = std::make_unique<TLoopListener>(this, FListenHandle);
            FLoopPaused = FLoopShortage = false;
            listener = FLoopListener.get();
        }
        if (!ListenOnRelayLoops(*listener)) {
            std::lock_guard<std::mutex> lock(PoolLock);
            FLoopListener.reset();
        }
    }
}

void ATCPServer::DoDeactivate() {
    FAcceptPending = false;
    // Every pool thread has ended before the listening descriptor closes: they wait and accept
    // on it.
    ShutdownClients();
    // What the ended threads logged comes before the shutdown line.
    WriteQueuedLog();
    FServerSocket->Close();
    FListenHandle = INVALID_SOCKETHANDLE;
    FNextClientLoop.reset();
    if (FStopDescriptor >= 0) {
        ::close(FStopDescriptor);
        FStopDescriptor = -1;
    }
}

void ATCPServer::TriggerActive() {
    if (OnActive)
        OnActive(this);
}

void ATCPServer::TriggerInactive() {
    if (OnInactive)
        OnInactive(this);
}

void ATCPServer::TriggerAccept() {
    if (OnAccept)
        OnAccept(this);
}

void ATCPServer::TriggerClientAdd(TTCPServerClient* client) {
    if (OnClientAdd)
        OnClientAdd(client);
}

void ATCPServer::TriggerClientClose(TTCPServerClient* client) {
    if (OnClientClose)
        OnClientClose(client);
}

void ATCPServer::TriggerClientExecute(TTCPServerClient* client) {
    if (OnClientExecute)
        OnClientExecute(client);
}

std::unique_ptr<TTCPServerClient> ATCPServer::CreateClient() {
    if (OnCreateClient)
        if (auto client = OnCreateClient(this))
            return client;
    return std::make_unique<TTCPServerClient>(this);
}

void ATCPServer::AcceptPass() {
    if (!FActive)
        return;
    if (ClientMode == cmThread && LoopServed()) {
        // The loops accept (and report the limit). The end of a pause for a shortage brings
        // them back; the first arrival, reported here too, does not (the listening socket
        // stays unwatched here from then on).
        if (!std::exchange(FAcceptRetryArmed, false))
            return;
        std::lock_guard<std::mutex> lock(PoolLock);
        ResumeLoopAcceptingLocked(true);
        return;
    }
    if (AtClientLimit()) {
        FAcceptPending = true;
        ClientLimitReached();
        return;
    }
    TriggerAccept();
    if (ClientMode == cmNone)
        return;
    if (ClientMode == cmThread) {
        // The pool accepts; the listening socket stays unwatched here until no thread waits.
        StartPoolThread();
        return;
    }
    while (FActive && !AtClientLimit()) {
        TTCPServerClient* client = AcceptClient();
        if (!client)
            break;
        StartClient(client);
    }
}

void ATCPServer::StartPoolThread() {
    {
        std::lock_guard<std::mutex> lock(PoolLock);
        if (FWaiting > 0 || FPoolClosed)
            return;
    }
    // Made before the thread: when descriptors have run out the connection stays in the
    // backlog, and the listening socket's pause brings this back.
    if (!PrepareClientLoop())
        return;
    {
        std::lock_guard<std::mutex> lock(PoolLock);
        if (FWaiting > 0 || FPoolClosed || StartPoolThreadLocked(std::move(FNextClientLoop)))
            return;
    }
    // Paused outside the lock: the pause is logged (OnLog).
    FServerSocket->PauseAccepting(WSAEMFILE);
}

bool ATCPServer::StartPoolThreadLocked(std::shared_ptr<TMessageLoop> loop) {
    if (FPoolClosed)
        return false;
    try {
        FClientThreads.push_back(TThread::Create<TTCPServerClientThread>(this, std::move(loop)));
    } catch (...) {
        return false;
    }
    TTCPServerClientThread* thread = FClientThreads.back().get();
    thread->SetStackSize(kClientThreadStackSize);
    try {
        // Started under PoolLock: its first step takes the lock, so it sees itself listed.
        thread->Start();
    } catch (...) {
        FClientThreads.pop_back();
        return false;
    }
    ++FWaiting;
    return true;
}

void ATCPServer::RunPoolThread(TTCPServerClientThread* thread) {
    thread->StartIdleClock();
    while (TTCPServerClient* client = NextConnection(thread)) {
        thread->Serve(client);
        if (!BackToPool(thread))
            return;
    }
}

namespace {
// Milliseconds from now until t, at least 0, for a poll; rounded up, so that a wait does not
// end just short of t and come back at once, again and again, in its last millisecond.
int MillisUntil(std::chrono::steady_clock::time_point t) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(t - std::chrono::steady_clock::now())
                    .count();
    return static_cast<int>(std::clamp<int64_t>(left, 0, INT32_MAX));
}
} // namespace

TTCPServerClient* ATCPServer::NextConnection(TTCPServerClientThread* thread) {
    // The loop of the thread this one makes once it takes a connection while no other waits
    // (kept by the thread while no successor needs it).
    std::shared_ptr<TMessageLoop>& successorLoop = thread->FSuccessorLoop;
    for (;;) {
        bool needSuccessor, reserved = false;
        {
            std::lock_guard<std::mutex> lock(PoolLock);
            if (thread->Terminated() || FPoolClosed) {
                StopWaitingLocked();
                return nullptr;
            }
            needSuccessor = FWaiting == 1 && FReturning == 0;
            // Reserved under the lock, so that no other thread takes the last slot meanwhile.
            reserved = ReserveSlotLocked();
        }
        if (reserved) {
            int error = 0;
            TTCPServerClient* client = nullptr;
            if (needSuccessor && !successorLoop) {
                try {
                    successorLoop = TMessageLoop::CreateForNewThread();
                } catch (const std::exception&) {
                    // Out of descriptors (or memory): the same condition as a failing accept.
                    error = WSAEMFILE;
                }
            }
            std::unique_lock<std::mutex> lock(PoolLock, std::defer_lock);
            error = AcceptReserved(thread, &client, lock, error);
            if (client) {
                thread->FClient = client;
                // Accepting never waits for this thread: when no other waits or comes back,
                // one is made before this one serves (counted as waiting at once).
                if (FWaiting == 1 && FReturning == 0 && successorLoop)
                    StartPoolThreadLocked(std::move(successorLoop));
                StopWaitingLocked();
                return client;
            }
            if (error == 0)
                continue; // refused or dropped: another may wait
            if (IsResourceExhaustion(error)) {
                // The connection waits in the backlog meanwhile (and the pool's lock is free).
                lock.unlock();
                PauseAcceptingHere(thread, error);
                continue;
            }
            if (error != WSAEWOULDBLOCK)
                continue; // taken by none (a peer gone at once, say): try again
        }
        auto next = std::min(thread->FSurplusCheck, thread->FIdleDeadline);
        // At the limit the thread must see every connection waiting, also one whose exclusive
        // wake-up went to a thread that is waiting for a slot now: it polls the listening
        // descriptor itself.
        int ready = WaitForConnection(thread, reserved ? kWaitExclusive : kWaitEvery,
                                      MillisUntil(next));
        if (ready < 0)
            continue; // stopped: seen above
        std::unique_lock<std::mutex> lock(PoolLock);
        if (ready == 0) {
            if (!IdleOverLocked(thread))
                continue;
            StopWaitingLocked();
            return nullptr;
        }
        if (!AtClientLimit(static_cast<size_t>(FAccepting)) || FPoolClosed || thread->Terminated())
            continue;
        // A connection waits at the limit (a reservation that comes to nothing wakes this
        // thread when it is given back).
        ReportLimitLocked();
        // Woken when a slot is freed or a reservation given back, the pool stops or the
        // thread is terminated.
        ++FSlotWaiters;
        FSlotFreed.wait(lock);
        --FSlotWaiters;
    }
}

bool ATCPServer::ReserveSlotLocked() {
    if (AtClientLimit(static_cast<size_t>(FAccepting)))
        return false;
    ++FAccepting;
    return true;
}

int ATCPServer::AcceptReserved(TTCPServerClientThread* thread, TTCPServerClient** client,
                               std::unique_lock<std::mutex>& lock, int error) {
    *client = nullptr;
    if (error == 0) {
        try {
            error = AcceptHere(thread, client);
        } catch (const std::exception&) {
            // Out of memory entering the client: the reservation is given back below.
            error = WSAENOBUFS;
        }
    }
    lock.lock();
    --FAccepting;
    // Threads that found the limit reached counting this reservation look again: it may have
    // come to nothing, or a connection may still be held back, to be reported afresh. Loops
    // stopped for it watch again.
    FSlotFreed.notify_all();
    if (error == 0) {
        FLimitReported = false;
        if (FAcceptPending.load(std::memory_order_relaxed))
            FAcceptPending = false; // a slot was free: done messages may go lazily again
    }
    // After the report flags: loops stopped at the limit report it afresh here.
    ResumeLoopAcceptingLocked();
    return error;
}

void ATCPServer::ReportLimitLocked() {
    // Told only of listed clients: a reservation may yet come to nothing. Once per time the
    // limit holds a connection back, as the main thread's accept notification did.
    if (FLimitReported || !AtClientLimit())
        return;
    FLimitReported = true;
    FAcceptPending = true;
    PostToMailbox(FServerSocket->Mailbox(), MSG_SERVER_LIMIT_REACHED, 0, 0);
}

void ATCPServer::LogShortage(int error) {
    if (!FShortageLogged.exchange(true))
        LogAnywhere(ltError, JoinMessage("Accept paused", SocketErrorMessage(error)));
}

void ATCPServer::AcceptOnLoop(std::vector<TRelayAdoption>& adopt) {
    // Room made first: handing a tunnel over then cannot fail for memory.
    adopt.reserve(adopt.size() + kLoopAcceptBatch);
    for (int taken = 0; taken < kLoopAcceptBatch; ++taken) {
        std::unique_lock<std::mutex> lock(PoolLock);
        if (FPoolClosed)
            return;
        if (!ReserveSlotLocked()) {
            // At the limit with a connection waiting: the loops stop watching (a readable
            // descriptor nobody takes would wake them again and again) until a slot frees.
            // With none waiting they go on watching, and the next arrival stops them.
            if (ConnectionWaiting()) {
                PauseLoopAcceptingLocked(false);
                ReportLimitLocked();
            }
            return;
        }
        lock.unlock();
        TTCPServerClient* client = nullptr;
        int error = AcceptReserved(nullptr, &client, lock);
        lock.unlock();
        if (client) {
            ServeOnLoop(client, adopt);
            continue;
        }
        if (error == 0)
            continue; // refused or dropped: another may wait
        if (IsResourceExhaustion(error)) {
            // The connection waits in the backlog; the main thread's timer brings the loops
            // back.
            LogShortage(error);
            lock.lock();
            PauseLoopAcceptingLocked(true);
            lock.unlock();
            PostToMailbox(FServerSocket->Mailbox(), MSG_SERVER_ACCEPT_RETRY,
                          static_cast<uintptr_t>(error), 0);
            return;
        }
        if (error == WSAEWOULDBLOCK)
            return;
        // Taken by none (a peer gone at once, say): the next may wait.
    }
}

void ATCPServer::ServeOnLoop(TTCPServerClient* client, std::vector<TRelayAdoption>& adopt) {
    PostClientAdd(client);
    TRelayEnd own, outbound;
    TRelayEndHook onEnd;
    int bufferSize = 0;
    bool made = false;
    // A protocol that answers a refusal needs a thread: such a connection is closed here.
    if (!client->Terminated() && !client->Refused()) {
        // The outbound connection counts the passes the accepted one carries.
        TServedConnection served(client->FSocketHandle, client->FRemoteAddr, FListenPortNumber);
        try {
            made = LoopOutbound(client, outbound, onEnd, bufferSize);
        } catch (const std::exception& e) {
            client->Log(ltError, "Client execute error: " + std::string(e.what()));
        }
    }
    {
        std::lock_guard<std::mutex> lock(client->ClientSocketLock);
        client->FHandleOwned = false; // the tunnel's, or closed now
        own.Handle = client->FSocketHandle;
        own.TimeoutMs = ClientTimeout.load();
        if (made) {
            // As RelayTunnel: bytes go on as they come (without it only slower, never wrong).
            if (!FListenNoDelay)
                (void)SocketSetNoDelay(own.Handle, true);
            (void)SocketSetNoDelay(outbound.Handle, true);
            // Holds one pointer: kept inside the function object, nothing to allocate.
            TRelayEndHook ended = [client](const TRelayTotals& totals) {
                client->TunnelEnded(totals);
            };
            std::shared_ptr<TRelayTunnel> tunnel;
            try {
                tunnel = MakeRelayTunnel(own, outbound, bufferSize);
            } catch (const std::exception& e) {
                // Out of memory: the connection ends here (the two descriptors were closed).
                client->Log(ltError, "Client execute error: " + std::string(e.what()));
                client->FCloseOwed = !client->Terminated();
                made = false;
            }
            if (made) {
                client->FTunnel = std::move(tunnel);
                client->FTunnel->SetThrottle(0, client->ServerThrottle());
                client->FTunnelEnd = std::move(onEnd);
                // A Terminate before the tunnel was published ends it as it starts.
                if (client->Terminated())
                    client->FTunnel->Terminate();
                adopt.push_back({client->FTunnel, std::move(ended)}); // room was made
                return;
            }
        } else {
            SocketClose(own.Handle);
            client->FCloseOwed = !client->Terminated();
        }
    }
    ClientLetGo(client);
}

void ATCPServer::PauseLoopAcceptingLocked(bool shortage) {
    if (!FLoopListener)
        return;
    FLoopShortage = FLoopShortage || shortage;
    if (std::exchange(FLoopPaused, true))
        return;
    WatchRelayListener(*FLoopListener, false);
}

void ATCPServer::ResumeLoopAcceptingLocked(bool retry) {
    if (!FLoopListener || !FLoopPaused || FPoolClosed || (FLoopShortage && !retry))
        return;
    FLoopShortage = false;
    // At the limit the next slot freed brings them back. The loop that stopped them found
    // the limit counting reservations; now that those are listed clients, it is reported.
    if (AtClientLimit(static_cast<size_t>(FAccepting))) {
        if (ConnectionWaiting())
            ReportLimitLocked();
        return;
    }
    FLoopPaused = false;
    WatchRelayListener(*FLoopListener, true);
}

bool ATCPServer::ConnectionWaiting() const {
    pollfd waiting{FListenHandle, POLLIN, 0};
    return ::poll(&waiting, 1, 0) == 1;
}

void ATCPServer::StopLoopAccepting() {
    TLoopListener* listener;
    {
        std::lock_guard<std::mutex> lock(PoolLock);
        listener = FLoopListener.get();
    }
    if (!listener)
        return;
    StopListeningOnRelayLoops(*listener);
    std::lock_guard<std::mutex> lock(PoolLock);
    FLoopListener.reset();
    FLoopPaused = FLoopShortage = false;
}

bool ATCPServer::LoopServed() const {
    std::lock_guard<std::mutex> lock(PoolLock);
    return FLoopListener != nullptr;
}

int ATCPServer::AcceptHere(TTCPServerClientThread* thread, TTCPServerClient** client) {
    *client = nullptr;
    TSocketAddr peer;
    int error = 0;
    TSocketHandle handle = FServerSocket->AcceptOnCaller(&peer, &error);
    if (handle == INVALID_SOCKETHANDLE)
        return error != 0 ? error : WSAEWOULDBLOCK;
    FShortageLogged = false;
    bool admitted = !Admission || Admission->Admit(peer);
    if (!admitted && CloseRefusedAtAccept) {
        SocketClose(handle);
        return 0;
    }
    std::unique_ptr<TTCPServerClient> owned = MakeClient(handle);
    if (!owned)
        return 0;
    TTCPServerClient* made = owned.get();
    {
        // Held by this thread before it is listed, so that no one frees it under it.
        std::lock_guard<std::mutex> lock(made->ClientSocketLock);
        made->FThread = thread;
        made->FHeld = true;
    }
    if (EnterClient(owned, handle, peer, admitted))
        *client = made;
    return 0; // not entered: shutting down, seen by the caller
}

int ATCPServer::PrepareWait(TTCPServerClientThread* thread) {
    if (thread->FWaitDescriptor >= 0)
        return 0;
    int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll < 0)
        return SocketErrorFromErrno(errno);
    epoll_event stop{EPOLLIN, {.u64 = 0}};
    int r = ::epoll_ctl(epoll, EPOLL_CTL_ADD, FStopDescriptor, &stop);
    // One arrival wakes one waiting thread, not every one (the kernel may still wake a second
    // now and then; it finds nothing and waits again).
    if (r == 0)
        r = EpollAddExclusive(epoll, FListenHandle, 1);
    if (r != 0) {
        int error = SocketErrorFromErrno(errno);
        ::close(epoll);
        return error;
    }
    thread->FWaitDescriptor = epoll;
    return 0;
}

int ATCPServer::WaitForConnection(TTCPServerClientThread* thread, TPoolWait how, int timeoutMs) {
    if (how != kWaitExclusive) {
        pollfd fds[2] = {{FStopDescriptor, POLLIN, 0}, {FListenHandle, POLLIN, 0}};
        int r = ::poll(fds, how == kWaitEvery ? 2 : 1, timeoutMs);
        if (r <= 0)
            return 0;
        return fds[0].revents ? -1 : 1;
    }
    if (int error = PrepareWait(thread)) {
        // Out of descriptors, say: the connection waits in the backlog meanwhile.
        PauseAcceptingHere(thread, error);
        return 0;
    }
    epoll_event events[2];
    int r = ::epoll_wait(thread->FWaitDescriptor, events, 2, timeoutMs);
    bool connection = false;
    for (int i = 0; i < r; ++i) {
        if (events[i].data.u64 == 0)
            return -1;
        connection = true;
    }
    return connection ? 1 : 0;
}

void ATCPServer::PauseAcceptingHere(TTCPServerClientThread* thread, int error) {
    LogShortage(error);
    // The stop descriptor only: the connection waits in the backlog meanwhile.
    WaitForConnection(thread, kWaitStop, AcceptRetryDelayMs.load());
}

void ATCPServer::StopWaitingLocked() {
    --FWaiting;
    // Nobody left to take a connection: the main thread watches the listening socket again
    // and makes a thread when one arrives.
    if (FWaiting == 0 && FReturning == 0 && !FPoolClosed)
        PostToMailbox(FServerSocket->Mailbox(), MSG_SERVER_ACCEPT_AGAIN, 0, 0);
}

bool ATCPServer::IdleOverLocked(TTCPServerClientThread* thread) {
    auto now = std::chrono::steady_clock::now();
    if (now >= thread->FIdleDeadline)
        return true;
    if (thread->FSurplusCheck >= thread->FIdleDeadline || now < thread->FSurplusCheck)
        return false;
    thread->FSurplusCheck = thread->FIdleDeadline;
    return FWaiting > std::max(0, MaxSpareThreads.load());
}

bool ATCPServer::MarkReturning(TTCPServerClientThread* thread) {
    std::lock_guard<std::mutex> lock(PoolLock);
    if (thread->Terminated() || FPoolClosed)
        return false;
    thread->FReturning = true;
    ++FReturning;
    return true;
}

bool ATCPServer::BackToPool(TTCPServerClientThread* thread) {
    std::lock_guard<std::mutex> lock(PoolLock);
    if (std::exchange(thread->FReturning, false))
        --FReturning;
    if (thread->Terminated() || FPoolClosed)
        return false;
    thread->StartIdleClock();
    ++FWaiting;
    return true;
}

std::unique_ptr<TTCPServerClient> ATCPServer::MakeClient(TSocketHandle handle) {
    std::unique_ptr<TTCPServerClient> client;
    try {
        client = CreateClient();
        if (!client)
            RaiseError("No client");
        client->Init();
    } catch (const std::exception& e) {
        SocketClose(handle);
        LogAnywhere(ltError, "Error creating client: " + std::string(e.what()));
        return nullptr;
    }
    return client;
}

bool ATCPServer::EnterClient(std::unique_ptr<TTCPServerClient>& client, TSocketHandle handle,
                             const TSocketAddr& peer, bool admitted) {
    client->FSocketHandle = handle;
    client->FHandleOwned = true;
    client->FRemoteAddr = peer;
    client->FRefused = !admitted;
    {
        std::lock_guard<std::mutex> lock(ClientsLock);
        if (!FClientsClosed) {
            FClientIndex[client->Id()] = client.get();
            client->FListPos = FClients.size();
            FClients.push_back(std::move(client));
            FClientCount.store(FClients.size(), std::memory_order_release);
            return true;
        }
    }
    {
        // Not served: let go of before it is freed (its destructor closes the handle).
        std::lock_guard<std::mutex> lock(client->ClientSocketLock);
        client->FThread = nullptr;
        client->FHeld = false;
    }
    client.reset();
    return false;
}

bool ATCPServer::PrepareClientLoop() {
    if (FNextClientLoop)
        return true;
    try {
        FNextClientLoop = TMessageLoop::CreateForNewThread();
        return true;
    } catch (const EMailbox&) {
        // Out of descriptors (or memory): the same condition as a failing accept.
        FServerSocket->PauseAccepting(WSAEMFILE);
        return false;
    }
}

TTCPServerClient* ATCPServer::AcceptClient() {
    TSocketAddr peer;
    TSocketHandle handle = INVALID_SOCKETHANDLE;
    bool admitted = true;
    for (int refused = 0;; ++refused) {
        if (refused == kMaxRefusalsPerAcceptPass) {
            // More may wait: taken after the loop's other events had their turn.
            FServerSocket->ContinueAccepting();
            return nullptr;
        }
        handle = FServerSocket->Accept(&peer);
        if (handle == INVALID_SOCKETHANDLE)
            return nullptr;
        admitted = !Admission || Admission->Admit(peer);
        if (admitted || !CloseRefusedAtAccept)
            break;
        SocketClose(handle);
    }
    std::unique_ptr<TTCPServerClient> client = MakeClient(handle);
    if (!client)
        return nullptr;
    TTCPServerClient* entered = client.get();
    return EnterClient(client, handle, peer, admitted) ? entered : nullptr;
}

void ATCPServer::StartClient(TTCPServerClient* client) {
    try {
        client->GetStream(); // smAsynchronous: events serve this client
        TTCPServerClientSocket* socket = client->GetSocket();
        socket->OnDataAvailable = [this, client](ATCPClientSocket*) {
            if (FActive && !client->Terminated() && OnClientDataAvailable)
                OnClientDataAvailable(client);
        };
        socket->OnClose = [this, client](ATCPClientSocket*) {
            if (FActive && !client->Terminated())
                TriggerClientClose(client);
            PostToMailbox(FServerSocket->Mailbox(), MSG_SERVER_CLIENT_DONE,
                          static_cast<uintptr_t>(client->Id()), 0);
        };
        TriggerClientAdd(client);
    } catch (const std::exception& e) {
        // No socket for it: the connection is closed and forgotten.
        Log(ltError, "Error creating client: " + std::string(e.what()));
        RemoveClient(client);
    }
}

void ATCPServer::ClientThreadEnded(uint64_t number) {
    std::unique_ptr<TTCPServerClientThread> thread;
    {
        std::lock_guard<std::mutex> lock(PoolLock);
        auto it = std::find_if(FClientThreads.begin(), FClientThreads.end(),
                               [&](const auto& t) { return t->Number() == number; });
        if (it == FClientThreads.end())
            return;
        thread = std::move(*it);
        FClientThreads.erase(it);
    }
    thread.reset(); // joins a thread that has posted its last message
}

void ATCPServer::PostClientAdd(TTCPServerClient* client) {
    if (!OnClientAdd)
        return;
    client->FAddPosted.store(true, std::memory_order_release);
    PostToMailbox(FServerSocket->Mailbox(), MSG_SERVER_CLIENT_ADD,
                static_cast<uintptr_t>(client->Id()), 0);
}

void ATCPServer::DeliverClientAdd(TTCPServerClient* client) {
    if (client->FAddDelivered || !client->FAddPosted.load(std::memory_order_acquire))
        return;
    client->FAddDelivered = true;
    TriggerClientAdd(client);
}

TTCPServerClient* ATCPServer::FindClient(uint64_t id) const {
    std::lock_guard<std::mutex> lock(ClientsLock);
    auto it = FClientIndex.find(id);
    return it == FClientIndex.end() ? nullptr : it->second;
}

void ATCPServer::ClientAddArrived(uint64_t id) {
    // Only where clients end on this thread: elsewhere one found here could be freed by its
    // own thread under the caller (and there is no add event to deliver anyway).
    if (id == 0 || !FEndOnMainThread.load(std::memory_order_relaxed))
        return;
    // By number: the client may have been freed meanwhile (deactivation).
    if (TTCPServerClient* client = FindClient(id))
        DeliverClientAdd(client);
}

std::unique_ptr<TTCPServerClient> ATCPServer::UnlistClientLocked(TTCPServerClient* client) {
    // Listed: its place holds it (a client taken off already may have a stale place).
    size_t pos = client->FListPos;
    if (pos >= FClients.size() || FClients[pos].get() != client)
        return nullptr;
    std::unique_ptr<TTCPServerClient> owned = std::move(FClients[pos]);
    // The last one takes its place: the list's order means nothing.
    if (pos + 1 != FClients.size()) {
        FClients[pos] = std::move(FClients.back());
        FClients[pos]->FListPos = pos;
    }
    FClients.pop_back();
    FClientIndex.erase(owned->Id());
    ++FEndedClients;
    return owned;
}

void ATCPServer::RemoveClient(TTCPServerClient* client) {
    std::unique_ptr<TTCPServerClient> owned;
    {
        std::lock_guard<std::mutex> lock(ClientsLock);
        owned = UnlistClientLocked(client);
        if (!owned)
            return;
    }
    // Its thread has ended with it or is ending: let go of before the derived part goes.
    owned->WaitLetGo();
    FRemovedClientBytes += owned->TotalBytes();
    owned.reset();
    {
        // Counted once freed: its descriptor is free for the connection a thread at the limit
        // takes next.
        std::lock_guard<std::mutex> clientsLock(ClientsLock);
        FClientCount.store(FClients.size(), std::memory_order_release);
    }
    SlotFreed();
}

void ATCPServer::ClientDone(uint64_t id) {
    // By number, not address: a late message for a freed client must never match a new one.
    TTCPServerClient* client = FindClient(id);
    if (!client)
        return;
    // A hook that raises must not keep the client's slot: it is removed, and waiting
    // connections accepted, whatever the hooks do.
    GuardedHook("Client close error: ", [&] {
        DeliverClientAdd(client);
        if (client->FCloseOwed)
            TriggerClientClose(client);
    });
    GuardedHook("Client close error: ", [&] { ClientFinished(client); });
    GuardedHook("Client close error: ", [&] { client->Finished(); });
    GuardedHook("Client remove error: ", [&] {
        if (OnClientRemove)
            OnClientRemove(client);
    });
    // Freed before the waiting connections are accepted, so its descriptor is free for them.
    RemoveClient(client);
    if (!FAcceptPending)
        return;
    if (ClientMode == cmThread) {
        // Threads at the limit were woken by the removal and take the connection themselves
        // (loops were told to watch again); only when none waits (the limit was met here) is
        // one made.
        if (!LoopServed())
            StartPoolThread();
        return;
    }
    FAcceptPending = false;
    AcceptPass();
}

int64_t ATCPServer::GetTransferRate() {
    int64_t total = FRemovedClientBytes;
    {
        std::lock_guard<std::mutex> lock(ClientsLock);
        for (auto& c : FClients)
            total += c->TotalBytes();
    }
    FRateWindow.Add(total - FSampledBytes);
    FSampledBytes = total;
    FRateWindow.Update(GetTickCount());
    return FRateWindow.Rate;
}

int64_t ATCPServer::Uptime() const {
    return FActive ? MonotonicMillis() - FActivationTime : 0;
}

} // namespace corvan
