#include "net/TCPClient.h"

namespace corvan {

// --- ATCPClient -------------------------------------------------------------------------------

ATCPClient::ATCPClient() = default;

ATCPClient::~ATCPClient() {
    StopThread();
    FreeSocketAndStream();
}

void ATCPClient::RaiseError(const std::string& message) {
    throw ETCPClient(message);
}

void ATCPClient::CheckInactive() {
    if (FActive)
        RaiseError("Client active");
}

void ATCPClient::SetHost(const std::string& value) {
    CheckInactive();
    FHost = value;
}

void ATCPClient::SetPort(const std::string& value) {
    CheckInactive();
    FPort = value;
}

void ATCPClient::SetLocalHost(const std::string& value) {
    CheckInactive();
    FLocalHost = value;
}

void ATCPClient::SetLocalPort(const std::string& value) {
    FLocalPort = value;
}

void ATCPClient::SetStreamMode(TSocketStreamMode value) {
    CheckInactive();
    FStreamMode = value;
}

void ATCPClient::Assign(const ATCPClient* prototype) {
    CheckInactive();
    if (!prototype)
        RaiseError("No prototype");
    FHost = prototype->FHost;
    FPort = prototype->FPort;
    FLocalHost = prototype->FLocalHost;
    FLocalPort = prototype->FLocalPort;
    FStreamMode = prototype->FStreamMode;
    TimeOut = prototype->TimeOut;
    GiveUpWaiting = prototype->GiveUpWaiting;
    ReadEventTrigger = prototype->ReadEventTrigger;
    WriteBufferLimit = prototype->WriteBufferLimit;
    RunInThread = prototype->RunInThread;
    FCollection = prototype->FCollection;
    ThrottleRead = prototype->ThrottleRead;
    ReadThrottleRate = prototype->ReadThrottleRate;
    ThrottleWrite = prototype->ThrottleWrite;
    WriteThrottleRate = prototype->WriteThrottleRate;
    OnLog = prototype->OnLog;
    FLogTo.Set(prototype->LogTo());
    OnInitSocket = prototype->OnInitSocket;
    OnStateChange = prototype->OnStateChange;
    OnSocketStateChange = prototype->OnSocketStateChange;
    OnSyncSocketStateChange = prototype->OnSyncSocketStateChange;
    OnNegotiating = prototype->OnNegotiating;
    OnSyncNegotiating = prototype->OnSyncNegotiating;
    OnConnected = prototype->OnConnected;
    OnSyncConnected = prototype->OnSyncConnected;
    OnConnectFailed = prototype->OnConnectFailed;
    OnSyncConnectFailed = prototype->OnSyncConnectFailed;
    OnDataAvailable = prototype->OnDataAvailable;
    OnSyncDataAvailable = prototype->OnSyncDataAvailable;
    OnLineAvailable = prototype->OnLineAvailable;
    OnSyncLineAvailable = prototype->OnSyncLineAvailable;
    OnClose = prototype->OnClose;
    OnSyncClose = prototype->OnSyncClose;
    OnThreadRun = prototype->OnThreadRun;
    OnThreadRunComplete = prototype->OnThreadRunComplete;
}

int ATCPClient::ErrorCode() const {
    std::lock_guard<std::mutex> lock(FErrorLock);
    return FErrorCode;
}

std::string ATCPClient::ErrorMessage() const {
    std::lock_guard<std::mutex> lock(FErrorLock);
    return FErrorMessage;
}

void ATCPClient::SetErrorFields(int code, const std::string& message) {
    std::lock_guard<std::mutex> lock(FErrorLock);
    FErrorCode = code;
    FErrorMessage = message;
}

void ATCPClient::Log(const std::string& message) {
    if (OnLog)
        OnLog(this, message);
    if (!FLogTo.Get())
        return;
    auto write = [&] {
        if (ALogTarget* log = FLogTo.Get())
            log->LogEntry(this, 0, message);
    };
    try {
        TMessageLoop::Main().RunSynchronous(write);
    } catch (const EMailbox&) {
        // The main loop has ended: nobody writes the log any more.
    }
}

void ATCPClient::SetState(TTCPClientState state) {
    TTCPClientState old = FState.exchange(state, std::memory_order_acq_rel);
    if (old != state)
        TriggerStateChange(old, state);
}

void ATCPClient::TriggerStateChange(TTCPClientState oldState, TTCPClientState state) {
    if (OnStateChange)
        OnStateChange(this, oldState, state);
}

void ATCPClient::SyncEvent(const TEvent& event) {
    if (!event || !FThread || FThread->Finished() || TMessageLoop::IsMainThread())
        return;
    try {
        FThread->Synchronize([&] { event(this); });
    } catch (const EMailbox&) {
        // The main loop has ended: nobody is left to tell.
    }
}

void ATCPClient::Fire(const TEvent& event, const TEvent& sync) {
    if (event)
        event(this);
    SyncEvent(sync);
}

// What the client's socket reports, whether through the triggers of a socket the client made
// (TOwnSocket) or the events of one it adopted (HookSocket).
void ATCPClient::SocketStateChanged(TSocketState oldState, TSocketState state) {
    if (OnSocketStateChange)
        OnSocketStateChange(this, oldState, state);
    if (OnSyncSocketStateChange)
        SyncEvent([&](ATCPClient*) { OnSyncSocketStateChange(this, oldState, state); });
}

void ATCPClient::SocketNegotiating() {
    Fire(OnNegotiating, OnSyncNegotiating);
}

void ATCPClient::SocketConnected() {
    SetState(csConnected);
    Fire(OnConnected, OnSyncConnected);
}

void ATCPClient::SocketConnectFailed(TTCPClientSocket& socket) {
    SetErrorFields(socket.ErrorCode(), socket.ErrorMessage());
    SetState(csClosed);
    Fire(OnConnectFailed, OnSyncConnectFailed);
}

void ATCPClient::SocketDataAvailable(ATCPClientSocket& socket) {
    Fire(OnDataAvailable, OnSyncDataAvailable);
    if ((OnLineAvailable || OnSyncLineAvailable) && socket.LocateEOL() >= 0)
        Fire(OnLineAvailable, OnSyncLineAvailable);
}

void ATCPClient::SocketClosed() {
    SetState(csClosed);
    Fire(OnClose, OnSyncClose);
}

// The socket the client makes reports to it through its triggers, so that no handler is
// stored per socket; its own events still fire after the client has heard.
class ATCPClient::TOwnSocket final : public TTCPClientSocket {
public:
    TOwnSocket(ATCPClient& client, const std::string& host, const std::string& port)
        : TTCPClientSocket(host, port), FClient(client) {}

protected:
    void TriggerStateChange(TSocketState oldState, TSocketState state) override {
        FClient.SocketStateChanged(oldState, state);
        TTCPClientSocket::TriggerStateChange(oldState, state);
    }
    void TriggerNegotiating() override {
        FClient.SocketNegotiating();
        TTCPClientSocket::TriggerNegotiating();
    }
    void TriggerConnected() override {
        FClient.SocketConnected();
        TTCPClientSocket::TriggerConnected();
    }
    void TriggerConnectFailed() override {
        FClient.SocketConnectFailed(*this);
        TTCPClientSocket::TriggerConnectFailed();
    }
    void TriggerDataAvailable() override {
        TTCPClientSocket::TriggerDataAvailable(); // a proxy link's step comes first
        FClient.SocketDataAvailable(*this);
    }
    void TriggerClose() override {
        FClient.SocketClosed();
        TTCPClientSocket::TriggerClose();
    }

private:
    ATCPClient& FClient;
};

void ATCPClient::HookSocket(TTCPClientSocket& socket) {
    socket.OnStateChange = [this](ASocket*, TSocketState oldState, TSocketState state) {
        SocketStateChanged(oldState, state);
    };
    socket.OnNegotiating = [this](TTCPClientSocket*) { SocketNegotiating(); };
    socket.OnConnected = [this](TTCPClientSocket*) { SocketConnected(); };
    socket.OnConnectFailed = [this](TTCPClientSocket* s) { SocketConnectFailed(*s); };
    socket.OnDataAvailable = [this](ATCPClientSocket* s) { SocketDataAvailable(*s); };
    socket.OnClose = [this](ATCPClientSocket*) { SocketClosed(); };
}

TTCPClientSocket* ATCPClient::GetSocket() {
    if (FSocket)
        return FSocket.get();
    if (FHost.empty())
        RaiseError("Host not set");
    if (FPort.empty())
        RaiseError("Port not set");
    std::unique_ptr<TTCPClientSocket> socket = std::make_unique<TOwnSocket>(
        *this, FHost, FPort);
    socket->SetLocalHost(FLocalHost);
    socket->SetLocalPort(FLocalPort);
    socket->SetThrottleRead(ThrottleRead);
    socket->SetReadThrottleRate(ReadThrottleRate);
    socket->SetThrottleWrite(ThrottleWrite);
    socket->SetWriteThrottleRate(WriteThrottleRate);
    socket->SetReadEventTrigger(ReadEventTrigger);
    // The mailbox exists before another thread can see the socket, so a Terminate from there
    // always reaches the socket's own thread.
    socket->GetMailbox();
    {
        std::lock_guard<std::mutex> lock(FSocketLock);
        FSocket = std::move(socket);
    }
    if (OnInitSocket)
        OnInitSocket(this);
    return FSocket.get();
}

TSocketStream* ATCPClient::GetStream() {
    if (!FStream) {
        auto stream =
            std::make_unique<TSocketStream>(GetSocket(), WriteBufferLimit, TimeOut, FStreamMode);
        stream->GiveUp = GiveUpWaiting;
        std::lock_guard<std::mutex> lock(FSocketLock);
        FStream = std::move(stream);
    }
    return FStream.get();
}

void ATCPClient::SetStream(std::unique_ptr<TSocketStream> stream,
                           std::unique_ptr<ATCPClientSocket> socket) {
    CheckInactive();
    if (!stream || !socket || stream->Socket() != socket.get())
        RaiseError("Invalid stream");
    auto* clientSocket = dynamic_cast<TTCPClientSocket*>(socket.get());
    if (!clientSocket)
        RaiseError("Socket must be derived from TTCPClientSocket");
    StopThread(); // a finished thread of an earlier run
    FreeSocketAndStream();
    socket.release();
    std::unique_ptr<TTCPClientSocket> adopted(clientSocket);
    FHost = adopted->Host();
    FPort = adopted->Port();
    ReadEventTrigger = adopted->ReadEventTrigger();
    FStreamMode = stream->Mode;
    HookSocket(*adopted);
    TTCPClientState state = adopted->State() == ssConnected ? csConnected
                            : adopted->IsConnecting()       ? csConnecting
                                                            : csClosed;
    {
        std::lock_guard<std::mutex> lock(FSocketLock);
        FSocket = std::move(adopted);
        FStream = std::move(stream);
    }
    FAdopted = true;
    SetState(state);
}

void ATCPClient::ReleaseStream(std::unique_ptr<TSocketStream>& stream,
                               std::unique_ptr<TTCPClientSocket>& socket) {
    if (FThread || !FSocket || !FStream || dynamic_cast<TOwnSocket*>(FSocket.get()))
        return;
    {
        std::lock_guard<std::mutex> lock(FSocketLock);
        stream = std::move(FStream);
        socket = std::move(FSocket);
    }
    // Nothing may reach this client from the socket any more (HookSocket's handlers).
    socket->OnStateChange = nullptr;
    socket->OnNegotiating = nullptr;
    socket->OnConnected = nullptr;
    socket->OnConnectFailed = nullptr;
    socket->OnDataAvailable = nullptr;
    socket->OnClose = nullptr;
    FAdopted = false;
    FActive = false;
    SetState(csClosed);
}

void ATCPClient::FreeSocketAndStream() {
    std::unique_ptr<TSocketStream> stream;
    std::unique_ptr<TTCPClientSocket> socket;
    {
        std::lock_guard<std::mutex> lock(FSocketLock);
        stream = std::move(FStream);
        socket = std::move(FSocket);
    }
    stream.reset();
    if (socket) {
        socket->OnStateChange = nullptr; // no events from a socket being freed
        socket->OnClose = nullptr;
    }
}

void ATCPClient::DoConnect() {
    GetSocket();
    if (FThread && FThread->Terminated())
        throw ETCPClient("Client terminated", kTCPClientErrorTerminated);
    GetStream()->Connect();
    // An adopted connection that was connected already reports no connect again.
    if (FSocket && FSocket->State() == ssConnected)
        SetState(csConnected);
}

void ATCPClient::Close() {
    if (FStream)
        FStream->Close();
    else if (FSocket)
        FSocket->Close(true);
    if (!FSocket || FSocket->State() == ssClosed)
        SetState(csClosed);
}

void ATCPClient::RunThread() {
    Connect();
    if (OnThreadRun && !(FThread && FThread->Terminated()))
        OnThreadRun(this);
}

void ATCPClient::SetActive(bool value) {
    if (value == FActive)
        return;
    if (value) {
        StopThread(); // a finished thread of an earlier run
        // A connection adopted through SetStream is what this activation is for; the thread
        // makes its own socket on its own loop, so it cannot use one.
        if (!FAdopted || RunInThread)
            FreeSocketAndStream();
        FAdopted = false;
        SetErrorFields(0, "");
        FTerminated.store(false, std::memory_order_release);
        FActive = true;
        SetState(csConnecting);
        if (RunInThread) {
            FThread = TThread::Create<TTCPClientThread>(this);
            FThread->Start();
            return;
        }
        try {
            Connect();
        } catch (...) {
            FActive = false;
            SetState(csClosed);
            throw;
        }
        return;
    }
    if (RunInThread) {
        StopThread();
        FreeSocketAndStream();
        SetState(csClosed);
    } else
        Close();
    FActive = false;
    FAdopted = false;
}

void ATCPClient::StopThread() {
    if (!FThread)
        return;
    FThread->Stop();
    FThread.reset();
}

void ATCPClient::Terminate() {
    if (!Terminated() && FActive && ErrorCode() == 0)
        SetErrorFields(kTCPClientErrorTerminated, "Client terminated");
    FTerminated.store(true, std::memory_order_release);
    FAdopted = false;
    StopThread();
    FreeSocketAndStream();
    FActive = false;
    SetState(csClosed);
}

void ATCPClient::ThreadDone(bool raised, const std::string& text) {
    if (raised && ErrorCode() == 0)
        SetErrorFields(kTCPClientErrorApplication, text);
    ThreadRunComplete();
}

void ATCPClient::ThreadRunComplete() {
    FActive = false;
    SetState(csClosed);
    if (OnThreadRunComplete)
        OnThreadRunComplete(this);
}

// --- TTCPClientThread -------------------------------------------------------------------------

void TTCPClientThread::Terminate() {
    TThread::Terminate();
    std::lock_guard<std::mutex> lock(FClient->FSocketLock);
    if (FClient->FSocket) {
        FClient->FSocket->Terminate();
        PostToMailbox(FClient->FSocket->Mailbox(), MSG_QUIT, 0, 0);
    }
}

void TTCPClientThread::Execute() {
    bool raised = false;
    std::string text;
    try {
        if (!Terminated())
            FClient->RunThread();
    } catch (const std::exception& e) {
        raised = true;
        text = e.what();
    }
    try {
        Synchronize([&] { FClient->ThreadDone(raised, text); });
    } catch (const EMailbox&) {
        // The main loop has ended; the owner learns nothing more.
    }
    // The socket was made on this thread and is freed here, while its loop still exists.
    FClient->FreeSocketAndStream();
}

// --- TTCPClientCollection ---------------------------------------------------------------------

TTCPClientCollection::~TTCPClientCollection() {
    TerminateAll();
}

ATCPClient* TTCPClientCollection::AddClient(std::unique_ptr<ATCPClient> client) {
    ATCPClient* raw = client.get();
    {
        std::lock_guard<std::mutex> lock(ClientListLock);
        FClients.push_back(std::move(client));
    }
    raw->FCollection = this;
    ClientAdded(raw);
    raw->SetActive(true);
    return raw;
}

size_t TTCPClientCollection::Count() const {
    std::lock_guard<std::mutex> lock(ClientListLock);
    return FClients.size();
}

void TTCPClientCollection::TerminateAll() {
    for (;;) {
        ATCPClient* next = nullptr;
        {
            std::lock_guard<std::mutex> lock(ClientListLock);
            for (auto it = FClients.rbegin(); it != FClients.rend() && !next; ++it)
                if (!(*it)->Terminated())
                    next = it->get();
        }
        if (!next)
            break;
        next->Terminate();
    }
    std::vector<std::unique_ptr<ATCPClient>> clients;
    {
        std::lock_guard<std::mutex> lock(ClientListLock);
        clients.swap(FClients);
    }
    for (auto& c : clients) {
        ClientRemoved(c.get());
        c->FCollection = nullptr;
    }
}

void TTCPClientCollection::ClientAdded(ATCPClient* client) {
    if (OnAdd)
        OnAdd(this, client);
}

void TTCPClientCollection::ClientRemoved(ATCPClient* client) {
    if (OnRemove)
        OnRemove(this, client);
}

} // namespace corvan
