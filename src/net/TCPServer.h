#pragma once
// The base of every listening service: a listening socket on the main thread, one
// TTCPServerClient per accepted connection and, in ClientMode 2 (what every service uses), a
// TTCPServerClientThread that runs the client's Execute against its own blocking socket stream
// (GetStream: the server's ClientTimeout and ClientWriteBufferLimit apply).
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
// Accepting where the connection is served (ClientMode 2). Every thread of a server's pool
// that has no connection waits on the listening descriptor itself, in an epoll of its own
// that holds the listening descriptor (EPOLLEXCLUSIVE: the kernel wakes one waiting thread per
// arrival, not all) and the server's stop descriptor. It accepts, asks Admission, makes the
// client, enters it in the Clients list and serves it itself; a thread back from a connection
// first tries to accept at once, so under a steady stream of connections a thread goes from
// one to the next without sleeping and without waking another. No lead is passed on: the
// only hand-off is when a thread takes a connection while no other thread waits or is on its
// way back; it then makes one (its loop made before the accept, so that without descriptors
// the connection stays in the backlog rather than being taken by a thread that cannot serve
// it). Accepting therefore never stops while threads exist, and a short connection is
// accepted, served and closed on one thread. The Clients limit holds exactly: a thread
// reserves a slot (under PoolLock) before each accept and gives it back when the client is
// listed or nothing was accepted. The main thread takes part only when no thread waits (none
// made yet, or all idled out): its listening socket reports the waiting connection and the
// main thread makes a thread (it accepts nothing itself); the last waiting thread that ends
// re-arms that report. At MaxClients a thread that sees a connection waiting waits for a
// slot (the connection stays in the backlog) and the main thread is told, once per hold, so
// that ClientLimitReached may close an idle connection.
//
// Pool threads are kept: a thread whose connection has ended frees that connection's socket
// and stream on its own loop, then waits for connections again. At most MaxSpareThreads
// waiting threads wait longer than SurplusSpareThreadIdleMs; a waiting thread idle for
// SpareThreadIdleMs ends. A client's Execute must therefore leave nothing bound to its thread's
// loop behind (sockets, mailboxes, timers it made are freed before Execute returns); the thread's
// stack is kClientThreadStackSize.
//
// Threads. The server object and its listening socket live on the thread that activates the
// server (the main thread); every server event runs there. The Clients list is entered by the
// accepting thread and left on the main thread (ClientsLock); a client is freed only on the
// main thread, so Client(i) there stays valid. A client thread owns its client's socket (the
// socket's mailbox belongs to that thread's loop) while it serves the client. Nothing between
// accept and Execute waits for the main thread: OnClientAdd is posted to the main thread (it
// may run while Execute already runs, and always before that client's OnClientClose,
// OnClientRemove and log entries). Log entries of other threads go to the server's log queue
// (the thread does not wait) and are written on the main thread, the one writer of OnLog
// and the attached log, in the order they were made. Nothing at the end of a connection waits
// for the main thread: the thread frees the connection and lets go of the client. Where no end
// event is to be fired (ClientFinishedNeedsMainThread), that thread also runs its Finished,
// takes it off the list and frees it. Otherwise it posts MSG_SERVER_CLIENT_DONE (lazily:
// kClientDoneMaxDelayMs) to the listening socket's mailbox, on which the main thread fires
// OnClientClose (for a client that was not terminated), ClientFinished, the client's Finished
// and OnClientRemove, then frees it. The main thread must therefore run its
// message loop while clients run. Freeing a client waits until its thread has let go of it;
// while it waits the main thread keeps serving hand-overs, so a thread handing over at that
// moment can finish. Deactivation (and ShutdownClients) stops the pool (the stop descriptor
// wakes every waiting thread, the slot waits are woken), terminates every client, waits for
// them, and ends every client thread, spares included, before the listening socket closes.
//
// Loop-served servers (ServesOnRelayLoops, ClientMode 2): where a connection needs nothing
// but a tunnel to an end that can be opened without waiting, the relay loops watch the
// listening descriptor themselves (net/RelayLoop.h: TRelayListener) and there is no pool. The
// loop an arrival wakes reserves a slot, accepts, asks Admission, makes and enters the client
// (the same steps as a pool thread's), asks LoopOutbound for the tunnel's other end (a connect
// may still be under way) and carries the tunnel at once; the client is held by its tunnel and
// let go of as it ends (TunnelEnded), as a pool client whose tunnel went to a loop. Its
// Activate, Execute and Deactivate are not called. At MaxClients the loops stop watching (the
// connection waits in the backlog; the limit is reported once per hold) and watch again when
// a slot frees; out of descriptors they stop for kAcceptRetryDelay (the main thread's timer),
// logging once per shortage. The main thread never accepts for such a server. Deactivation
// and ShutdownClients unlist the listener first (waited for), then end the tunnels with their
// clients.
//
// Log types: 0 information, 1 error. Every entry goes to OnLog and then to the attached log
// (LogTo), both on the main thread; other threads' entries are queued, in order (deactivation
// writes what is queued before "Server shutdown.").

