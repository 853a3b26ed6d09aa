#include "net/TCPServer.h"

#include "net/OwnConnections.h"
#include "util/Ticks.h"

#include <algorithm>
#include <chrono>

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
        if (TMessageLoop::IsMainThread()) {
            // The thread may be handing over (a log entry, the close event) right now.
            TMessageLoop::Main().ServeJobsUntil([this] {
                std::lock_guard<std::mutex> lock(ClientSocketLock);
                return !FHeld;
            });
        } else {
            std::unique_lock<std::mutex> lock(ClientSocketLock);
            FLetGo.wait(lock, [this] { return !FHeld; });
        }
    }
}

TTCPServerClientSocket* TTCPServerClient::GetSocket() {
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
        socket = std::make_unique<TTCPServerClientSocket>(FSocketHandle, true);
    } catch (...) {
        std::lock_guard<std::mutex> lock(ClientSocketLock);
        FSocketHandle = INVALID_SOCKETHANDLE;
        FSocketLost = true;
        throw;
    }
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
    TTCPServerClientSocket* socket = GetSocket();
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
    for (ATCPClientSocket* s : {a, b})
        (void)SocketSetNoDelay(s->SocketHandle(), true); // without it only slower, never wrong
    TRelayEnd ownEnd, outEnd;
    ownEnd.TimeoutMs = own.Timeout;
    outEnd.TimeoutMs = outbound.Timeout;
    // Released and published under the lock: a throttle change (ApplyThrottle) meanwhile
    // reaches either the socket before it is released or the tunnel.
    std::lock_guard<std::mutex> lock(ClientSocketLock);
    bool released = a->ReleaseToRelay(ownEnd);
    released = b->ReleaseToRelay(outEnd) && released;
    FTunnel = MakeRelayTunnel(std::move(ownEnd), std::move(outEnd), bufferSize);
    // Started by the thread once it has let go of the client (TTCPServerClientThread::Serve).
    FTunnelEnd = std::move(onEnd);
    // A side terminated between the check and the release ends the tunnel as it starts.
    if (Terminated() || !released)
        FTunnel->Terminate();
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
    FServer->PostClientDone(Id());
    {
        // The last touch of the client: once FHeld is false its owner may free it.
        std::lock_guard<std::mutex> lock(ClientSocketLock);
        FHeld = false;
        FLetGo.notify_all();
    }
    TMessageLoop::Main().NotifyJobWaiters();
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
    // Decided by the calling thread, not by FThread: the client thread may log before the
    // main thread has stored its thread object.
    if (TMessageLoop::IsMainThread())
        FServer->Log(logType, msg);
    else
        try {
            TMessageLoop::Main().RunSynchronous([&] {
                FServer->DeliverClientAdd(this);
                FServer->Log(logType, msg);
            });
        } catch (...) {
            // The main loop has ended or the log hook failed: the entry is lost.
        }
}

