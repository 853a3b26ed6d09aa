#pragma once
// The base of every listening service: a listening socket on the main thread, one
// TTCPServerClient per accepted connection and, in ClientMode 2 (what every service uses), one
// TTCPServerClientThread per client that runs the client's Execute against its own blocking
// socket stream (GetStream: the server's ClientTimeout and ClientWriteBufferLimit apply).
//
// Deriving a server:
//   class TEchoClient : public TTCPServerClient {
//       using TTCPServerClient::TTCPServerClient;
//       void Execute() override {
//           TSocketStream& s = *GetStream();   // blocking on the client's thread
//           s.Writer().WriteStr(s.Reader().ReadStr(4)); // raises on time-out or close
//       }
//   };
//   class TEchoServer : public ATCPServer {
//       std::unique_ptr<TTCPServerClient> CreateClient() override {
//           return std::make_unique<TEchoClient>(this);
//       }
//       ~TEchoServer() override { ShutdownClients(); } // before the derived parts go
//   };
//
// Threads. The server object, its listening socket and the Clients list live on the thread
// that activates the server (the main thread); every server event runs there. A client thread
// owns its client's socket (the socket's window belongs to that thread's loop) and reaches
// the main thread only by synchronous hand-over (client add and close events, log entries:
// the thread waits while the main thread runs them) and by posting WM_SERVER_CLIENT_DONE to
// the listening socket's window. The main thread must therefore run its message loop while
// clients run. Freeing a client waits for its thread; while it waits the main thread keeps
// serving hand-overs, so a thread handing over at that moment can finish.
//
// Log types: 0 information, 1 error. Every entry goes to OnLog and then to the attached log
// (LogTo), both on the main thread; a client thread's entries are handed over in order.

#include "net/SocketsTCP.h"
#include "net/SocketsTCPServer.h"
#include "net/TCPStream.h"
#include "util/LogTarget.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace corvan {

class ETCPServer : public Exception {
public:
    using Exception::Exception;
};

class ATCPServer;
class TTCPServerClientThread;

// The type of a server log entry (OnLog, the attached log).
enum TServerLogType : int { ltInfo = 0, ltError = 1 };

// ClientMode values.
enum TClientMode : uint8_t {
    cmNone = 0,   // no automatic accept; only OnAccept is called
    cmEvents = 1, // clients served by events on the server's thread
    cmThread = 2, // one thread per client
};

constexpr int kDefaultClientTimeout = 300000;

// The accepted end of a connection.
class TTCPServerClientSocket : public ATCPClientSocket {
public:
    using ATCPClientSocket::ATCPClientSocket;
};

class TTCPServerClient {
public:
    explicit TTCPServerClient(ATCPServer* server);
    // Frees, in order, the thread (waiting for it), the stream, the socket; closes an accepted
    // handle that never became a socket.
    virtual ~TTCPServerClient();
    TTCPServerClient(const TTCPServerClient&) = delete;
    TTCPServerClient& operator=(const TTCPServerClient&) = delete;

    ATCPServer* Server() const { return FServer; }
    // Process-unique number; WM_SERVER_CLIENT_DONE carries it.
    uint64_t Id() const { return FId; }
    // The accepted handle; INVALID_SOCKETHANDLE once a failed socket creation has closed it.
    TSocketHandle SocketHandle() const { return FSocketHandle; }
    const TSocketAddr& RemoteAddr() const { return FRemoteAddr; }
    // The client's thread (ClientMode 2), or null before it is made (any thread).
    TTCPServerClientThread* Thread() const;
    bool Terminated() const { return FTerminated.load(std::memory_order_acquire); }
    const std::string& Tag() const { return FTag; }
    virtual void SetTag(const std::string& value) { FTag = value; }

    // The socket on the accepted handle, created on first use on the calling thread (its
    // window and notifications belong to that thread): connected, ReadEventTrigger from the
    // server's ClientReadTrigger, throttling applied. Use it on that thread only. When making
    // it fails the handle is closed and gone: this and every later call raise.
    TTCPServerClientSocket* GetSocket();
    // The socket if created (null before). Other threads may use it only through
    // TerminateSocket/ApplyThrottle and statistics, which lock.
    TTCPServerClientSocket* Socket() const { return FSocket.get(); }
    // The client's stream over GetSocket, with the server's ClientTimeout and
    // ClientWriteBufferLimit, created on first use. A client thread makes it blocking
    // (smBlockWaitMessage) before Execute, so Execute reads and writes straight-line, bounded by
    // the time-out and the write limit; made anywhere else it is smAsynchronous. Same thread
    // rule as the socket. Raises what GetSocket raises.
    TSocketStream* GetStream();
    // The stream if created (null before).
    TSocketStream* Stream() const { return FStream.get(); }
    // Bytes received and sent on the socket so far (any thread).
    int64_t TotalBytes() const;