#include "net/AllowedClients.h"
#include "net/RelayLoop.h"
#include "net/SocketsTCP.h"
#include "net/SocketsTCPServer.h"
#include "net/TCPStream.h"
#include "util/LogTarget.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
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
// Connections refused at accept (Admission, CloseRefusedAtAccept) in one pass of the main
// thread (ClientMode 1); the rest are taken on a later pass, so a burst of them cannot starve
// the other events of the main thread. A pool thread checks for the stop between any two
// accepts, so it needs no such bound.
constexpr int kMaxRefusalsPerAcceptPass = 64;
// Spare client threads a server keeps waiting for connections (its MaxSpareThreads); beyond
// this many, a spare ends after SurplusSpareThreadIdleMs. Threads only negotiate (tunnels go
// to the relay loops), so this many cover the connections a small network opens at once.
constexpr int kMaxSpareClientThreads = 8;
// A spare client thread that gets no connection for this long ends (SpareThreadIdleMs).
constexpr int kSpareClientThreadIdleMs = 60000;
// A spare that has waited this long while more than MaxSpareThreads wait ends
// (SurplusSpareThreadIdleMs). Under a steady stream of short connections the number open at
// once swings around its mean many times a second: a thread ended at each dip would be made
// again at the next rise, and a new thread is scheduled behind every runnable one (tens of ms
// on a busy machine, the slowest answers of such a stream).
constexpr int kSurplusSpareClientThreadIdleMs = 1000;
// A client's done message does not wake the main thread on its own (freeing the client is
// bookkeeping: the connection is closed already): it goes with the main thread's next wake-up,
// at the latest this much later. While the server is at MaxClients it wakes at once.
constexpr int kClientDoneMaxDelayMs = 20;
// Connections one relay loop accepts for a loop-served server at one wake-up; more wait for
// its next turn (the listening descriptor stays readable), so the loop's tunnels are served
// between arrivals. One: connections that come one at a time are the common case, and a
// batch would end each wake-up with an accept that finds nothing.
constexpr int kLoopAcceptBatch = 1;
// Stack of a client thread. The deepest connection path (a SOCKS5 connection through an
// up-stream SOCKS5 proxy with login, relaying) needs well under this; the system default (8
// MiB of address space, mostly untouched) would only reserve more per thread. The address
// sanitizer's instrumented frames need several times more.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kClientThreadStackSize = 1024 * 1024;
#else
constexpr size_t kClientThreadStackSize = 256 * 1024;
#endif

// Posted by client threads to the listening socket's mailbox: a client's add notification
// (wParam: the client's Id), the end of a client thread (wParam: the thread's Number), the
// limit held a connection back (ClientLimitReached is due), and no thread waits for
// connections any more (the main thread watches the listening socket again).
constexpr uint32_t MSG_SERVER_CLIENT_ADD = MSG_USER + 571;
constexpr uint32_t MSG_SERVER_CLIENT_THREAD_END = MSG_USER + 572;
constexpr uint32_t MSG_SERVER_LIMIT_REACHED = MSG_USER + 573;
constexpr uint32_t MSG_SERVER_ACCEPT_AGAIN = MSG_USER + 574;
// Log entries of other threads wait in the server's queue (posted once per batch).
constexpr uint32_t MSG_SERVER_LOG = MSG_USER + 575;
// A relay loop ran out of descriptors accepting for a loop-served server (wParam: the error):
// the main thread's accept timer brings the loops back after kAcceptRetryDelay.
constexpr uint32_t MSG_SERVER_ACCEPT_RETRY = MSG_USER + 576;

// The accepted end of a connection.
class TTCPServerClientSocket : public ATCPClientSocket {
public:
    using ATCPClientSocket::ATCPClientSocket;
};

class TTCPServerClient {
public:
    explicit TTCPServerClient(ATCPServer* server);
    // Terminates the client and waits until its thread has let go of it (serving hand-overs
    // when on the main thread), then frees the stream and the socket (when no thread did) and
    // closes an accepted handle that never became a socket.
    // Waits until no thread holds the client (WaitLetGo); a derived client that its own
    // code may free (not through the server) calls WaitLetGo in its destructor first.
    virtual ~TTCPServerClient();
    TTCPServerClient(const TTCPServerClient&) = delete;
    TTCPServerClient& operator=(const TTCPServerClient&) = delete;

