#pragma once
// The listening socket of a TCP server.
//
// Listen binds to LocalHost/ListenPort, registers for READY_ACCEPT and listens with MaxBacklog.
// Each READY_ACCEPT raises the pending count and calls OnAccept, whose handler accepts with
// Accept. A MSG_SERVER_CLIENT_DONE posted to this socket's mailbox (from any thread) is handed
// to OnClientDone on the socket's thread.
//
// When accept fails because the process or the system is out of descriptors or memory, the
// connection stays in the backlog and a retry at once would fail the same way. The socket
// then pauses accepting for kAcceptRetryDelay milliseconds (a timer of its own loop, nothing
// sleeps) and afterwards reports READY_ACCEPT again by itself, so the server neither spins nor
// stops serving.

#include "net/Sockets.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace corvan {

// Pause of accepting after the system ran out of descriptors or memory.
constexpr int kAcceptRetryDelay = 200;
// Default listen backlog.
constexpr int kDefaultMaxBacklog = 4;

class TTCPServerSocket : public ASocket {
public:
    TTCPServerSocket();
    ~TTCPServerSocket() override;

    int MaxBacklog() const { return FMaxBacklog; }
    // Closed socket only ("Operation only allowed on closed socket: SetMaxBacklog").
    void SetMaxBacklog(int value);
    const std::string& ListenPort() const { return LocalPort(); }
    // Also the LocalPort.
    void SetListenPort(const std::string& value) { SetLocalPort(value); }
    // Accepted connections are to come with TCP_NODELAY: Listen sets it on the listening
    // socket before it listens, and the system gives it to each (one system call for all).
    // Closed socket only.
    void SetAcceptNoDelay(bool value);
    // Listening: its accepted connections have TCP_NODELAY.
    bool AcceptNoDelay() const { return FAcceptNoDelaySet; }

    // Closed socket only. Binds ("Socket bind failed"), registers, listens ("Listen failed"),
    // state listening, OnListen.
    void Listen();
    // One waiting connection, or INVALID_SOCKETHANDLE when none can be taken now (peer zeroed,
    // pending count reset; out of descriptors also pauses accepting). Raises "Socket closed"
    // unless listening. The caller owns the handle, which is non-blocking.
    TSocketHandle Accept(TSocketAddr* peer);
    // Any thread, while listening: one waiting connection or INVALID_SOCKETHANDLE with the
    // socket error number in *error (counted in AcceptCalls; nothing re-armed, nothing
    // paused: for a thread that waits on the handle itself).
    TSocketHandle AcceptOnCaller(TSocketAddr* peer, int* error);
    // Stops accepting for kAcceptRetryDelay, as after an accept that ran out of descriptors
    // (error: the socket error number for OnAcceptPaused). For a caller that cannot take a
    // connection on now for lack of resources: it stays in the backlog. No-op while paused.
    void PauseAccepting(int error);
    // Reports the next waiting connection (READY_ACCEPT) again, for an owner that let threads
    // accept meanwhile and now watches the socket itself.
    void WatchAccepts();
    // Reports READY_ACCEPT again by itself (posted), for a caller that stopped taking connections
    // while more may wait in the backlog.
    void ContinueAccepting() { PostSocketEvent(READY_ACCEPT); }
    // Closes the listening handle: state closed, pending count 0, no pause.
    void Close();

    int PendingAccepts() const { return FPendingAccepts; }
    bool AcceptPaused() const { return FAcceptPaused; }
    // accept calls so far (diagnostics: a spinning server shows here).
    uint64_t AcceptCalls() const { return FAcceptCalls.load(std::memory_order_relaxed); }

    std::function<void(TTCPServerSocket* sender)> OnListen;
    std::function<void(TTCPServerSocket* sender)> OnAccept;
    // Accepting paused for lack of descriptors or memory (error: the socket error number).
    // Called when a pause begins after a successful accept, not for every retry.
    std::function<void(TTCPServerSocket* sender, int error)> OnAcceptPaused;
    // MSG_SERVER_CLIENT_DONE(wParam) arrived.
    std::function<void(uintptr_t client)> OnClientDone;

protected:
    uint32_t AsyncEvents() const override { return READY_ACCEPT; }
    void ProcessSocketEvent(uint32_t events, int error) override;
    void TriggerTimer() override;
    intptr_t HandleLoopMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;

private:
    int FMaxBacklog = kDefaultMaxBacklog;
    bool FAcceptNoDelay = false;
    bool FAcceptNoDelaySet = false; // as Listen left it
    int FPendingAccepts = 0;
    bool FAcceptPaused = false;
    bool FExhaustionReported = false;
    std::atomic<uint64_t> FAcceptCalls{0};
};

} // namespace corvan
