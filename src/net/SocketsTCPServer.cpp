#include "net/SocketsTCPServer.h"

namespace corvan {

TTCPServerSocket::TTCPServerSocket() : ASocket(TIPProtocol::ipTCP) {
    SetTimerInterval(kAcceptRetryDelay);
}

TTCPServerSocket::~TTCPServerSocket() = default;

void TTCPServerSocket::SetMaxBacklog(int value) {
    if (value == FMaxBacklog)
        return;
    CheckClosed("SetMaxBacklog");
    FMaxBacklog = value;
}

void TTCPServerSocket::SetAcceptNoDelay(bool value) {
    if (value == FAcceptNoDelay)
        return;
    CheckClosed("SetAcceptNoDelay");
    FAcceptNoDelay = value;
}

void TTCPServerSocket::Listen() {
    CheckClosed("Listen");
    Bind();
    // Before the first connection can come: one accepted earlier would not have it.
    FAcceptNoDelaySet = FAcceptNoDelay && SocketSetNoDelay(SocketHandle(), true) == 0;
    SetAsynchronous();
    // The accept retry timer runs exactly when descriptors have run out: make its descriptor
    // while one can still be had.
    MailboxLoop()->PrepareTimers();
    if (ListenOn(FMaxBacklog) != 0)
        RaiseLastSocketError("Listen failed");
    SetState(ssListening);
    if (OnListen)
        OnListen(this);
}

TSocketHandle TTCPServerSocket::Accept(TSocketAddr* peer) {
    if (State() != ssListening)
        RaiseError("Socket closed", SOCKET_ERR_NOT_CONNECTED);
    ++FAcceptCalls;
    TSocketAddr address;
    TSocketHandle h = AcceptConnection(&address);
    if (peer)
        *peer = address;
    if (h == INVALID_SOCKETHANDLE) {
        int error = SocketGetLastError();
        FPendingAccepts = 0;
        if (IsResourceExhaustion(error))
            PauseAccepting(error);
        return h;
    }
    FExhaustionReported = false;
    if (FPendingAccepts > 0)
        --FPendingAccepts;
    return h;
}

TSocketHandle TTCPServerSocket::AcceptOnCaller(TSocketAddr* peer, int* error) {
    FAcceptCalls.fetch_add(1, std::memory_order_relaxed);
    TSocketHandle h = SocketAccept(SocketHandle(), peer, true);
    *error = h == INVALID_SOCKETHANDLE ? SocketGetLastError() : 0;
    return h;
}

void TTCPServerSocket::WatchAccepts() {
    if (State() == ssListening && !FAcceptPaused)
        MailboxLoop()->AsyncEnable(SocketHandle(), READY_ACCEPT);
}

void TTCPServerSocket::PauseAccepting(int error) {
    if (FAcceptPaused)
        return;
    FAcceptPaused = true;
    SetTimerActive(true);
    if (!FExhaustionReported) {
        FExhaustionReported = true;
        if (OnAcceptPaused)
            OnAcceptPaused(this, error);
    }
}

void TTCPServerSocket::Close() {
    SetTimerActive(false);
    FAcceptPaused = false;
    FExhaustionReported = false;
    FPendingAccepts = 0;
    ResetSocket();
}

void TTCPServerSocket::ProcessSocketEvent(uint32_t events, int error) {
    if (!(events & READY_ACCEPT))
        return;
    ++FPendingAccepts;
    if (OnAccept)
        OnAccept(this);
}

void TTCPServerSocket::TriggerTimer() {
    SetTimerActive(false);
    if (!FAcceptPaused)
        return;
    FAcceptPaused = false;
    // As if the loop reported the queued connection again; the next accept re-arms it.
    PostSocketEvent(READY_ACCEPT);
}

intptr_t TTCPServerSocket::HandleLoopMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    if (msg == MSG_SERVER_CLIENT_DONE) {
        if (OnClientDone)
            OnClientDone(wParam);
        return 0;
    }
    return ASocket::HandleLoopMessage(msg, wParam, lParam);
}

} // namespace corvan