    ATCPServer* Server() const { return FServer; }
    // Process-unique number; MSG_SERVER_CLIENT_DONE carries it.
    uint64_t Id() const { return FId; }
    // The accepted handle; INVALID_SOCKETHANDLE once a failed socket creation has closed it.
    TSocketHandle SocketHandle() const { return FSocketHandle; }
    const TSocketAddr& RemoteAddr() const { return FRemoteAddr; }
    // The server's Admission refused this client and kept it (CloseRefusedAtAccept false):
    // its protocol answers the refusal and ends. Set before the client's thread starts.
    bool Refused() const { return FRefused; }
    // The thread serving the client (ClientMode 2): null before one takes it and once the
    // thread has let go of it (any thread).
    TTCPServerClientThread* Thread() const;
    bool Terminated() const { return FTerminated.load(std::memory_order_acquire); }
    const std::string& Tag() const { return FTag; }
    virtual void SetTag(const std::string& value) { FTag = value; }

    // The socket on the accepted handle, created on first use on the calling thread (its
    // mailbox and notifications belong to that thread): connected, ReadEventTrigger from the
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
    // Bytes received and sent on the socket so far, kept once the socket is freed (any thread).
    int64_t TotalBytes() const;

    virtual void Init() {}
    // The server's Log: directly on the main thread, from any other thread through the
    // server's log queue (the caller does not wait).
    virtual void Log(TServerLogType logType, const std::string& msg);
    // Copies the server's throttle settings to the socket (any thread).
    virtual void ApplyThrottle();
    // The client's protocol (on its thread in ClientMode 2). Default: the server's
    // OnClientExecute unless terminated.
    virtual void Execute();
    virtual void Activate() {}
    virtual void Deactivate() {}
    // Once, when the thread that served the client (or the relay loop of its tunnel) has let
    // go of it, before it is freed; what that thread left in the client is safe to read.
    // Where clients end on their threads: on that thread, while the client is still listed
    // (whoever sees it gone from the list sees what this recorded), different clients at
    // once. Otherwise on the main thread after the server's ClientFinished. Clients
    // ShutdownClients frees get it there too, unless their thread gave it. A client's hook,
    // not the server's: no virtual call reaches a server whose destructor may have begun.
    virtual void Finished() {}
    // Any thread: Terminated, the thread terminated, the socket terminated (a blocking wait on
    // it returns at once), MSG_QUIT to the socket's mailbox; a tunnel on a relay loop ends.
    virtual void Terminate();
    // Relays between this client's connection and outbound until both directions have ended
    // (as RelayStreams does), then runs onEnd (if set) with what it carried (end 0 is this
    // client's connection). On a client
    // thread, when both connections can be handed over, the tunnel goes to a relay loop
    // (net/RelayLoop.h): this relays it briefly itself (RelayBriefly, while another pool
    // thread waits or the pool is small), then returns, Execute
    // is to return, and the thread goes back to the pool; the client stays held (its slot,
    // its byte count, Terminate) until the tunnel ends, when onEnd runs on the relay loop's
    // thread, or on this thread as it goes back when the brief relay finished the tunnel,
    // before the client's done message. Otherwise it relays here and runs onEnd before it
    // returns.
    void RelayTunnel(TSocketStream& outbound, int bufferSize, TRelayEndHook onEnd);
    // Not terminated, the socket could be made (when it was tried), and it is not terminated
    // (once it exists).
    bool StillRunning() const;
    // Until no thread holds this client: a thread still serving it is terminated and waited
    // for (the main thread serves hand-overs meanwhile). The server calls it before it frees
    // a client; harmless when nothing holds it.
    void WaitLetGo();

private:
    friend class ATCPServer;
    friend class TTCPServerClientThread;
    void CreateStream(TSocketStreamMode mode);
    // The socket, made on first use; watchLater: registered with the loop only once its
    // notifications are needed (a blocking stream's first wait on it, GetSocket).
    TTCPServerClientSocket* MakeSocket(bool watchLater);
    // Terminates the socket and, for a client with a thread, wakes that thread's wait
    // (ClientSocketLock held).
    void TerminateSocketLocked();
    // On the serving thread once the connection is done: frees the stream and the socket on
    // the loop they belong to, keeping the byte count.
    void FreeConnection();
    // The relay loop's thread, as the client's tunnel ends: onEnd, the byte count, the done
    // message, let go.
    void TunnelEnded(const TRelayTotals& totals);
    // The server's throttle settings, as they are now (any thread).
    TRelayThrottle ServerThrottle() const;

