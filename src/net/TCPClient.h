#pragma once
// The TCP client component: one outbound TTCPClientSocket and its TSocketStream with settings
// (destination, local binding, stream mode, time-out, bandwidth limits), optionally run on a
// thread of its own, and two sets of events: direct ones on the socket's thread and "Sync"
// ones handed to the main thread while a client thread waits. A connection opened elsewhere
// (OpenOutbound, through up-stream proxies) is adopted with SetStream.
//
// Threads: settings, Active, Terminate and the collection are used on the main thread. With
// RunInThread the socket and stream are created, used and freed on the client thread; the
// main thread reaches them only to terminate them.

#include "net/TCPStream.h"
#include "net/EventLoop.h"
#include "util/LogTarget.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace corvan {

class ETCPClient : public ECodedException {
public:
    explicit ETCPClient(const std::string& message, int code = -1)
        : ECodedException(message, code) {}
};
enum TTCPClientState : uint8_t { csClosed = 0, csConnecting = 1, csConnected = 2 };

class TTCPClientCollection;
class TTCPClientThread;

// Error numbers the client records itself (the socket layer's general range).
inline constexpr int kTCPClientErrorApplication = SOCKET_ERR_APPLICATION; // 60003
inline constexpr int kTCPClientErrorTerminated = SOCKET_ERR_ABORTED;      // 60010

class ATCPClient {
public:
    ATCPClient();
    virtual ~ATCPClient();
    ATCPClient(const ATCPClient&) = delete;
    ATCPClient& operator=(const ATCPClient&) = delete;

    // --- settings: each setter raises ETCPClient "Client active" while active ---
    const std::string& Host() const { return FHost; }
    void SetHost(const std::string& value);
    const std::string& Port() const { return FPort; }
    void SetPort(const std::string& value);
    const std::string& LocalHost() const { return FLocalHost; }
    void SetLocalHost(const std::string& value);
    const std::string& LocalPort() const { return FLocalPort; }
    void SetLocalPort(const std::string& value);
    TSocketStreamMode StreamMode() const { return FStreamMode; }
    void SetStreamMode(TSocketStreamMode value);
    bool RunInThread = false;
    int TimeOut = 300000;
    int ReadEventTrigger = -1;
    int WriteBufferLimit = -1;
    bool ThrottleRead = false;
    int64_t ReadThrottleRate = 0;
    bool ThrottleWrite = false;
    int64_t WriteThrottleRate = 0;
    // Handed to the stream (TSocketStream::GiveUp): ends the client's waits early.
    std::function<bool()> GiveUpWaiting;
    TTCPClientCollection* Collection() const { return FCollection; }
    // Copies every setting and event of prototype; raises "Client active" / "No prototype".
    virtual void Assign(const ATCPClient* prototype);

    // --- life ---
    bool Active() const { return FActive; }
    // true: clears the error, state csConnecting, then connects here (a blocking StreamMode
    // raises what Connect raises, and the client is inactive again) or starts the thread.
    // false: stops the thread (terminate, wait) and frees socket and stream, or closes the
    // socket gracefully.
    void SetActive(bool value);
    // Ends everything at once: the error becomes 60010 "Client terminated" when the client
    // was active without an error; the thread is stopped; socket and stream are freed.
    virtual void Terminate();
    bool Terminated() const { return FTerminated.load(std::memory_order_acquire); }
    TTCPClientState State() const { return FState.load(std::memory_order_acquire); }
    int ErrorCode() const;
    std::string ErrorMessage() const;

    // The socket and stream, created on first need on the calling thread (with RunInThread,
    // the client thread). Null after they were freed. GetSocket raises ETCPClient "Host not
    // set" or "Port not set" when that setting is empty.
    TTCPClientSocket* GetSocket();
    TSocketStream* GetStream();
    // Adopts an existing connection: stream runs over socket and does not own it (null or
    // another socket raises "Invalid stream"); socket must be a TTCPClientSocket, else
    // "Socket must be derived from TTCPClientSocket". Inactive clients only ("Client
    // active"). The client frees its own socket and stream, takes Host, Port and
    // ReadEventTrigger from the socket and the mode from the stream, hooks the socket's events
    // and takes the state from the socket (csConnected, csConnecting or csClosed). Used on the
    // socket's thread; a following SetActive(true) without RunInThread goes on with the
    // adopted connection (with RunInThread the thread makes its own).
    void SetStream(std::unique_ptr<TSocketStream> stream, std::unique_ptr<ATCPClientSocket> socket);
    // The reverse of SetStream, once the exchange over an adopted connection is done: the
    // socket's events unhooked, socket and stream handed out as they stand, the client
    // inactive and closed without them. Used on the socket's thread. Nothing (both left
    // empty) for the client's own socket or while a thread runs.
    void ReleaseStream(std::unique_ptr<TSocketStream>& stream,
                       std::unique_ptr<TTCPClientSocket>& socket);
    TTCPClientSocket* Socket() const { return FSocket.get(); }
    TSocketStream* Stream() const { return FStream.get(); }
    TTCPClientThread* Thread() const { return FThread.get(); }