void TTCPServerClient::ApplyThrottle() {
    std::lock_guard<std::mutex> lock(ClientSocketLock);
    if (FTunnel)
        FTunnel->SetThrottle(0, {FServer->ThrottleRead(), FServer->ReadThrottleRate(),
                                 FServer->ThrottleWrite(), FServer->WriteThrottleRate()});
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

TTCPServerClientThread::TTCPServerClientThread(ATCPServer* server, TTCPServerClient* client,
                                               std::shared_ptr<TMessageLoop> loop)
    : FServer(server), FNumber(GNextClientThreadNumber.fetch_add(1)), FLoop(std::move(loop)),
      FClient(client) {}

TTCPServerClient* TTCPServerClientThread::Client() const {
    std::lock_guard<std::mutex> lock(FServer->PoolLock);
    return FClient;
}

void TTCPServerClientThread::Terminate() {
    TThread::Terminate();
    std::lock_guard<std::mutex> lock(FServer->PoolLock);
    FWake.notify_all();
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

void TTCPServerClientThread::Execute() {
    if (FLoop)
        TMessageLoop::Adopt(std::move(FLoop));
    TTCPServerClient* client;
    {
        std::lock_guard<std::mutex> lock(FServer->PoolLock);
        client = FClient;
    }
    while (client) {
        bool offered = Serve(client);
        client = offered ? FServer->WaitAsSpare(this) : nullptr;
    }
    FRunning.store(false, std::memory_order_release);
    PostToMailbox(FServer->FServerSocket->Mailbox(), MSG_SERVER_CLIENT_THREAD_END,
                static_cast<uintptr_t>(FNumber), 0);
}

bool TTCPServerClientThread::Serve(TTCPServerClient* client) {
    // What a former client left queued (a quit for its gone mailbox, say) is dropped here.
    TMessageLoop::Current().ProcessMessages();
    // The outbound connections this client opens count the passes its own connection carries.
    TServedConnection served(client->SocketHandle());
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
    // Offered before the socket closes, so that a peer that connects again as soon as it sees
    // the close finds this thread waiting (the client then waits here until it is let go).
    bool offered = FServer->OfferAsSpare(this);
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
        return offered;
    }
    FServer->PostClientDone(client->Id());
    {
        // The last touch of the client: once FHeld is false its owner may free it.
        std::lock_guard<std::mutex> lock(client->ClientSocketLock);
        client->FHeld = false;
        client->FLetGo.notify_all();
    }
    TMessageLoop::Main().NotifyJobWaiters();
    return offered;
}

// --- ATCPServer -------------------------------------------------------------------------------

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
        else
            return 0;
        handled = true;
        return 0;
    };
    FServerSocket->OnAcceptPaused = [this](TTCPServerSocket*, int error) {
        Log(ltError, JoinMessage("Accept paused", SocketErrorMessage(error)));
    };
    // The mailbox exists from the start, so client threads can always post to it.
    FServerSocket->GetMailbox();
    FRateWindow.Restart(GetTickCount());
}

ATCPServer::~ATCPServer() {
    FActive = false;
    FServerSocket->Close();
    ShutdownClients();
}

void ATCPServer::ShutdownClients() {
    {
        // Threads whose client ends from now on end too instead of waiting as spares.
        std::lock_guard<std::mutex> lock(PoolLock);
        FPoolClosed = true;
    }
    // Clients whose add was announced are owed their close, also when their done message
    // is still queued (lazily) as the server stops.
    std::vector<bool> announced;
    for (auto it = FClients.rbegin(); it != FClients.rend(); ++it) {
        if (!(*it)->Terminated())
            (*it)->Terminate();
    }
    for (auto& c : FClients) {
        announced.push_back(c->FAddDelivered);
        // A client being shut down is no longer announced.
        c->FAddDelivered = true;
    }
    // Moved out first: hand-overs served while the threads end may look at the list.
    auto clients = std::move(FClients);
    FClients.clear();
    FClientIndex.clear();
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
    }
    clients.clear();
    EndClientThreads();
}

void ATCPServer::EndClientThreads() {
    {
        std::lock_guard<std::mutex> lock(PoolLock);
        FPoolClosed = true;
    }
    for (auto& t : FClientThreads)
        t->Terminate();
    // Moved out first, as the clients above: each Stop serves hand-overs while it waits.
    auto threads = std::move(FClientThreads);
    FClientThreads.clear();
    threads.clear(); // each stops (waits for) its thread
    std::lock_guard<std::mutex> lock(PoolLock);
    FSpareThreads.clear();
}

size_t ATCPServer::SpareThreadCount() const {
    std::lock_guard<std::mutex> lock(PoolLock);
    return FSpareThreads.size();
}