    ATCPServer* FServer;
    uint64_t FId;
    TSocketHandle FSocketHandle = INVALID_SOCKETHANDLE;
    bool FHandleOwned = false; // the handle has not yet been given to a socket
    TSocketAddr FRemoteAddr;
    bool FRefused = false;
    std::string FTag;
    std::atomic<bool> FTerminated{false};
    // ClientSocketLock: guards FThread and FHeld (written by the accepting thread before it
    // lists the client and by the serving thread when it lets go; read by Terminate and the
    // destructor), FSocket's publication and foreign access to it (Terminate, ApplyThrottle,
    // TotalBytes) against its creation and freeing on the client thread, FFinalBytes and
    // FSocketLost. Lock order: after the server's PoolLock or ClientsLock and the main loop's
    // lock (the destructor's wait), before the socket's FHandleLock and the message loop's and mailbox
    // registry's locks (through Terminate and PostToMailbox).
    mutable std::mutex ClientSocketLock;
    TTCPServerClientThread* FThread = nullptr;
    bool FHeld = false;             // a thread has the client and has not let go
    std::condition_variable FLetGo; // FHeld became false (with ClientSocketLock)
    std::unique_ptr<TTCPServerClientSocket> FSocket;
    // The tunnel handed to a relay loop (also ClientSocketLock), from the hand-over until it
    // ends, and its end hook (set on the client thread, run on the loop's).
    std::shared_ptr<TRelayTunnel> FTunnel;
    TRelayEndHook FTunnelEnd;
    int64_t FFinalBytes = 0;  // the socket's byte count when it was freed (and the tunnel's)
    bool FSocketLost = false; // making the socket failed; the accepted handle is closed
    std::unique_ptr<TSocketStream> FStream; // the socket's thread only
    // The add notification was posted (client thread) and delivered (main thread only).
    std::atomic<bool> FAddPosted{false};
    bool FAddDelivered = false;
    // OnClientClose is owed: set by the client thread before it lets go, read by the main
    // thread after (the let-go orders them).
    bool FCloseOwed = false;
    // Finished ran on the thread that let go (FinishHere): written by that thread before it
    // lets go, read by ShutdownClients after (the let-go orders them).
    bool FFinishedHere = false;
    // Its place in the server's Clients list (the server's ClientsLock): taken off it in
    // constant time, as a short connection ends beside thousands of open tunnels.
    size_t FListPos = 0;
};

// A thread of the pool: waits for a connection, accepts and serves it, then waits again (see
// ATCPServer). For each client: socket and blocking stream, Activate, OnClientAdd (posted to
// the main thread), Execute, Deactivate, the socket and stream freed, MSG_SERVER_CLIENT_DONE
// (on which the main thread fires OnClientClose). Made with TThread::Create, by the main
// thread or by a pool thread that took the last wait, and started waiting.
class TTCPServerClientThread : public TThread {
public:
    // loop: the thread's message loop made in advance (TMessageLoop::CreateForNewThread), or
    // null to make it on the thread.
    explicit TTCPServerClientThread(ATCPServer* server,
                                    std::shared_ptr<TMessageLoop> loop = nullptr);

    ATCPServer* Server() const { return FServer; }
    // Process-unique number; MSG_SERVER_CLIENT_THREAD_END carries it.
    uint64_t Number() const { return FNumber; }
    // The client being served, or null while the thread waits (any thread).
    TTCPServerClient* Client() const;
    bool Running() const { return FRunning.load(std::memory_order_acquire); }
    // Ends the thread: sets the flag, wakes the slot waits, terminates the served client's
    // socket and posts MSG_QUIT to its mailbox (the client finishes as terminated). A wait on
    // the listening descriptor is woken by the server's stop (ShutdownClients).
    void Terminate() override;
    // The served client's Log.
    void Log(TServerLogType logType, const std::string& msg);

protected:
    void Execute() override;

private:
    friend class ATCPServer;
    // One client from start to let go.
    void Serve(TTCPServerClient* client);
    bool StillRunning(TTCPServerClient* client) const;
    // Runs step; an exception is logged as an error with prefix.
    void Step(TTCPServerClient* client, const char* prefix, const std::function<void()>& step);
    // Starts the idle clock of a wait for connections (this thread only).
    void StartIdleClock();
    ATCPServer* FServer;
    uint64_t FNumber;
    std::shared_ptr<TMessageLoop> FLoop; // adopted by the thread as it starts
    // Made by this thread while it waits as the only one, for a thread it may have to make
    // once it takes a connection; kept while unused, so that a thread that is the only one
    // again and again does not make and close one each time (this thread only).
    std::shared_ptr<TMessageLoop> FSuccessorLoop;
    // This thread's wait for connections: the listening descriptor (exclusive wake-ups) and
    // the server's stop descriptor. Made at its first wait, closed as it ends (this thread
    // only).
    int FWaitDescriptor = -1;
    std::atomic<bool> FRunning{true};
    // Guarded by the server's PoolLock: the client being served, and the thread is on its way
    // back to the pool (counted in FReturning).
    TTCPServerClient* FClient = nullptr;
    bool FReturning = false;
    // When this thread's wait for connections ends (SpareThreadIdleMs) and when it checks
    // for a surplus of waiting threads (SurplusSpareThreadIdleMs); this thread only.
    std::chrono::steady_clock::time_point FIdleDeadline, FSurplusCheck;
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
    // -1: no limit. At the limit further connections wait in the backlog. Read by the
    // accepting thread.
    std::atomic<int> MaxClients{-1};
    // Who may connect (net/AllowedClients.h); null admits everyone. Asked on the accepting
    // thread (a pool thread in ClientMode 2) for each accepted connection, before a client
    // object or a thread exists for it. Not owned: set it while inactive; it must outlive the
    // server's activity.
    TClientAdmission* Admission = nullptr;
    // A refused connection: true closes it at once, nothing read or written; false makes the
    // client as for any other, marked Refused(), so that its protocol answers the refusal
    // (the SOCKS reply, the HTTP 403) before it closes.
    bool CloseRefusedAtAccept = true;
    // Read by client threads when they set up their connection.
    std::atomic<int> ClientTimeout{kDefaultClientTimeout};
    std::atomic<int> ClientReadTrigger{-1};
    std::atomic<int> ClientWriteBufferLimit{-1};
    // Client threads kept waiting for connections, how long one waits before it ends, and
    // how long one waits while more than MaxSpareThreads wait (read by client threads; a
    // change applies to the next wait).
    std::atomic<int> MaxSpareThreads{kMaxSpareClientThreads};
    std::atomic<int> SpareThreadIdleMs{kSpareClientThreadIdleMs};
    std::atomic<int> SurplusSpareThreadIdleMs{kSurplusSpareClientThreadIdleMs};
    // How long a waiting client thread that ran out of descriptors (or memory) accepting
    // pauses before it tries again (tests lengthen it; a change applies to the next pause).
    std::atomic<int> AcceptRetryDelayMs{kAcceptRetryDelay};

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