    virtual void Init() {}
    // The server's Log: directly on the main thread, from any other thread through the
    // synchronous hand-over (the caller waits).
    virtual void Log(TServerLogType logType, const std::string& msg);
    // Copies the server's throttle settings to the socket (any thread).
    virtual void ApplyThrottle();
    // The client's protocol (on its thread in ClientMode 2). Default: the server's
    // OnClientExecute unless terminated.
    virtual void Execute();
    virtual void Activate() {}
    virtual void Deactivate() {}
    // Any thread: Terminated, the thread terminated, the socket terminated (a blocking wait on
    // it returns at once), WM_QUIT to the socket's window.
    virtual void Terminate();
    // Not terminated, the socket could be made (when it was tried), and it is not terminated
    // (once it exists).
    bool StillRunning() const;

private:
    friend class ATCPServer;
    friend class TTCPServerClientThread;
    void CreateStream(TSocketStreamMode mode);
    // Terminates the socket and, for a client with a thread, wakes that thread's wait
    // (ClientSocketLock held).
    void TerminateSocketLocked();

    ATCPServer* FServer;
    uint64_t FId;
    TSocketHandle FSocketHandle = INVALID_SOCKETHANDLE;
    bool FHandleOwned = false; // the handle has not yet been given to a socket
    TSocketAddr FRemoteAddr;
    std::string FTag;
    std::atomic<bool> FTerminated{false};
    // ClientSocketLock: guards FThread's publication (written by the main thread in
    // StartClient and when the client is freed, read by Terminate from any thread), FSocket's
    // publication and foreign access to it (Terminate, ApplyThrottle, TotalBytes) against its
    // creation on the client thread, and FSocketLost. Lock order: taken while holding no other
    // lock; under it the socket's FHandleLock, and the message loop's and window registry's
    // locks (through Terminate and PostMessage) may be taken.
    mutable std::mutex ClientSocketLock;
    std::unique_ptr<TTCPServerClientThread> FThread;
    std::unique_ptr<TTCPServerClientSocket> FSocket;
    bool FSocketLost = false; // making the socket failed; the accepted handle is closed
    std::unique_ptr<TSocketStream> FStream; // the socket's thread only
};

// Runs one client: socket and blocking stream, Activate, OnClientAdd (main thread), Execute,
// Deactivate, OnClientClose (main thread), then WM_SERVER_CLIENT_DONE. Made with
// TThread::Create and started by the server once the client holds it.
class TTCPServerClientThread : public TThread {
public:
    // loop: the thread's message loop made in advance (TMessageLoop::CreateForNewThread), or
    // null to make it on the thread.
    TTCPServerClientThread(ATCPServer* server, TTCPServerClient* client,
                           std::shared_ptr<TMessageLoop> loop = nullptr);

    ATCPServer* Server() const { return FServer; }
    TTCPServerClient* Client() const { return FClient; }
    bool Running() const { return FRunning.load(std::memory_order_acquire); }
    // Sets the flag, terminates the client's socket and posts WM_QUIT to its window.
    void Terminate() override;
    // Hands the entry to the server's Log on the main thread and waits.
    void Log(TServerLogType logType, const std::string& msg);

protected:
    void Execute() override;

private:
    bool StillRunning() const;
    // Runs step; an exception is logged as an error with prefix.
    void Step(const char* prefix, const std::function<void()>& step);
    ATCPServer* FServer;
    TTCPServerClient* FClient;
    std::shared_ptr<TMessageLoop> FLoop; // adopted by the thread as it starts
    std::atomic<bool> FRunning{true};
};

class ATCPServer {
public:
    ATCPServer();
    // Closes the listening socket, terminates and frees all clients (no log, no events).
    virtual ~ATCPServer();
    ATCPServer(const ATCPServer&) = delete;
    ATCPServer& operator=(const ATCPServer&) = delete;

    // --- settings (main thread) ---
    TClientMode ClientMode = cmEvents;
    // Raise "Invalid ListenPort" for empty and "Cannot change port while server is active".
    const std::string& ListenPort() const { return FListenPort; }
    void SetListenPort(const std::string& value);
    // "Cannot change local host while server is active".
    const std::string& LocalHost() const { return FLocalHost; }
    void SetLocalHost(const std::string& value);
    int MaxBacklog() const;
    void SetMaxBacklog(int value);
    // -1: no limit. At the limit further connections wait in the backlog.
    int MaxClients = -1;
    // Read by client threads when they set up their connection.
    std::atomic<int> ClientTimeout{kDefaultClientTimeout};
    std::atomic<int> ClientReadTrigger{-1};
    std::atomic<int> ClientWriteBufferLimit{-1};