void ATCPServer::GuardedHook(const char* prefix, const std::function<void()>& hook) {
    try {
        hook();
    } catch (const std::exception& e) {
        Log(ltError, prefix + std::string(e.what()));
    } catch (...) {
        Log(ltError, prefix + std::string("Unknown exception"));
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
    {
        std::lock_guard<std::mutex> lock(PoolLock);
        FPoolClosed = false;
    }
    FServerSocket->Listen();
}

void ATCPServer::DoDeactivate() {
    FServerSocket->Close();
    FAcceptPending = false;
    FNextClientLoop.reset();
    ShutdownClients();
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
    auto atLimit = [&] {
        return MaxClients >= 0 && ClientCount() >= static_cast<size_t>(MaxClients);
    };
    if (atLimit()) {
        FAcceptPending = true;
        ClientLimitReached();
        return;
    }
    TriggerAccept();
    if (ClientMode == cmNone)
        return;
    while (FActive && !atLimit()) {
        // A waiting spare has its loop; otherwise the next thread's loop is made first.
        if (ClientMode == cmThread && SpareThreadCount() == 0 && !PrepareClientLoop())
            break;
        TTCPServerClient* client = AcceptClient();
        if (!client)
            break;
        StartClient(client);
    }
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
    std::unique_ptr<TTCPServerClient> client;
    try {
        client = CreateClient();
        if (!client)
            RaiseError("No client");
        client->Init();
    } catch (const std::exception& e) {
        SocketClose(handle);
        Log(ltError, "Error creating client: " + std::string(e.what()));
        return nullptr;
    }
    client->FSocketHandle = handle;
    client->FHandleOwned = true;
    client->FRemoteAddr = peer;
    client->FRefused = !admitted;
    FClientIndex[client->Id()] = client.get();
    FClients.push_back(std::move(client));
    return FClients.back().get();
}

void ATCPServer::StartClient(TTCPServerClient* client) {
    try {
        if (ClientMode == cmThread) {
            if (HandToSpare(client))
                return;
            // A spare that ended meanwhile leaves no loop made in advance: it is made here,
            // where a failure (out of descriptors) refuses this connection, not on the thread.
            if (!PrepareClientLoop())
                throw ETCPServer("No message loop for a client thread");
            FClientThreads.push_back(
                TThread::Create<TTCPServerClientThread>(this, client, std::move(FNextClientLoop)));
            TTCPServerClientThread* thread = FClientThreads.back().get();
            thread->SetStackSize(kClientThreadStackSize);
            {
                // Published before it starts, so the thread's own Terminate finds it.
                std::lock_guard<std::mutex> lock(client->ClientSocketLock);
                client->FThread = thread;
                client->FHeld = true;
            }
            try {
                thread->Start();
            } catch (...) {
                {
                    std::lock_guard<std::mutex> lock(client->ClientSocketLock);
                    client->FThread = nullptr;
                    client->FHeld = false;
                }
                FClientThreads.pop_back();
                throw;
            }
            return;
        }
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
        // No thread (or no socket) for it: the connection is closed and forgotten.
        Log(ltError, "Error creating client: " + std::string(e.what()));
        RemoveClient(client);
    }
}

bool ATCPServer::HandToSpare(TTCPServerClient* client) {
    TTCPServerClientThread* spare;
    {
        std::lock_guard<std::mutex> lock(PoolLock);
        if (FSpareThreads.empty())
            return false;
        // The most recent spare: its stack and loop are warm, and the oldest ones idle out.
        spare = FSpareThreads.back();
        FSpareThreads.pop_back();
        {
            std::lock_guard<std::mutex> clientLock(client->ClientSocketLock);
            client->FThread = spare;
            client->FHeld = true;
        }
        spare->FNextClient = client;
    }
    // Woken after the lock is released: woken under it, the spare would run only to block on
    // the lock again (two more switches per connection). The spare takes FNextClient however
    // its wait ends, and its thread object is freed only on this thread.
    spare->FWake.notify_one();
    return true;
}

bool ATCPServer::OfferAsSpare(TTCPServerClientThread* thread) {
    std::lock_guard<std::mutex> lock(PoolLock);
    // Offered even beyond MaxSpareThreads: such a spare ends in WaitAsSpare if the surplus
    // lasts.
    if (thread->Terminated() || FPoolClosed)
        return false;
    FSpareThreads.push_back(thread);
    return true;
}

TTCPServerClient* ATCPServer::WaitAsSpare(TTCPServerClientThread* thread) {
    std::unique_lock<std::mutex> lock(PoolLock);
    auto now = std::chrono::steady_clock::now();
    auto deadline = now + std::chrono::milliseconds(SpareThreadIdleMs.load());
    // Checked once: a spare that finds no surplus then waits its whole idle time, and the
    // spares that came after it end instead, so the list settles at MaxSpareThreads.
    auto surplusCheck =
        std::min(deadline, now + std::chrono::milliseconds(SurplusSpareThreadIdleMs.load()));
    auto surplus = [&] {
        return FSpareThreads.size() > static_cast<size_t>(std::max(0, MaxSpareThreads.load()));
    };
    // Handing a client over takes the spare off the list and sets FNextClient under this lock,
    // so a spare on the list has no client and one off it has (or is ending).
    while (!thread->FNextClient && !thread->Terminated() && !FPoolClosed) {
        bool checking = surplusCheck < deadline;
        if (thread->FWake.wait_until(lock, checking ? surplusCheck : deadline) !=
            std::cv_status::timeout)
            continue;
        if (!checking || surplus())
            break;
        surplusCheck = deadline;
    }
    TTCPServerClient* next = thread->FNextClient;
    thread->FNextClient = nullptr;
    if (!next) {
        auto it = std::find(FSpareThreads.begin(), FSpareThreads.end(), thread);
        if (it != FSpareThreads.end())
            FSpareThreads.erase(it);
        return nullptr;
    }
    // Served even when the thread is ending: the client is held by it and must be let go of.
    thread->FClient = next;
    return next;
}

void ATCPServer::ClientThreadEnded(uint64_t number) {
    auto it = std::find_if(FClientThreads.begin(), FClientThreads.end(),
                           [&](const auto& t) { return t->Number() == number; });
    if (it == FClientThreads.end())
        return;
    std::unique_ptr<TTCPServerClientThread> thread = std::move(*it);
    FClientThreads.erase(it);
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
    auto it = FClientIndex.find(id);
    return it == FClientIndex.end() ? nullptr : it->second;
}

void ATCPServer::ClientAddArrived(uint64_t id) {
    // By number: the client may have been freed meanwhile (deactivation).
    if (TTCPServerClient* client = FindClient(id))
        DeliverClientAdd(client);
}

void ATCPServer::RemoveClient(TTCPServerClient* client) {
    auto it = std::find_if(FClients.begin(), FClients.end(),
                           [&](const auto& c) { return c.get() == client; });
    if (it == FClients.end())
        return;
    std::unique_ptr<TTCPServerClient> owned = std::move(*it);
    FClients.erase(it);
    FClientIndex.erase(owned->Id());
    // Its thread has ended with it or is ending: let go of before the derived part goes.
    owned->WaitLetGo();
    FRemovedClientBytes += owned->TotalBytes();
    owned.reset();
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
    GuardedHook("Client remove error: ", [&] {
        if (OnClientRemove)
            OnClientRemove(client);
    });
    // Freed before the waiting connections are accepted, so its descriptor is free for them.
    RemoveClient(client);
    if (FAcceptPending) {
        FAcceptPending = false;
        AcceptPass();
    }
}

int64_t ATCPServer::GetTransferRate() {
    int64_t total = FRemovedClientBytes;
    for (auto& c : FClients)
        total += c->TotalBytes();
    FRateWindow.Add(total - FSampledBytes);
    FSampledBytes = total;
    FRateWindow.Update(GetTickCount());
    return FRateWindow.Rate;
}

int64_t ATCPServer::Uptime() const {
    return FActive ? MonotonicMillis() - FActivationTime : 0;
}

} // namespace corvan