    // Any thread. Clients are entered by the accepting thread and freed only on the main
    // thread: there a Client(i) stays valid until the main thread frees it.
    size_t ClientCount() const { return FClientCount.load(std::memory_order_acquire); }
    // MaxClients is reached by the listed clients and reserved more (any thread).
    bool AtClientLimit(size_t reserved = 0) const {
        int max = MaxClients.load();
        return max >= 0 && ClientCount() + reserved >= static_cast<size_t>(max);
    }
    // Main thread. Without an end event to fire (see EndsOnMainThread) a client may be freed
    // by its own thread at any time: use it under WithClientsLocked then. The list's order
    // is no order: a client leaving makes the last one take its place.
    TTCPServerClient* Client(size_t index) const;
    // Runs fn with the clients and the list locked (no client is freed meanwhile);
    // fn must not call back into the list (ClientCount is fine). Any thread.
    void WithClientsLocked(const std::function<void(const std::vector<TTCPServerClient*>&)>& fn) const;
    // Clients since the last activation: those open now and those that ended and were freed
    // on whichever thread (one reading of both; any thread).
    uint64_t ClientTotal() const;
    // Pool threads that exist (serving or waiting, ended ones not yet reaped) and those
    // waiting for a connection now (any thread).
    size_t ClientThreadCount() const;
    size_t SpareThreadCount() const;
    // Threads that saw a connection waiting at MaxClients and wait for a slot (any thread).
    size_t SlotWaiterCount() const;
    // A thread may keep its tunnel a moment (RelayTunnel) without the pool making a thread it
    // would not keep: another thread waits for connections, or the pool has fewer than
    // MaxSpareThreads (any thread).
    bool RoomToRelayBriefly() const;
    // Bytes per second over all clients (read + write), measured since the previous call.
    int64_t GetTransferRate();
    // Milliseconds since activation; 0 while inactive.
    int64_t Uptime() const;
    // Connections are accepted and served on the relay loops (see above; any thread).
    bool LoopServed() const;
    // Accepted connections have TCP_NODELAY set already (ConnectionsWantNoDelay, and the system
    // let the listening socket pass it on). Fixed while active.
    bool AcceptedWithNoDelay() const { return FListenNoDelay; }

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
    // A connection is waiting while the server is at MaxClients (main thread; once each time
    // the accepting side reaches the limit). A server that can end an idle connection to make room does it
    // here; nothing by default.
    virtual void ClientLimitReached() {}

