#pragma once
// One end of an established TCP connection: the accepted connection of a server client and the
// outbound connection of a client socket are both this class.
//
// Receiving: on READY_READ the socket reads what the system reports available (at most
// kReadEventLimit per notification) into a growable read buffer and calls OnDataAvailable
// after each read. ReadEventTrigger -1 reads everything;
// N >= 0 stops reading from the socket once N bytes are buffered (ReadSuspended), and the
// socket then receives no more notifications until a consuming call (Read, ReadStr,
// ReadAvailable, Skip) takes bytes or the trigger is raised; the resumed read runs later on
// the socket's own thread, never inside the caller. OnClose comes only after all received
// data has been taken from the system; unread bytes stay readable after it.
//
// Sending: Write sends directly while the socket is writable and nothing is buffered; the
// remainder goes to the send buffer, flushed on READY_WRITE (and on the 50 ms timer while
// throttled). A graceful Close waits until the buffer has been sent before it shuts the
// sending side down and closes.
//
// Half-close: with AllowHalfClose, the end of the peer's stream only ends receiving
// (ReceiveEnded; no OnClose) and the socket stays connected for sending, so an answer can
// still go to a peer that has finished its request. ShutdownSend ends the own sending side
// the same way. Once both ways have ended, or on a reset, the socket closes as usual.

#include "net/RelayLoop.h"
#include "net/Sockets.h"

#include <memory>
#include <string>
#include <string_view>

namespace corvan {

// Probe size when the system reports nothing available (one Ethernet segment payload).
constexpr long kReadProbeSize = 1460;
// The read buffer shrinks back to this capacity after a large transfer.
constexpr size_t kReadBufferCompactCapacity = 16384;
// Compaction moves the unread bytes to the front when fewer than this many are left.
constexpr size_t kReadBufferCompactRemainder = 256;
// Most bytes one read notification takes in. A peer that sends without pause would otherwise
// keep the handler reading for ever: the buffer would grow without bound and nothing else on
// the thread (a relay writing the bytes on, a time-out) would run. The rest is reported again
// by the next notification.
constexpr long kReadEventLimit = 262144;

class ATCPClientSocket : public ASocketExSendBuffer {
public:
    ATCPClientSocket();
    // Server side: takes a connected handle; if the system answers FIONREAD on it, the state
    // becomes connected (no event), notifications are registered to a mailbox of the calling
    // thread, and the read-rate window starts. accepted: the handle came from
    // TTCPServerSocket::Accept (connected and non-blocking), so the system is not asked.
    // watchLater: the loop watches it only once its notifications are needed
    // (ASocket::SetAsynchronousLater); until then it counts as writable.
    explicit ATCPClientSocket(TSocketHandle handle, bool accepted = false,
                              bool watchLater = false);
    ~ATCPClientSocket() override;

    TEventSlot<void(ATCPClientSocket* sender)> OnDataAvailable;
    TEventSlot<void(ATCPClientSocket* sender)> OnClose;

    int ReadEventTrigger() const { return FReadEventTrigger; }
    // Raising the trigger (or -1) while suspended resumes reading.
    void SetReadEventTrigger(int value);
    bool ReadSuspended() const { return FReadSuspended; }
    size_t BufferUsed() const { return FBufferUsed; }
    // Bytes of memory the read buffer holds (0 once released).
    size_t ReadBufferCapacity() const { return FReadCapacity; }
    bool ClosePending() const { return FClosePending; }
    // The unread bytes, valid until the next call that reads or consumes (parsers look at
    // them in place instead of copying).
    std::string_view BufferedView() const { return Buffered(); }

    // Buffered bytes first, then direct receives (rate-limited) until size or nothing comes.
    long Read(void* buf, long size);
    // 1..size buffered: all of them, without touching the socket; otherwise as Read.
    std::string ReadStr(long size);
    // The whole buffer; its storage is released.
    std::string ReadAvailable();
    long Peek(void* buf, long size) const;
    std::string PeekStr(long size) const;
    long Skip(long size);

