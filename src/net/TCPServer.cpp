#include "net/TCPServer.h"

#include "util/Ticks.h"

#include <algorithm>

namespace corvan {

namespace {
std::atomic<uint64_t> GNextClientId{1};
} // namespace

// --- TTCPServerClient -------------------------------------------------------------------------

TTCPServerClient::TTCPServerClient(ATCPServer* server)
    : FServer(server), FId(GNextClientId.fetch_add(1)) {}

TTCPServerClient::~TTCPServerClient() {
    // Stopped while still published, so its own Terminate can still find it; once it has
    // ended nobody else reads FThread.
    if (FThread)
        FThread->Stop();
    std::unique_ptr<TTCPServerClientThread> thread;
    {
        std::lock_guard<std::mutex> lock(ClientSocketLock);
        thread = std::move(FThread);
    }
    thread.reset();
    FStream.reset();
    FSocket.reset();
    if (FHandleOwned && FSocketHandle != INVALID_SOCKETHANDLE)
        SocketClose(FSocketHandle);
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
        socket = std::make_unique<TTCPServerClientSocket>(FSocketHandle);
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
    return FSocket ? FSocket->TotalBytesReceived() + FSocket->TotalBytesSent() : 0;
}

void TTCPServerClient::Log(TServerLogType logType, const std::string& msg) {
    // Decided by the calling thread, not by FThread: the client thread may log before the
    // main thread has stored its thread object.
    if (TMessageLoop::IsMainThread())
        FServer->Log(logType, msg);
    else
        try {
            TMessageLoop::Main().RunSynchronous([&] { FServer->Log(logType, msg); });
        } catch (...) {
            // The main loop has ended or the log hook failed: the entry is lost.
        }
}

void TTCPServerClient::ApplyThrottle() {
    std::lock_guard<std::mutex> lock(ClientSocketLock);
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
    return FThread.get();
}

void TTCPServerClient::Terminate() {
    FTerminated.store(true, std::memory_order_release);
    std::lock_guard<std::mutex> lock(ClientSocketLock);
    // The thread's flag only: its own Terminate would take this lock again for the socket,
    // which follows here.
    if (FThread && FThread->Running())
        FThread->TThread::Terminate();
    TerminateSocketLocked();
}

void TTCPServerClient::TerminateSocketLocked() {
    if (!FSocket)
        return;
    FSocket->Terminate();
    if (FThread && FSocket->HasWindowHandle())
        PostMessage(FSocket->WindowHandle(), WM_QUIT, 0, 0);
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

TTCPServerClientThread::TTCPServerClientThread(ATCPServer* server, TTCPServerClient* client,
                                               std::shared_ptr<TMessageLoop> loop)
    : FServer(server), FClient(client), FLoop(std::move(loop)) {}

void TTCPServerClientThread::Terminate() {
    TThread::Terminate();
    std::lock_guard<std::mutex> lock(FClient->ClientSocketLock);
    if (!FClient->FSocket)
        return;
    FClient->FSocket->Terminate();
    if (FClient->FSocket->HasWindowHandle())
        PostMessage(FClient->FSocket->WindowHandle(), WM_QUIT, 0, 0);
}

void TTCPServerClientThread::Log(TServerLogType logType, const std::string& msg) {
    FClient->Log(logType, msg);
}

bool TTCPServerClientThread::StillRunning() const {
    return !Terminated() && FClient->StillRunning();
}

void TTCPServerClientThread::Step(const char* prefix, const std::function<void()>& step) {
    try {
        step();
    } catch (const std::exception& e) {
        Log(ltError, prefix + std::string(e.what()));
    } catch (...) {
        Log(ltError, prefix + std::string("Unknown exception"));
    }
}

void TTCPServerClientThread::Execute() {
    if (FLoop)
        TMessageLoop::Adopt(std::move(FLoop));
    if (StillRunning())
        Step("Socket creation error: ", [&] { FClient->CreateStream(smBlockWaitMessage); });
    if (StillRunning())
        Step("Client activate error: ", [&] {
            FClient->Activate();
            if (FServer->OnClientAdd)
                Synchronize([&] { FServer->TriggerClientAdd(FClient); });
        });
    if (StillRunning())
        Step("Client execute error: ", [&] { FClient->Execute(); });
    if (StillRunning())
        Step("Client deactivate error: ", [&] {
            FClient->Deactivate();
            if (FServer->OnClientClose)
                Synchronize([&] { FServer->TriggerClientClose(FClient); });
        });
    PostMessage(FServer->FServerSocket->WindowHandle(), WM_SERVER_CLIENT_DONE,
                static_cast<uintptr_t>(FClient->Id()), 0);
    FRunning.store(false, std::memory_order_release);
}

// --- ATCPServer -------------------------------------------------------------------------------

ATCPServer::ATCPServer() : FServerSocket(std::make_unique<TTCPServerSocket>()) {
    FServerSocket->OnAccept = [this](TTCPServerSocket*) { AcceptPass(); };
    FServerSocket->OnClientDone = [this](uintptr_t id) { ClientDone(id); };
    FServerSocket->OnAcceptPaused = [this](TTCPServerSocket*, int error) {
        Log(ltError, JoinMessage("Accept paused", SocketErrorMessage(error)));
    };
    // The window exists from the start, so client threads can always post to it.
    FServerSocket->GetWindowHandle();
    FRateWindow.Restart(GetTickCount());
}

ATCPServer::~ATCPServer() {
    FActive = false;
    FServerSocket->Close();
    ShutdownClients();
}

void ATCPServer::ShutdownClients() {
    for (auto it = FClients.rbegin(); it != FClients.rend(); ++it)
        if (!(*it)->Terminated())
            (*it)->Terminate();
    // Moved out first: hand-overs served while the threads end may look at the list.
    auto clients = std::move(FClients);
    FClients.clear();
    clients.clear();
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
        return;
    }
    TriggerAccept();
    if (ClientMode == cmNone)
        return;
    while (FActive && !atLimit()) {
        if (ClientMode == cmThread && !PrepareClientLoop())
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
    } catch (const EWindowHandle&) {
        // Out of descriptors (or memory): the same condition as a failing accept.
        FServerSocket->PauseAccepting(WSAEMFILE);
        return false;
    }
}

TTCPServerClient* ATCPServer::AcceptClient() {
    TSocketAddr peer;
    TSocketHandle handle = FServerSocket->Accept(&peer);
    if (handle == INVALID_SOCKETHANDLE)
        return nullptr;
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
    FClients.push_back(std::move(client));
    return FClients.back().get();
}

void ATCPServer::StartClient(TTCPServerClient* client) {
    try {
        if (ClientMode == cmThread) {
            auto thread =
                TThread::Create<TTCPServerClientThread>(this, client, std::move(FNextClientLoop));
            TTCPServerClientThread* started = thread.get();
            {
                // Published before it starts, so the thread's own Terminate finds it.
                std::lock_guard<std::mutex> lock(client->ClientSocketLock);
                client->FThread = std::move(thread);
            }
            started->Start();
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
            PostMessage(FServerSocket->WindowHandle(), WM_SERVER_CLIENT_DONE,
                        static_cast<uintptr_t>(client->Id()), 0);
        };
        TriggerClientAdd(client);
    } catch (const std::exception& e) {
        // No thread (or no socket) for it: the connection is closed and forgotten.
        Log(ltError, "Error creating client: " + std::string(e.what()));
        RemoveClient(client);
    }
}

void ATCPServer::RemoveClient(TTCPServerClient* client) {
    auto it = std::find_if(FClients.begin(), FClients.end(),
                           [&](const auto& c) { return c.get() == client; });
    if (it == FClients.end())
        return;
    std::unique_ptr<TTCPServerClient> owned = std::move(*it);
    FClients.erase(it);
    FRemovedClientBytes += owned->TotalBytes();
    owned.reset(); // waits for its thread, which has ended or is ending
}

void ATCPServer::ClientDone(uint64_t id) {
    // By number, not address: a late message for a freed client must never match a new one.
    auto it = std::find_if(FClients.begin(), FClients.end(),
                           [&](const auto& c) { return c->Id() == id; });
    if (it == FClients.end())
        return;
    TTCPServerClient* client = it->get();
    if (OnClientRemove)
        OnClientRemove(client);
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