    // Main thread, once for every client a thread has let go of, before it is freed: on the
    // client's done message (after OnClientClose, before OnClientRemove) and for each client
    // ShutdownClients frees (no events are fired there). What the client's thread left in the
    // client is safe to read. Where clients end on their threads, only for the clients
    // ShutdownClients frees: the client's own Finished is the hook for every end. Default:
    // nothing.
    virtual void ClientFinished(TTCPServerClient* client) { (void)client; }
    // Whether clients end on the main thread (ClientMode 2): true when an OnClientAdd,
    // OnClientClose or OnClientRemove handler is assigned, or this answers true (a server
    // whose ClientFinished needs the main thread). Otherwise the thread that served a client
    // (or the relay loop that carried its tunnel) finishes (the client's Finished), removes
    // and frees it at once, and nothing of the connection passes through the main thread.
    // Asked at activation.
    virtual bool ClientFinishedNeedsMainThread() const { return false; }
    // Whether connections are served on the relay loops (asked at activation, ClientMode 2; the
    // pool serves them when the loops are not available). A server that answers true calls
    // ShutdownClients in its destructor: until then a loop may call LoopOutbound.
    virtual bool ServesOnRelayLoops() { return false; }
    // Whether every connection wants TCP_NODELAY (asked at activation, ClientMode 2): most go
    // on to be tunnels, which set it (RelayTunnel), or the server writes its answers in pieces.
    // They are accepted with it set already (AcceptedWithNoDelay), a system call each less.
    virtual bool ConnectionsWantNoDelay() { return ServesOnRelayLoops(); }
    // A relay loop's thread, for a loop-served client just entered (the calling thread serves
    // its connection: TServedConnection): the tunnel's other end, opened without waiting (its
    // connect may be under way: TRelayEnd::Connecting), what runs as the tunnel ends, before
    // the client is let go of, and the tunnel's copy block (MakeRelayTunnel). False: the
    // client's connection is closed at once without a byte (the override logs why).
    virtual bool LoopOutbound(TTCPServerClient* client, TRelayEnd& outbound, TRelayEndHook& onEnd,
                              int& bufferSize) {
        (void)client, (void)outbound, (void)onEnd, (void)bufferSize;
        return false;
    }

    // Terminates all clients, last first, and frees them (each waits for its thread), then ends
    // every client thread, spares included. Derived servers call it in their destructor so no
    // client runs against a half-destroyed server.
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
    // Enters a new client for an accepted handle (any thread): false when the server is
    // shutting down (the client is then dropped and its handle closed).
    bool EnterClient(std::unique_ptr<TTCPServerClient>& client, TSocketHandle handle,
                     const TSocketAddr& peer, bool admitted);
    // The client of an accepted handle (any thread), or null when making it failed (logged).
    std::unique_ptr<TTCPServerClient> MakeClient(TSocketHandle handle);
    // False when the next client thread's loop cannot be made (accepting is paused).
    bool PrepareClientLoop();
    void StartClient(TTCPServerClient* client);
    void ClientDone(uint64_t id);
    // Any thread: the done message of client id to the main thread (lazily unless
    // connections wait for a slot).
    void PostClientDone(uint64_t id);
    // Runs one of the users' hooks at the end of a client; what it raises is logged (any
    // thread: LogAnywhere), so that the bookkeeping after it always happens.
    void GuardedHook(const char* prefix, const std::function<void()>& hook);
    void RemoveClient(TTCPServerClient* client);
    // Takes client off the list (counted as ended) and answers it, or null when it is not
    // listed (ClientsLock held).
    std::unique_ptr<TTCPServerClient> UnlistClientLocked(TTCPServerClient* client);
    // The serving thread (or relay loop) is done with client: it frees it there when the
    // client needs no main thread, else posts its done message; either way it lets go.
    void ClientLetGo(TTCPServerClient* client);
    // Finishes (the client's Finished), removes and frees client on the calling thread; false
    // when it is no longer listed (deactivation took it), which then still lets go of it.
    bool FinishHere(TTCPServerClient* client);
    // After a client left the list: its slot is free for the threads waiting at the limit, or
    // for the main thread when none waits.
    void SlotFreed();
    // Client add notifications: posted by the client thread, delivered once on the main
    // thread, at the latest before any later hand-over or message of that client.
    void PostClientAdd(TTCPServerClient* client);
    void DeliverClientAdd(TTCPServerClient* client);
    // Main thread: the add of client id (0: none) is delivered if due.
    void ClientAddArrived(uint64_t id);
    // The client with this Id, or null (main thread).
    TTCPServerClient* FindClient(uint64_t id) const;
    // Log from any thread: on the main thread directly, else queued for it (client: the
    // client whose add is delivered first, 0 for none).
    void LogAnywhere(TServerLogType logType, const std::string& msg, uint64_t client = 0);
    // Main thread: writes the queued entries.
    void WriteQueuedLog();

    // --- accepting (pool threads and relay loops) ---
    // A slot for one accept, unless MaxClients is reached counting those reserved (PoolLock
    // held).
    bool ReserveSlotLocked();
    // One accept under a reserved slot, which is given back after (error: a failure before
    // the accept, which then does not happen); answers as AcceptHere. Returns with lock (on
    // PoolLock) held.
    int AcceptReserved(TTCPServerClientThread* thread, TTCPServerClient** client,
                       std::unique_lock<std::mutex>& lock, int error = 0);
    // A connection waits at the limit: the main thread is told, once per hold (PoolLock held).
    void ReportLimitLocked();
    // Descriptors or memory ran out accepting: logged once per shortage (any thread).
    void LogShortage(int error);