    // Positions within the buffered bytes (from the first unread byte); -1 when absent.
    long Locate(char c, bool caseInsensitive = false) const;
    long LocateAny(std::string_view chars, bool caseInsensitive = false) const;
    long LocateStr(std::string_view s, bool caseInsensitive = false) const;
    bool StartsWith(std::string_view s, bool caseInsensitive = false) const;
    // First CR or LF, only when at least one more byte follows it.
    long LocateEOL() const;
    // Bytes the system reports readable, limited by the read allowance while ThrottleRead.
    long Available();
    // For a reader that waits on the descriptor itself while the watching is pending
    // (WatchPending): takes what the system holds into the buffer, up to the read trigger, as
    // a read notification would. False when the socket is watched (now or already: its end
    // or a failure came, say) or its reading throttled: the reader waits for notifications.
    bool ReadUnwatched();
    // ReadUnwatched would read (and not hand the reader to the loop's notifications).
    bool MayReadUnwatched() const {
        return WatchPending() && !FThrottleRead && !FReceiveEnded && State() == ssConnected;
    }

    // Writes (connected only, else "Socket not connected", 20002). Answers size while the
    // send buffer is in use, else the bytes actually sent.
    long Write(const void* buf, long size);
    long WriteStr(const std::string& s) { return Write(s.data(), static_cast<long>(s.size())); }

    // Zero-copy relaying: bytes go from one socket through a pipe (TPipeHandles) to another
    // without entering the read buffer or the send buffer, counted in TotalBytesReceived and
    // TotalBytesSent and the rate windows, and held to the throttles, as Read and Write are.
    // SpliceReadTo moves up to size received bytes into the pipe's write end; call it only
    // while nothing is buffered (those bytes would be overtaken) and the pipe is empty. Answers
    // the bytes moved; 0 when none could move now (nothing waiting, the read allowance is
    // spent, receiving has ended; the end of the stream and a reset come as for Read, with the
    // close notification); -1 when the system refused (SocketGetLastError; SpliceUnsupported
    // when the descriptors cannot be spliced): the caller reads with Read instead.
    long SpliceReadTo(int pipeWrite, long size);
    // Sends up to size bytes from the pipe's read end; only while connected, the sending side
    // open and the send buffer empty (else 0). Answers the bytes sent; 0 when the socket
    // cannot take more now (the write notification follows once it can) or the write
    // allowance is spent; -1 when the send failed (SocketGetLastError): the connection is
    // gone for sending.
    long SpliceWriteFrom(int pipeRead, long size);

    bool AllowHalfClose() const { return FAllowHalfClose; }
    // Switching it off on a socket whose receiving has ended closes the socket, as the end of
    // the stream would have (later, on the socket's own thread).
    void SetAllowHalfClose(bool value);
    // The peer has ended its stream while AllowHalfClose kept the socket open; unread bytes
    // stay readable and nothing more is received.
    bool ReceiveEnded() const { return FReceiveEnded; }
    // Shuts the sending side down once the send buffer has been sent (the peer reads the end
    // of the stream); receiving goes on. Afterwards Write raises "Socket sending side shut
    // down" (10058). A socket whose receiving has ended closes when the shutdown is done.
    // Nothing when not connected or already asked.
    void ShutdownSend();
    bool SendShutDown() const { return FSendShutDown; }

    // Hands the connection to a relay loop (net/RelayLoop.h): the handle, what the read buffer
    // holds, what the send buffer still holds, whether receiving has ended, and the throttles.
    // The socket then holds no handle and is closed, without events. False (nothing changed)
    // when it is not Releasable.
    bool ReleaseToRelay(TRelayEnd& end);
    // Connected, not terminated, not closing, its sending side not asked to shut down.
    bool Releasable() const;
    // Graceful: the close completes once the send buffer has been sent. Nothing when closed.
    void Close(bool graceful = true);
    // State closed (event), OnClose, handle closed, send buffer dropped; read buffer kept.
    void CloseNow();

