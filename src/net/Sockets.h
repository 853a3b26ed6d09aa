#pragma once
// The socket object every TCP and UDP socket derives from, its send buffer and rate limiter.
//
// ASocket owns one socket handle, runs it non-blocking with notifications through its own
// mailbox (MSG_SOCKET, see EventLoop.h), keeps a state with a change event, records the last
// error (code and text) and calls OnError before any exception leaves, binds, and starts host
// lookups for its descendants. Its I/O helpers (RecvData, SendData, AcceptConnection,
// ConnectTo, ListenOn, RecvDatagram, SendDatagram) are the only way descendants reach the
// socket: they re-enable the loop's notifications exactly as the Windows socket library does, so a
// socket that does not read costs nothing.
//
// A socket is used on the thread that created its mailbox; only Terminate and the throttle
// setters may be called from another thread.

#include "net/SocketHostLookup.h"
#include "net/SocketLib.h"
#include "net/EventLoop.h"
#include "util/Exceptions.h"

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace corvan {

enum TSocketState : uint8_t {
    ssClosed = 0,
    ssResolving = 1,
    ssResolved = 2,
    ssConnecting = 3,
    ssNegotiating = 4,
    ssConnected = 5,
    ssListening = 6,
};

// The socket layer's own error numbers (20000s socket, 30000s proxy, 40000s SOCKS, 50000s
// HTTP tunnel, 60000s general, 70000 and up user-defined).
enum : int {
    SOCKET_ERR_NOT_CLOSED = 20001,
    SOCKET_ERR_NOT_CONNECTED = 20002,
    SOCKET_ERR_HANDLE = 20003,
    SOCKET_ERR_PROTOCOL = 20004,
    SOCKET_ERR_NOT_RESOLVED = 20005,
    SOCKET_ERR_PROXY_REQUIRED = 30001,
    SOCKET_ERR_SOCKS_BASE = 40000,
    SOCKET_ERR_SOCKS_NEGOTIATION = 40101,
    SOCKET_ERR_SOCKS_AUTHENTICATION = 40102,
    SOCKET_ERR_SOCKS_INVALID_RESPONSE = 40103,
    SOCKET_ERR_HTTP_RESPONSE = 50001,
    SOCKET_ERR_HTTP_TUNNEL = 50002,
    SOCKET_ERR_SYSTEM = 60001,
    SOCKET_ERR_APPLICATION = 60003,
    SOCKET_ERR_TIMEOUT = 60008,
    SOCKET_ERR_ABORTED = 60010,
};

// Text of any error number: "" for 0; the socket layer's table for 20000 and up ("Socket
// <category> error #n" outside it); the system table below 20000.
std::string SocketErrorMessage(int code);

// Raised by ASocket::RaiseError with the message as given.
class ESocket : public ECodedException {
public:
    using ECodedException::ECodedException;
};

// A window of recent transfer for rates and limits, on the 32-bit millisecond clock.
struct TRateWindow {
    uint32_t StartTick = 0;
    int64_t Count = 0; // bytes in the window
    int64_t Rate = 0;  // bytes per second, as last computed
    void Restart(uint32_t now);
    // Over a second since the start: Rate := Count*1000/Elapsed, then Elapsed and Count are
    // halved until Elapsed <= 50 and the start moves to now - Elapsed. Answers Elapsed.
    uint32_t Update(uint32_t now);
    // Bytes that may move now, 0..size: ((Elapsed+20)*maxRate)/1000 - Count, so a connection
    // runs at most 20 ms ahead of its budget.
    int64_t Allowance(int64_t size, int64_t maxRate, uint32_t now);
    void Add(int64_t bytes) { Count += bytes; }
};

class ASocket;

// Errors after which a retry can only succeed once the process or system has freed
// descriptors or memory (EMFILE/ENFILE, ENOBUFS, ENOMEM).
bool IsResourceExhaustion(int error);

class ASocket : public TTimerHandle {
public:
    ASocket();
    explicit ASocket(TIPProtocol protocol);
    // Takes an existing handle (server side); the descendant sets the state.
    explicit ASocket(TSocketHandle handle);
    ~ASocket() override;

    TIPProtocol Protocol() const { return FProtocol; }
    virtual void SetProtocol(TIPProtocol protocol);
    TSocketState State() const { return FState; }
    // Connected in states negotiating and connected.
    virtual bool IsConnected() const { return FState == ssNegotiating || FState == ssConnected; }

    // The handle, or INVALID_SOCKETHANDLE.
    TSocketHandle SocketHandle() const { return FHandle; }
    // The handle, allocating one of AddressFamily for Protocol when there is none
    // (non-blocking when nonBlocking).
    TSocketHandle GetSocketHandle(bool nonBlocking = false);
    // The family of the handle GetSocketHandle allocates (IPv4 unless set, or chosen by Bind).
    TIPAddressFamily AddressFamily() const { return FFamily; }
    // Only without a handle (raises 20003 otherwise).
    void SetAddressFamily(TIPAddressFamily family);
    // Takes a handle (closing the current one); raises 20003 on an open socket.
    void SetSocketHandle(TSocketHandle handle);

    int ErrorCode() const { return FErrorCode; }
    std::string ErrorMessage() const;
    void SetError(int code, const std::string& message = "");
    void ClearError();

    const std::string& LocalHost() const { return FRare ? FRare->LocalHost : EmptyText(); }
    virtual void SetLocalHost(const std::string& value);
    const std::string& LocalPort() const { return FRare ? FRare->LocalPort : EmptyText(); }
    virtual void SetLocalPort(const std::string& value);
    // LocalPort if set; else, when connected, the bound port as decimal text.
    virtual std::string GetLocalPort();

    // Binds to LocalHost/LocalPort; "Socket bind failed" with the system error. LocalHost may
    // be an address literal of either family (IsIPLiteral) or a name (its first IPv4
    // address). Empty, on a socket without a handle: any interface of both protocols with one
    // IPv6 socket taking IPv4 peers too; where the system has IPv6 switched off, 0.0.0.0 (with
    // one note on stderr per process). "0.0.0.0" stays IPv4 only.
    void Bind();
    // Non-blocking mode and notifications to the own mailbox; "Asynchronous mode not set".
    // origin soAccepted: the handle came connected and non-blocking from AcceptConnection;
    // soFresh: it was just made non-blocking by GetSocketHandle(true) and nothing has used it.
    // The system is then not asked what the caller knows.
    void SetAsynchronous(TSocketOrigin origin = TSocketOrigin::soUnknown);
    // As SetAsynchronous for a connected handle, but the loop watches it only once its
    // notifications are needed: WatchNow (a wait on the socket), a receive, or a send that
    // would block. Until then the socket counts as writable, and a connection that is only
    // handed on (to a relay) never enters the loop.
    void SetAsynchronousLater(TSocketOrigin origin);
    // Watched from now on when SetAsynchronousLater left it for later; else nothing.
    void WatchNow();
    // SetAsynchronousLater left the watching for later, and it has not begun.
    bool WatchPending() const { return FWatchLater && FHandle != INVALID_SOCKETHANDLE; }
    // Closes the handle (unregistering it first, and taking it out of the program's own
    // connections when it was entered there).
    void CloseHandle();
    // Takes a connected handle of a connect this socket started elsewhere (watched by the
    // loop for this socket's mailbox with AsyncEvents, as SetAsynchronous does), in place of
    // the current one, which is closed. own: it was entered among the program's own
    // connections.
    void AdoptWatchedHandle(TSocketHandle handle, TIPAddressFamily family, bool own);
    // Gives the handle away without closing it: unregistered from the loop's notifications
    // (queued ones dropped) and forgotten. ownConnection tells whether it was entered among
    // the program's own connections; the new owner takes it out as it closes the handle.
    TSocketHandle ReleaseHandle(bool& ownConnection);
    // Enters the connection of the handle among the program's own connections
    // (net/OwnConnections.h) until the handle is closed, with the ends the system reports (a
    // TCP connection entered already as ConnectTo started it stays as it was entered).
    void MarkOwnConnection();
    // State closed without event, pending lookups freed, handle closed.
    virtual void ResetSocket();
    // Final: cancels lookups and closes the handle. From a thread other than the socket's own,
    // it shuts the connection down at once (a blocked peer operation wakes) and leaves the
    // close of the handle to the socket's thread, so a descriptor in use is never closed
    // under it.
    void Terminate() override;

    // A literal IPv4 host (with allFamilies, a literal of either family) resolves at once
    // (DoHostResolvedAll inside this call); otherwise a lookup by method (0 caller, 1
    // asynchronous, 2 thread) of IPv4 addresses, or of both families with allFamilies, runs
    // and DoHostResolvedAll follows.
    void StartHostLookup(const std::string& host, uint8_t method, bool allFamilies = false);
    size_t PendingLookupCount() const { return FRare ? FRare->HostLookups.size() : 0; }

    // Records code and message, calls OnError, raises ESocket(message, code).
    [[noreturn]] virtual void RaiseError(const std::string& message, int code);
    [[noreturn]] void RaiseSocketError(const std::string& message, int code);
    [[noreturn]] void RaiseLastSocketError(const std::string& message);
    void CheckClosed(const std::string& operationName);
    void CheckConnected();

    TEventSlot<void(ASocket* sender, TSocketState oldState, TSocketState state)> OnStateChange;
    TEventSlot<void(ASocket* sender)> OnError;

protected:
    void SetState(TSocketState state);
    // Sets the state without a state event (initialisation paths).
    void ResetStateTo(TSocketState state) { FState = state; }
    virtual void TriggerStateChange(TSocketState oldState, TSocketState state);
    virtual void ProcessSocketEvent(uint32_t events, int error) = 0;
    virtual uint32_t AsyncEvents() const = 0;
    virtual void DoHostResolved(int error, const std::string& host, uint32_t address) {}
    // Every address found; by default DoHostResolved with the first IPv4 one (none: the error
    // WSANO_DATA).
    virtual void DoHostResolvedAll(int error, const std::string& host,
                                   const TSocketAddrArray& addresses);
    intptr_t HandleLoopMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;

    // Posts MSG_SOCKET(handle, events) to the own mailbox; it runs later on this thread.
    bool PostSocketEvent(uint32_t events, int error = 0);
    // True when called from a thread other than the socket's own: the one serving its mailbox,
    // or, before it has one, the thread that constructed it.
    bool OnForeignThread() const;
    // Private messages: a foreign Terminate, and throttle switches made from another thread
    // (wParam: which switch, lParam: the value), applied on the socket's thread.
    static constexpr uint32_t MSG_SOCKET_TERMINATE = MSG_USER + 581;
    static constexpr uint32_t MSG_SOCKET_THROTTLE = MSG_USER + 582;
    virtual void ApplyThrottleSwitch(uintptr_t which, bool value) {}
    // Applies a throttle switch here, or posts it to the socket's thread from another thread.
    void SetThrottleSwitch(uintptr_t which, bool value);
    // I/O with the Windows socket library's re-enabling rules. Each answers what the system call
    // answers (-1 with SocketGetLastError on failure).
    long RecvData(void* buf, size_t size);       // stream: 0 or a reset posts READY_CLOSE once
    // RecvData for a socket whose watching is pending and whose reader waits on the descriptor
    // itself: bytes, and nothing yet, leave it unwatched; the end or a failure is told as
    // RecvData tells it (watched from then on).
    long RecvUnwatched(void* buf, size_t size);
    long SendData(const void* buf, size_t size); // would block re-enables READY_WRITE
    // The same two from and into a pipe without copying (SocketSplice); a pipe the system
    // cannot splice answers -1 with that error and changes no notification.
    long SpliceRecvData(int pipeWrite, size_t size);
    long SpliceSendData(int pipeRead, size_t size);
    // Does not re-arm READY_ACCEPT when the system is out of descriptors or memory
    // (IsResourceExhaustion): the caller must retry by itself.
    TSocketHandle AcceptConnection(TSocketAddr* peer);
    // In progress answers -1 with 10035. A TCP connection is among the program's own
    // (net/OwnConnections.h) from here. Unwatched, the loop is not asked to tell the outcome
    // (whoever waits for it polls the descriptor and tells ConnectAnswered).
    int ConnectTo(const TSocketAddr& addr, bool watched = true);
    // The outcome of an unwatched ConnectTo is known: a later watching has none to tell, and
    // watches a connection that stands as connected.
    void ConnectAnswered(bool stands);
    int ListenOn(int backlog);
    long RecvDatagram(void* buf, size_t size, TSocketAddr* from, bool* truncated);
    long SendDatagram(const void* buf, size_t size, const TSocketAddr& to);
    // The same two for a batch of datagrams in one call (SocketRecvBatch, SocketSendBatch).
    long RecvDatagrams(TDatagram* items, size_t count);
    long SendDatagrams(const TDatagram* items, size_t count);

private:
    void Init();
    // An IPv6 handle taking IPv4 peers too, made the socket's; INVALID_SOCKETHANDLE where the
    // system has no IPv6.
    TSocketHandle AllocateDualStackHandle();
    void HostLookupComplete(TSocketHostLookup* lookup);
    void FreeLookups();
    void EnableEvent(uint32_t event, int error = 0);
    // Registers the handle with the loop of the own mailbox (SetAsynchronous, WatchNow).
    void Watch();
    // RecvData's re-enabling after a receive that answered n.
    long Received(long n);
    // The datagram calls' re-enabling after a receive or a send that answered n.
    long ReceivedDatagrams(long n);
    long SentDatagrams(long n);

    TIPProtocol FProtocol = TIPProtocol::ipNone;
    TIPAddressFamily FFamily = TIPAddressFamily::iaIP4;
    TSocketState FState = ssClosed;
    std::thread::id FOwnerThread = std::this_thread::get_id(); // until it has a mailbox
    // FHandleLock: guards FHandle against a foreign Terminate's shutdown racing a close.
    // Lock order: a leaf (only shutdown and close run under it); may be taken while holding
    // a client's ClientSocketLock or FSocketLock.
    mutable std::mutex FHandleLock;
    TSocketHandle FHandle = INVALID_SOCKETHANDLE;
    bool FRegistered = false;
    bool FWatchLater = false; // SetAsynchronousLater: not registered yet
    TSocketOrigin FWatchOrigin = TSocketOrigin::soUnknown;
    // A receive may find bytes: false after a receive on the registered socket found none
    // (which armed its read notification) until the next notification of the socket, so that
    // receives in between answer "would block" without asking the system.
    bool FMayRead = true;
    bool FConnectPending = false; // ConnectTo ran before SetAsynchronous
    bool FOwnConnection = false;  // entered by ConnectTo or MarkOwnConnection
    int FErrorCode = 0;
    // What most sockets never use (an accepted or a plain outbound connection has no local
    // address set, no error text and no name to look up), made on first use: one pointer in
    // every socket in place of five members.
    struct TRarePart {
        std::string ErrorMessage;
        std::string LocalHost;
        std::string LocalPort;
        std::vector<std::unique_ptr<TSocketHostLookup>> HostLookups;
        std::vector<std::unique_ptr<TSocketHostLookup>> DoneLookups; // freed outside their callbacks
    };
    TRarePart& Rare();
    static const std::string& EmptyText();
    std::unique_ptr<TRarePart> FRare;
};

// One unsent item: bytes from Offset on, and a destination for datagrams.
struct TSendBufferItem {
    std::string Data;
    size_t Offset = 0;
    TSocketAddr Destination;
    size_t Remaining() const { return Data.size() - Offset; }
};

// Interval of the throttling timer.
constexpr int kThrottleTimerInterval = 50;

class ASocketExSendBuffer : public ASocket {
public:
    ASocketExSendBuffer();
    explicit ASocketExSendBuffer(TIPProtocol protocol);
    explicit ASocketExSendBuffer(TSocketHandle handle);
    ~ASocketExSendBuffer() override;

    bool UseSendBuffer = true;
    TEventSlot<void(ASocket* sender)> OnSendBufferEmpty;

    bool WriteReady() const { return FWriteReady; }
    // Writable and nothing buffered.
    bool CanSendDirectly() const { return FWriteReady && FSendBuffer.empty(); }
    int64_t SendBufferSize() const { return FSendBufferSize; }
    bool ThrottleWrite() const { return FThrottleWrite; }
    // Timer on exactly while NeedsTimer; switching off on a connected socket posts READY_WRITE so
    // buffered data moves at once. Setting the value it has changes nothing.
    void SetThrottleWrite(bool value);
    int64_t WriteThrottleRate() const { return FWriteThrottleRate.load(std::memory_order_relaxed); }
    void SetWriteThrottleRate(int64_t bytesPerSecond) {
        FWriteThrottleRate.store(bytesPerSecond, std::memory_order_relaxed);
    }
    int64_t GetWriteRate();
    // Bytes handed to the system so far; readable from any thread.
    int64_t TotalBytesSent() const { return FBytesSent.load(std::memory_order_relaxed); }
    void ClearSendBuffer();
    // WriteReady := true; sends what is buffered; OnSendBufferEmpty when that emptied it.
    void FlushSendBuffer();
    // Switches the throttling timer to NeedsTimer (call after state changes).
    void UpdateTimer();

protected:
    void ProcessSocketEvent(uint32_t events, int error) override;
    void TriggerTimer() override;
    virtual bool NeedsTimer() const { return FThrottleWrite && State() == ssConnected; }
    virtual void TriggerSendBufferEmpty();
    void ApplyThrottleSwitch(uintptr_t which, bool value) override;
    // After a throttle flag changed: timer to NeedsTimer; switched off on a connected socket,
    // posts resumeEvent to itself.
    void ThrottleSwitched(bool value, uint32_t resumeEvent);
    // size, or the rate limiter's allowance while write-throttled and connected.
    int64_t GetWriteSize(int64_t size);
    virtual void SendBufferedData() = 0;
    // Bookkeeping after every send: answers 0, or the error (10035 clears WriteReady).
    int SendResult(long result);
    void AppendSendBuffer(std::string data, const TSocketAddr& destination = TSocketAddr());
    std::list<TSendBufferItem>& SendBuffer() { return FSendBuffer; }
    // Accounts bytes leaving the buffer.
    void SendBufferConsumed(int64_t bytes) { FSendBufferSize -= bytes; }
    TRateWindow& WriteWindow() { return FWriteWindow; }

private:
    void InitSendBuffer();
    // A list: an empty one holds no memory (a deque holds a block), and most sockets never
    // buffer.
    std::list<TSendBufferItem> FSendBuffer;
    int64_t FSendBufferSize = 0;
    bool FWriteReady = false;
    bool FThrottleWrite = false;
    std::atomic<int64_t> FWriteThrottleRate{0};
    TRateWindow FWriteWindow;
    std::atomic<int64_t> FBytesSent{0};
};

} // namespace corvan