    // --- the relay loops (loop-served) ---
    class TLoopListener final : public TRelayListener {
    public:
        TLoopListener(ATCPServer* server, TSocketHandle listening)
            : TRelayListener(listening), FServer(server) {}
        void Readable(std::vector<TRelayAdoption>& adopt) override { FServer->AcceptOnLoop(adopt); }

    private:
        ATCPServer* FServer;
    };
    // A loop's thread: accepts a batch, each client's tunnel to adopt.
    void AcceptOnLoop(std::vector<TRelayAdoption>& adopt);
    // A loop's thread: the tunnel of a client just entered, or its end when it has none.
    void ServeOnLoop(TTCPServerClient* client, std::vector<TRelayAdoption>& adopt);
    // The loops stop watching (shortage: until the retry), or watch again unless MaxClients
    // is reached counting those reserved or (unless this is the retry) a shortage holds them
    // (PoolLock held).
    void PauseLoopAcceptingLocked(bool shortage);
    // A connection waits in the listening socket's backlog (any thread).
    bool ConnectionWaiting() const;
    void ResumeLoopAcceptingLocked(bool retry = false);
    // Main thread: unlists the listener (no loop accepts for this server from its return on).
    void StopLoopAccepting();

    // --- the pool (ClientMode 2) ---
    // Main thread: makes a thread to wait for connections, unless one waits (its loop made
    // first).
    void StartPoolThread();
    // Makes and starts a pool thread, counted as waiting (PoolLock held). False when it could
    // not be started.
    bool StartPoolThreadLocked(std::shared_ptr<TMessageLoop> loop);
    // The pool thread's life: a connection, serve it, back to the pool, until it is to end.
    void RunPoolThread(TTCPServerClientThread* thread);
    // The waiting thread's part: answers the client it accepted and entered, or null when the
    // thread is to end (no longer counted as waiting either way).
    TTCPServerClient* NextConnection(TTCPServerClientThread* thread);
    // One accept under a reserved slot: 0 when a connection was taken (*client the client
    // entered, or null when it was refused, could not be made or the server is shutting
    // down), else the accept's error (WSAEWOULDBLOCK: none waited).
    int AcceptHere(TTCPServerClientThread* thread, TTCPServerClient** client);
    // The thread's own wait for connections, made at its first wait; else the error that
    // kept it from being made (descriptors ran out, say).
    int PrepareWait(TTCPServerClientThread* thread);
    // What a pool thread waits for besides the stop: nothing; a connection, woken alone for
    // it (an arrival wakes one such thread, which is then to take it); or any connection
    // waiting, whichever thread was woken for it.
    enum TPoolWait { kWaitStop, kWaitExclusive, kWaitEvery };
    // The thread waits for the stop, a connection (as how says) or timeoutMs; answers 1 a
    // connection may wait, 0 timed out, -1 stopped.
    int WaitForConnection(TTCPServerClientThread* thread, TPoolWait how, int timeoutMs);
    // Descriptors or memory ran out: logs once per shortage and waits AcceptRetryDelayMs (or
    // until the stop). PoolLock must not be held: every other thread of the pool, the relay
    // loops and the main thread would wait as long.
    void PauseAcceptingHere(TTCPServerClientThread* thread, int error);
    // A waiting thread stops waiting, to serve or to end (PoolLock held): when no other waits
    // and none is on its way back, the main thread watches the listening socket again.
    void StopWaitingLocked();
    // Serving thread, before its connection closes: it will come back to the pool (false:
    // the thread is to end).
    bool MarkReturning(TTCPServerClientThread* thread);
    // Back from a client: waits for connections again (true), or the pool closed or the
    // thread was terminated (false).
    bool BackToPool(TTCPServerClientThread* thread);
    // The thread's wait for connections is over (PoolLock held): its idle time has passed,
    // or its surplus check found more than MaxSpareThreads waiting.
    bool IdleOverLocked(TTCPServerClientThread* thread);
    // Stops the pool: closed, slot waits woken, every wait on the listening descriptor woken.
    void ClosePool();
    void ClientThreadEnded(uint64_t number);
    void EndClientThreads();