    bool ThrottleRead() const { return FThrottleRead; }
    void SetThrottleRead(bool value);
    int64_t ReadThrottleRate() const { return FReadThrottleRate.load(std::memory_order_relaxed); }
    void SetReadThrottleRate(int64_t bytesPerSecond) {
        FReadThrottleRate.store(bytesPerSecond, std::memory_order_relaxed);
    }
    int64_t GetReadRate();
    int64_t GetTransferRate() { return GetReadRate() + GetWriteRate(); }
    // Bytes taken from the system so far; readable from any thread.
    int64_t TotalBytesReceived() const { return FBytesReceived.load(std::memory_order_relaxed); }
    // Sent to since it last received anything: the peer's next bytes answer those and are most
    // likely not here yet, so a reader waits before it reads.
    bool AwaitsAnswer() const { return TotalBytesSent() != FSentAtLastReceive; }

    // The peer's address: the one accept reported or the connect reached when the socket was
    // told it (SetKnownPeer), else as the system reports it; false when neither can tell.
    bool GetPeerAddress(TSocketAddr& addr) const;
    // The peer of this socket's handle as accept reported it or a connect reached it: the
    // system is not asked again. Forgotten as a connect starts; a socket without a handle
    // answers false whatever it holds.
    void SetKnownPeer(const TSocketAddr& peer) { FKnownPeer = peer; }
    // IPv4 of the peer in network order; 255.255.255.255 on failure (CheckConnected first).
    virtual uint32_t GetRemoteAddress();
    // The peer's address as text, of either family; "" when unknown.
    virtual std::string GetRemoteAddressStr();
    // Reverse lookup of the peer, once; the dotted address when that gives nothing.
    virtual std::string GetRemoteHostName();

protected:
    void ProcessSocketEvent(uint32_t events, int error) override;
    uint32_t AsyncEvents() const override { return READY_READ | READY_WRITE | READY_CONNECT | READY_CLOSE; }
    void SendBufferedData() override;
    void TriggerSendBufferEmpty() override;
    void TriggerTimer() override;
    bool NeedsTimer() const override;
    void ApplyThrottleSwitch(uintptr_t which, bool value) override;
    virtual void TriggerDataAvailable();
    virtual void TriggerClose();
    // drain: read until the system has nothing more (at the close), ignoring kReadEventLimit.
    void DoRead(bool drain = false);
    void RestartReadWindow();

private:
    long RecvThrottled(void* buf, long size);
    // How much of size the read throttle lets through now (all of it when not throttled).
    long ReadAllowance(long size);
    // Received bytes into the throttle window and the receive total.
    void CountReceived(long n);
    void ResumeReading();
    long ReadIntoBuffer(long size);
    // Room for size more bytes behind the buffered ones.
    char* ReadRoom(long size);
    void Consume(size_t size);
    // Moves the unread bytes to the front of a new block of capacity bytes (>= BufferUsed).
    void SetReadCapacity(size_t capacity);
    // The shutdown of the sending side, once nothing is left to send.
    void FinishShutdownSend();
    // A failed send of a socket whose receiving has ended: nothing else would notice that the
    // peer has gone, so the failure closes the socket.
    void SendFailed(int error);
    std::string_view Buffered() const {
        return std::string_view(FReadBuffer.get() + FReadOffset, FBufferUsed);
    }

    // Its own block rather than a string: a string emptied by assignment keeps its storage.
    std::unique_ptr<char[]> FReadBuffer;
    size_t FReadCapacity = 0;
    size_t FReadOffset = 0;
    size_t FBufferUsed = 0;
    int FReadEventTrigger = -1;
    bool FReadSuspended = false;
    bool FThrottleRead = false;
    std::atomic<int64_t> FReadThrottleRate{0};
    TRateWindow FReadWindow;
    std::atomic<int64_t> FBytesReceived{0};
    int64_t FSentAtLastReceive = 0;
    TSocketAddr FKnownPeer; // family none: not known
    bool FRemoteNameCached = false;
    std::string FRemoteName;
    bool FClosePending = false;
    bool FResumePosted = false; // an READY_READ to resume reading is queued
    bool FAllowHalfClose = false;
    bool FReceiveEnded = false;
    bool FSendShutDown = false;     // asked for; no more writes
    bool FSendShutDownDone = false; // the system call has been made
    bool FSendFailurePosted = false;
};

} // namespace corvan