    // Throttling of every client; a change applies to running clients at once.
    bool ThrottleRead() const { return FThrottleRead; }
    void SetThrottleRead(bool value);
    int64_t ReadThrottleRate() const { return FReadThrottleRate; }
    void SetReadThrottleRate(int64_t value);
    bool ThrottleWrite() const { return FThrottleWrite; }
    void SetThrottleWrite(bool value);
    int64_t WriteThrottleRate() const { return FWriteThrottleRate; }
    void SetWriteThrottleRate(int64_t value);

    // --- events (main thread, except OnClientExecute: the client's thread in mode 2) ---
    std::function<void(ATCPServer* sender, TServerLogType logType, const std::string& msg)> OnLog;
    // The attached log (util/Log.h's TLog, for one): every entry after OnLog, as (this, log
    // type, text). Cleared when that log is destroyed. Main thread.
    ALogTarget* LogTo() const { return FLogTo.Get(); }
    void SetLogTo(ALogTarget* log) { FLogTo.Set(log); }
    std::function<void(ATCPServer*sender)> OnActive, OnInactive, OnAccept;
    std::function<std::unique_ptr<TTCPServerClient>(ATCPServer* sender)> OnCreateClient;
    std::function<void(TTCPServerClient*client)> OnClientAdd, OnClientClose, OnClientRemove,
        OnClientDataAvailable, OnClientExecute;

    // --- state ---
    bool Active() const { return FActive; }
    // Empty ListenPort raises "ListenPort not set" (nothing logged); a failing activation logs
    // and raises "Server activation failed: <cause>". Deactivation terminates every client and
    // returns when all client threads have ended. While loading only the flag is stored.
    void SetActive(bool value);
    void SetLoading(bool loading);
    bool AcceptPending() const { return FAcceptPending; }
    TTCPServerSocket& ServerSocket() { return *FServerSocket; }

    size_t ClientCount() const { return FClients.size(); }
    TTCPServerClient* Client(size_t index) const { return FClients.at(index).get(); }
    // Bytes per second over all clients (read + write), measured since the previous call.
    int64_t GetTransferRate();
    // Milliseconds since activation; 0 while inactive.
    int64_t Uptime() const;

    // Log type 0 information, 1 error: OnLog, then the attached log. Main thread.
    virtual void Log(TServerLogType logType, const std::string& msg);
    [[noreturn]] virtual void RaiseError(const std::string& msg);

protected:
    virtual void TriggerActive();
    virtual void TriggerInactive();
    virtual void DoActivate();
    virtual void DoDeactivate();
    virtual void TriggerAccept();
    // The client of an accepted connection: OnCreateClient's when it gives one, else a plain
    // TTCPServerClient. Protocol servers override this.
    virtual std::unique_ptr<TTCPServerClient> CreateClient();

    // Terminates all clients, last first, and frees them (each waits for its thread). Derived
    // servers call it in their destructor so no client runs against a half-destroyed server.
    void ShutdownClients();

private:
    friend class TTCPServerClient;
    friend class TTCPServerClientThread;
    void TriggerClientAdd(TTCPServerClient* client);
    void TriggerClientClose(TTCPServerClient* client);
    void TriggerClientExecute(TTCPServerClient* client);
    void AcceptPass();
    void ApplyThrottleToClients();
    TTCPServerClient* AcceptClient();
    // False when the next client thread's loop cannot be made (accepting is paused).
    bool PrepareClientLoop();
    void StartClient(TTCPServerClient* client);
    void ClientDone(uint64_t id);
    void RemoveClient(TTCPServerClient* client);

    TLogLink FLogTo;
    std::unique_ptr<TTCPServerSocket> FServerSocket;
    std::vector<std::unique_ptr<TTCPServerClient>> FClients;
    std::string FListenPort;
    std::string FLocalHost;
    bool FActive = false;
    bool FStoredActive = false;
    bool FLoading = false;
    bool FAcceptPending = false;
    int64_t FActivationTime = 0;
    // Read by client threads (ApplyThrottle).
    std::atomic<bool> FThrottleRead{false}, FThrottleWrite{false};
    std::atomic<int64_t> FReadThrottleRate{0}, FWriteThrottleRate{0};
    // The message loop of the next client thread (ClientMode 2), made before its connection
    // is accepted: when descriptors have run out, accepting pauses and the connection waits
    // in the backlog rather than being accepted by a thread that cannot serve it.
    std::shared_ptr<TMessageLoop> FNextClientLoop;
    // Rate measurement (main thread): bytes of clients already freed, and the last sample.
    int64_t FRemovedClientBytes = 0;
    int64_t FSampledBytes = 0;
    TRateWindow FRateWindow;
};

} // namespace corvan