    TLogLink FLogTo;
    std::unique_ptr<TTCPServerSocket> FServerSocket;
    // ClientsLock: guards FClients, FClientIndex and FClientsClosed; FClientCount is written
    // under it. Entered by the accepting thread, left on the main thread. Lock order: never
    // held together with PoolLock; before a client's ClientSocketLock (ApplyThrottleToClients,
    // GetTransferRate).
    mutable std::mutex ClientsLock;
    std::vector<std::unique_ptr<TTCPServerClient>> FClients;
    // FClients by Id: a client's add and done messages find it without walking every open
    // connection (thousands of idle tunnels each touched per short connection otherwise).
    std::unordered_map<uint64_t, TTCPServerClient*> FClientIndex;
    bool FClientsClosed = false; // shutting down: a connection accepted now is dropped
    // FinishingLock: guards FFinishing, the clients taken off the list by the thread or loop
    // they ended on, which is still inside this server (FinishHere), and FShutdownWaits, a
    // shutdown waiting for none to be left (FFinished, or the main loop's job waiters). A
    // leaf lock, taken under ClientsLock and under the main loop's own lock (a condition of
    // ServeJobsUntil).
    std::mutex FinishingLock;
    size_t FFinishing = 0;
    bool FShutdownWaits = false;
    std::condition_variable FFinished;
    std::atomic<size_t> FClientCount{0};
    uint64_t FEndedClients = 0; // ClientsLock
    // Clients end on the main thread (decided at activation; see ClientFinishedNeedsMainThread).
    std::atomic<bool> FEndOnMainThread{true};
    std::string FListenPort;
    std::string FLocalHost;
    bool FActive = false;
    bool FStoredActive = false;
    bool FLoading = false;
    // Read by client threads too: while connections wait for a client to end, its done
    // message wakes the main thread at once.
    std::atomic<bool> FAcceptPending{false};
    int64_t FActivationTime = 0;
    // Read by client threads (ApplyThrottle).
    std::atomic<bool> FThrottleRead{false}, FThrottleWrite{false};
    std::atomic<int64_t> FReadThrottleRate{0}, FWriteThrottleRate{0};
    // The message loop of the thread the main thread makes, made before it (main thread): when descriptors have run out, accepting pauses and the connection waits in the
    // backlog.
    std::shared_ptr<TMessageLoop> FNextClientLoop;
    // Wakes every thread's wait for connections when the pool stops (eventfd; made at
    // activation, ClientMode 2).
    int FStopDescriptor = -1;
    // The listening descriptor the pool threads wait and accept on (set at activation, before
    // any pool thread starts; cleared after every one has ended).
    TSocketHandle FListenHandle = INVALID_SOCKETHANDLE;
    uint16_t FListenPortNumber = 0; // the port it is bound to (0: not known); as FListenHandle
    // Accepted connections take TCP_NODELAY from the listening socket (their tunnels need not
    // set it); as FListenHandle.
    bool FListenNoDelay = false;
    // A shortage of descriptors was logged; cleared by the next successful accept (pool).
    std::atomic<bool> FShortageLogged{false};
    // PoolLock: guards FClientThreads, FWaiting, FReturning, FAccepting, FLimitReported,
    // FPoolClosed, FLoopListener, FLoopPaused, FLoopShortage and every pool thread's FClient
    // and FReturning; FSlotFreed waits under it. Lock order: taken first; under it a client's
    // ClientSocketLock (and what that allows) or a relay loop's mailbox lock
    // (WatchRelayListener) may be taken; never together with ClientsLock.
    mutable std::mutex PoolLock;
    // Every pool thread; freed only on the main thread.
    std::vector<std::unique_ptr<TTCPServerClientThread>> FClientThreads;
    int FWaiting = 0;   // threads waiting for a connection (one being made included)
    int FReturning = 0; // threads between their connection's end and the pool
    int FAccepting = 0; // slots reserved for an accept whose client is not listed yet
    bool FLimitReported = false; // the main thread was told of the limit holding a connection
    int FSlotWaiters = 0;        // threads waiting on FSlotFreed
    // Woken when a slot is freed, the pool stops or a thread is terminated: threads that saw
    // a connection waiting at MaxClients wait on it.
    std::condition_variable FSlotFreed;
    bool FPoolClosed = false; // shutting down: a thread whose client is done ends
    // Loop-served: the listener on the relay loops (set and cleared on the main thread while
    // the loops cannot call it: before listing, after unlisting), whether the loops were
    // told to stop watching, and whether for a shortage of descriptors.
    std::unique_ptr<TLoopListener> FLoopListener;
    bool FLoopPaused = false;
    bool FLoopShortage = false;
    // Loop-served, main thread: the listening socket's accept timer runs for a shortage the
    // loops met, and its report brings them back.
    bool FAcceptRetryArmed = false;
    // LogQueueLock: guards FLogQueue and FLogPosted. A leaf lock.
    struct TQueuedLogEntry {
        TServerLogType Type;
        std::string Text;
        uint64_t Client;
    };
    std::mutex LogQueueLock;
    std::vector<TQueuedLogEntry> FLogQueue;
    bool FLogPosted = false; // a MSG_SERVER_LOG is on its way
    // Rate measurement (main thread): bytes of clients already freed, and the last sample.
    std::atomic<int64_t> FRemovedClientBytes{0};
    int64_t FSampledBytes = 0;
    TRateWindow FRateWindow;
};

} // namespace corvan