    // --- events (Sender first); Sync variants run on the main thread, only with a thread ---
    using TEvent = std::function<void(ATCPClient* sender)>;
    using TEventMember = TEventSlot<void(ATCPClient* sender)>;
    TEventSlot<void(ATCPClient* sender, const std::string& message)> OnLog;
    // The attached log (util/Log.h's TLog, for one): Log's entries as (this, 0, text), always
    // on the main thread. Cleared when that log is destroyed.
    ALogTarget* LogTo() const { return FLogTo.Get(); }
    void SetLogTo(ALogTarget* log) { FLogTo.Set(log); }
    TEventMember OnInitSocket;
    TEventSlot<void(ATCPClient* sender, TTCPClientState oldState, TTCPClientState state)>
        OnStateChange;
    TEventSlot<void(ATCPClient* sender, TSocketState oldState, TSocketState state)>
        OnSocketStateChange, OnSyncSocketStateChange;
    TEventMember OnNegotiating, OnSyncNegotiating;
    TEventMember OnConnected, OnSyncConnected;
    TEventMember OnConnectFailed, OnSyncConnectFailed;
    TEventMember OnDataAvailable, OnSyncDataAvailable;
    TEventMember OnLineAvailable, OnSyncLineAvailable; // a complete line end is buffered
    TEventMember OnClose, OnSyncClose;
    TEventMember OnThreadRun;         // the thread's blocking work, after Connect
    TEventMember OnThreadRunComplete; // main thread, after the thread body ended

    // OnLog on the calling thread, then the attached log with log type 0 on the main thread
    // (from another thread the caller waits while the main thread writes it; the entry is
    // lost when the main loop has ended).
    virtual void Log(const std::string& message);

protected:
    [[noreturn]] virtual void RaiseError(const std::string& message);
    virtual void DoConnect();
    virtual void Connect() { DoConnect(); }
    virtual void Close();
    // The thread body: Connect, then OnThreadRun.
    virtual void RunThread();
    virtual void TriggerStateChange(TTCPClientState oldState, TTCPClientState state);
    virtual void ThreadRunComplete();

private:
    friend class TTCPClientThread;
    friend class TTCPClientCollection;
    void CheckInactive();
    void SetState(TTCPClientState state);
    // An adopted socket reports through its events; the client's own socket is a TOwnSocket.
    void HookSocket(TTCPClientSocket& socket);
    class TOwnSocket;
    void SocketStateChanged(TSocketState oldState, TSocketState state);
    void SocketNegotiating();
    void SocketConnected();
    void SocketConnectFailed(TTCPClientSocket& socket);
    void SocketDataAvailable(ATCPClientSocket& socket);
    void SocketClosed();
    void SyncEvent(const TEvent& event);
    // An event and its synchronized twin, in that order.
    void Fire(const TEvent& event, const TEvent& sync);
    void StopThread();
    // Frees stream and socket (on the thread that made them).
    void FreeSocketAndStream();
    void ThreadDone(bool raised, const std::string& text);
    void SetErrorFields(int code, const std::string& message);

    std::string FHost, FPort, FLocalHost, FLocalPort;
    TLogLink FLogTo;
    TSocketStreamMode FStreamMode = smAsynchronous;
    TTCPClientCollection* FCollection = nullptr;
    bool FActive = false;
    // Socket and stream came from SetStream and no activation has used them yet.
    bool FAdopted = false;
    std::atomic<bool> FTerminated{false};
    std::atomic<TTCPClientState> FState{csClosed};
    // FErrorLock: guards FErrorCode, FErrorMessage. Lock order: a leaf.
    mutable std::mutex FErrorLock;
    int FErrorCode = 0;
    std::string FErrorMessage;
    // FSocketLock: guards the FSocket and FStream pointers, made and freed on the client
    // thread and terminated from the main thread. Lock order: taken while holding no other
    // lock; under it the socket's FHandleLock and the message loop's and mailbox registry's
    // locks may be taken (Terminate, PostToMailbox).
    mutable std::mutex FSocketLock;
    std::unique_ptr<TTCPClientSocket> FSocket;
    std::unique_ptr<TSocketStream> FStream;
    std::unique_ptr<TTCPClientThread> FThread;
};

class TkelTCPClient : public ATCPClient {};

// Runs the client's Connect and OnThreadRun, then hands the outcome to the main thread.
// Terminating it terminates the client socket and posts MSG_QUIT to its mailbox, so a blocking
// wait returns.
class TTCPClientThread : public TThread {
public:
    explicit TTCPClientThread(ATCPClient* client) : FClient(client) {}
    void Terminate() override;

protected:
    void Execute() override;

private:
    ATCPClient* FClient;
};

// A set of clients, owned, that can be terminated together.
class TTCPClientCollection {
public:
    TTCPClientCollection() = default;
    virtual ~TTCPClientCollection();
    TTCPClientCollection(const TTCPClientCollection&) = delete;
    TTCPClientCollection& operator=(const TTCPClientCollection&) = delete;

    // Takes the client, records this collection on it and activates it. An activation that
    // raises leaves the client in the collection (inactive) and passes the exception on.
    ATCPClient* AddClient(std::unique_ptr<ATCPClient> client);
    size_t Count() const;
    // Terminates, last first, every client not yet terminated, then frees them all.
    void TerminateAll();

    std::function<void(TTCPClientCollection*sender, ATCPClient*client)> OnAdd, OnRemove;

protected:
    virtual void ClientAdded(ATCPClient* client);
    virtual void ClientRemoved(ATCPClient* client);

private:
    // ClientListLock: guards FClients. Lock order: a leaf (clients are terminated and freed
    // after it is released).
    mutable std::mutex ClientListLock;
    std::vector<std::unique_ptr<ATCPClient>> FClients;
};

} // namespace corvan
