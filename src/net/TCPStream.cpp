#include "net/TCPStream.h"

#include "util/Strings.h"
#include "util/Ticks.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <poll.h>
#include <thread>

namespace corvan {

namespace {

bool IsConnectingState(TSocketState state) {
    return state == ssResolving || state == ssResolved || state == ssConnecting ||
           state == ssNegotiating;
}

bool DeadlinePassed(int64_t deadline) {
    return deadline >= 0 && MonotonicMillis() >= deadline;
}

// Milliseconds from now to deadline for a system wait (0 once passed); -1 for none.
int TimeoutUntil(int64_t deadline) {
    if (deadline < 0)
        return -1;
    int64_t left = deadline - MonotonicMillis();
    return static_cast<int>(std::clamp<int64_t>(left, 0, int64_t(INT_MAX)));
}

[[noreturn]] void RaiseReadError() {
    throw EReader("Read error");
}

size_t FindNoCase(std::string_view haystack, std::string_view needle, size_t from) {
    for (size_t i = from; i + needle.size() <= haystack.size(); ++i)
        if (EqualNoCase(haystack.substr(i, needle.size()), needle))
            return i;
    return std::string_view::npos;
}

} // namespace

// --- TSocketReader ----------------------------------------------------------------------------

bool TSocketReader::WaitForData(int64_t count) {
    ATCPClientSocket& socket = *FStream.Socket();
    auto enough = [&] { return static_cast<int64_t>(socket.BufferUsed()) >= count; };
    if (enough())
        return true;
    if (!FStream.IsBlocking() || socket.ReceiveEnded())
        return false;
    // The socket stops reading at its trigger; below count it would never deliver the rest.
    int trigger = socket.ReadEventTrigger();
    bool raised = trigger >= 0 && trigger < count;
    if (raised)
        socket.SetReadEventTrigger(static_cast<int>(std::min<int64_t>(count, INT_MAX)));
    struct TRestore {
        ATCPClientSocket& Socket;
        bool Raised;
        int Trigger;
        ~TRestore() {
            if (Raised)
                Socket.SetReadEventTrigger(Trigger);
        }
    } restore{socket, raised, trigger};
    bool beside = FStream.WaitsOnDescriptor && FStream.MayWaitBesideLoop();
    // Read first: bytes that came with the connection need no wait at all (nor the clock);
    // an answer to what this side sent is not here yet: the wait comes first.
    bool readable = beside && (socket.AwaitsAnswer() ? socket.MayReadUnwatched()
                                                     : socket.ReadUnwatched());
    if (enough())
        return true;
    int64_t deadline = FStream.WaitDeadline();
    while (readable) {
        if (!FStream.WaitReadable(deadline) || DeadlinePassed(deadline))
            return enough();
        readable = socket.ReadUnwatched();
        if (enough())
            return true;
    }
    while (FStream.WaitStep(deadline)) {
        if (enough())
            return true;
        if (DeadlinePassed(deadline) || socket.ReceiveEnded())
            break;
    }
    return enough();
}

void TSocketReader::Require(int64_t count) {
    if (!WaitForData(count))
        RaiseReadError();
}

void TSocketReader::SetPosition(int64_t position) {
    if (position < FPosition)
        throw EReader("Seeking not supported");
    Skip(position - FPosition);
}

int TSocketReader::Read(void* buffer, int count) {
    if (count < 1)
        return 0;
    WaitForData(count);
    long n = FStream.Socket()->Read(buffer, count);
    if (n <= 0)
        return 0;
    FPosition += n;
    return static_cast<int>(n);
}

bool TSocketReader::IsEOF() {
    const ATCPClientSocket& socket = *FStream.Socket();
    return !FStream.Connected() || (socket.ReceiveEnded() && socket.BufferUsed() == 0);
}

std::string TSocketReader::ReadStr(int64_t count) {
    if (count < 1)
        return "";
    Require(count);
    std::string r = FStream.Socket()->ReadStr(static_cast<long>(count));
    FPosition += static_cast<int64_t>(r.size());
    return r;
}

uint8_t TSocketReader::ReadByte() {
    Require(1);
    uint8_t b = 0;
    if (FStream.Socket()->Read(&b, 1) != 1)
        RaiseReadError();
    ++FPosition;
    return b;
}

int TSocketReader::Peek(void* buffer, int count) {
    if (count < 1)
        return 0;
    WaitForData(count);
    return static_cast<int>(FStream.Socket()->Peek(buffer, count));
}

std::string TSocketReader::PeekStr(int64_t count) {
    if (count < 1)
        return "";
    Require(count);
    return FStream.Socket()->PeekStr(static_cast<long>(count));
}

uint8_t TSocketReader::PeekByte() {
    Require(1);
    return static_cast<uint8_t>(FStream.Socket()->BufferedView()[0]);
}

int TSocketReader::Match(const void* buffer, int count, bool caseSensitive) {
    if (count < 1 || !WaitForData(count))
        return -1;
    std::string_view want(static_cast<const char*>(buffer), static_cast<size_t>(count));
    return FStream.Socket()->StartsWith(want, !caseSensitive) ? count : -1;
}

bool TSocketReader::MatchStr(std::string_view text, bool caseSensitive) {
    Require(static_cast<int64_t>(text.size()));
    return FStream.Socket()->StartsWith(text, !caseSensitive);
}

void TSocketReader::Skip(int64_t count) {
    if (count < 0)
        throw EReader("Seek error");
    if (count == 0)
        return;
    Require(count);
    FStream.Socket()->Skip(static_cast<long>(count));
    FPosition += count;
}

int64_t TSocketReader::LocateWith(size_t patternLength,
                                  const std::function<size_t(std::string_view, size_t)>& find,
                                  int64_t maxOffset) {
    if (patternLength == 0)
        return -1;
    ATCPClientSocket& socket = *FStream.Socket();
    size_t from = 0;
    for (;;) {
        std::string_view buffered = socket.BufferedView();
        std::string_view window = buffered;
        if (maxOffset >= 0)
            window = buffered.substr(
                0, static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(buffered.size()),
                                                         maxOffset + int64_t(patternLength))));
        size_t pos = find(window, from);
        if (pos != std::string_view::npos)
            return static_cast<int64_t>(pos);
        if (window.size() < buffered.size() ||
            (maxOffset >= 0 && int64_t(buffered.size()) >= maxOffset + int64_t(patternLength)))
            return -1; // every start within maxOffset was searched
        if (IsEOF())
            return -1;
        // Only a match that straddles the old end can be new.
        from = buffered.size() >= patternLength ? buffered.size() - patternLength + 1 : 0;
        if (!WaitForData(static_cast<int64_t>(buffered.size()) + 1))
            return -1;
    }
}

int64_t TSocketReader::LocateByte(uint8_t value, int64_t maxOffset) {
    return LocateWith(
        1, [value](std::string_view b, size_t from) { return b.find(char(value), from); },
        maxOffset);
}

int64_t TSocketReader::LocateChar(const TCharSet& set, int64_t maxOffset) {
    return LocateWith(
        1,
        [&set](std::string_view b, size_t from) {
            for (size_t i = from; i < b.size(); ++i)
                if (set.test(static_cast<uint8_t>(b[i])))
                    return i;
            return std::string_view::npos;
        },
        maxOffset);
}

int64_t TSocketReader::LocateBuffer(const void* buffer, int count, int64_t maxOffset,
                                    bool caseSensitive) {
    if (count < 1)
        return -1;
    return LocateStr(std::string_view(static_cast<const char*>(buffer), size_t(count)), maxOffset,
                     caseSensitive);
}

int64_t TSocketReader::LocateStr(std::string_view text, int64_t maxOffset, bool caseSensitive) {
    return LocateWith(
        text.size(),
        [text, caseSensitive](std::string_view b, size_t from) {
            return caseSensitive ? b.find(text, from) : FindNoCase(b, text, from);
        },
        maxOffset);
}

// --- TSocketWriter ----------------------------------------------------------------------------

void TSocketWriter::SetPosition(int64_t position) {
    if (position != FPosition)
        throw EWriter("SetPosition failed");
}

void TSocketWriter::SetSize(int64_t) {
    throw EWriter("SetSize failed");
}

bool TSocketWriter::WaitForWriteSpace() {
    if (!FStream.IsBlocking() || FStream.WriteBufferLimit < 0)
        return true;
    ATCPClientSocket& socket = *FStream.Socket();
    int64_t limit = FStream.WriteBufferLimit;
    auto ready = [&] {
        if (limit > 0 && socket.SendBufferSize() > 0)
            return socket.SendBufferSize() < limit;
        return socket.CanSendDirectly();
    };
    if (ready())
        return true;
    int64_t deadline = FStream.WaitDeadline();
    while (FStream.WaitStep(deadline)) {
        if (ready())
            return true;
        if (DeadlinePassed(deadline))
            return false;
    }
    return false;
}

int TSocketWriter::Write(const void* buffer, int count) {
    if (count < 1 || !WaitForWriteSpace())
        return 0;
    ATCPClientSocket& socket = *FStream.Socket();
    if (socket.Terminated() || !socket.IsConnected() || socket.SendShutDown())
        return 0;
    long n = socket.Write(buffer, count);
    if (n <= 0)
        return 0;
    FPosition += n;
    return static_cast<int>(n);
}

// --- TSocketStream ----------------------------------------------------------------------------

TSocketStream::TSocketStream(ATCPClientSocket* socket, int writeBufferLimit, int timeout,
                             TSocketStreamMode mode, bool ownsSocket)
    : Timeout(timeout), Mode(mode), WriteBufferLimit(writeBufferLimit), FSocket(socket),
      FReader(*this), FWriter(*this) {
    if (!socket)
        throw ESocketStream("Invalid socket");
    if (ownsSocket)
        FOwnedSocket.reset(socket);
}

void TSocketStream::Connect() {
    auto* client = dynamic_cast<TTCPClientSocket*>(FSocket);
    if (!client)
        throw ESocketStream("Socket is not a client socket");
    if (client->Terminated() || client->IsConnected())
        return;
    if (!client->IsConnecting()) {
        // Only a wait of this stream's own can tell an unwatched attempt's outcome.
        if (Mode != smBlockWaitMessage)
            client->ConnectUnwatched = false;
        client->Connect();
    }
    if (!IsBlocking())
        return;
    int64_t deadline = WaitDeadline();
    while (client->IsConnecting()) {
        short events = 0;
        bool watchClient = ClientToWatch(events) != INVALID_SOCKETHANDLE;
        bool waited = (client->OwnAttemptUnwatched() || watchClient) && MayWaitBesideLoop()
                          ? WaitConnected(*client, deadline)
                          : WaitStep(deadline);
        if (!waited)
            throw ESocketStream("Connect terminated");
        if (client->IsConnecting() && DeadlinePassed(deadline)) {
            client->ConnectFailed(SOCKET_ERR_TIMEOUT);
            throw ESocketStream("Connect timed out");
        }
    }
    if (client->State() != ssConnected)
        throw ESocketStream("Connect failed: " + client->ErrorMessage());
}

TSocketStream::~TSocketStream() {
    if (CloseOnDestroy)
        FSocket->Close(false);
}

void TSocketStream::SetSize(int64_t) {
    throw ESocketStream("SetSize failed");
}

bool TSocketStream::Connected() const {
    return !FSocket->Terminated() && (FSocket->IsConnected() || FSocket->BufferUsed() > 0);
}

int64_t TSocketStream::WaitDeadline() const {
    int64_t byTimeout = Timeout > 0 ? MonotonicMillis() + Timeout : -1;
    if (Deadline < 0)
        return byTimeout;
    return byTimeout < 0 ? Deadline : std::min(byTimeout, Deadline);
}

bool TSocketStream::WaitStep(int64_t deadline) {
    if (FSocket->Terminated() || !(FSocket->IsConnected() || IsConnectingState(FSocket->State())))
        return false;
    if (GiveUp && GiveUp())
        return false;
    // A wait for this socket needs its notifications.
    if (Mode != smAsynchronous)
        FSocket->WatchNow();
    switch (Mode) {
    case smAsynchronous:
        return true;
    case smBlockWaitMessage:
        return FSocket->HandleMessage(TimeoutUntil(deadline));
    case smBlockProcessMessages:
        FSocket->ProcessMessages();
        return !FSocket->Terminated();
    case smBlockSleep:
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return true;
    case smBlockNotify:
        if (OnWait)
            OnWait(this);
        return true;
    }
    return false;
}

bool TSocketStream::MayWaitBesideLoop() const {
    TMessageLoop* loop = FSocket->MailboxLoop();
    return Mode == smBlockWaitMessage && loop && loop->IsOwnerThread();
}

bool TSocketStream::WaitReadable(int64_t deadline) {
    if (FSocket->Terminated() || !FSocket->IsConnected() || (GiveUp && GiveUp()))
        return false;
    // A quit is met once: as a wait of the loop's own would, it ends the socket's later waits.
    if (FSocket->MailboxLoop()->WaitDescriptorOrMessages(FSocket->SocketHandle(),
                                                         TimeoutUntil(deadline))) {
        FSocket->Terminate();
        return false;
    }
    return true;
}

bool TSocketStream::WaitConnected(TTCPClientSocket& client, int64_t& deadline) {
    if (client.Terminated() || (GiveUp && GiveUp()))
        return false;
    // The own attempt unwatched: polled here; otherwise the loop watches the attempts and its
    // news end the wait.
    bool own = client.OwnAttemptUnwatched();
    if (!own)
        client.WatchNow();
    TSocketHandle handle = client.SocketHandle();
    // The client is asked only for its end (POLLRDHUP; a failure is always told): bytes it
    // sends early stay unread, and would keep a readable descriptor ready for good.
    pollfd fds[2];
    int count = 0;
    if (own)
        fds[count++] = {handle, POLLOUT, 0};
    short clientEvents = 0;
    TSocketHandle clientEnd = ClientToWatch(clientEvents);
    pollfd* clientFd = clientEnd != INVALID_SOCKETHANDLE ? &fds[count++] : nullptr;
    if (clientFd)
        *clientFd = {clientEnd, clientEvents, 0};
    if (client.MailboxLoop()->WaitDescriptorsOrMessages(fds, count, TimeoutUntil(deadline))) {
        client.Terminate(); // as WaitReadable
        return false;
    }
    // The loop's news may have closed the client's socket meanwhile: its number is not
    // asked again.
    if (clientFd && clientFd->revents != 0 && Client->SocketHandle() == clientEnd &&
        ClientEndFailed(clientEnd, clientFd->revents, deadline)) {
        FClientReset = true;
        client.Terminate();
        return false;
    }
    // Told as the loop tells a watched one; the loop's news may have ended this attempt
    // meanwhile.
    short ready = own ? fds[0].revents : 0;
    if (ready != 0 && client.OwnAttemptUnwatched() && client.SocketHandle() == handle)
        client.OwnAttemptAnswered(ConnectOutcome(handle, (ready & (POLLERR | POLLHUP)) != 0));
    return !client.Terminated();
}

TSocketHandle TSocketStream::ClientToWatch(short& events) {
    // Closed by its socket (its loop saw it fail, say): its number may be another's by now.
    TSocketHandle end = Client ? Client->SocketHandle() : INVALID_SOCKETHANDLE;
    // Bytes its socket has read already: a peek would find only what follows them.
    if (end != INVALID_SOCKETHANDLE && Client->BufferUsed() > 0)
        FClientHeard = TClientHeard::Bytes;
    if (FClientHeard == TClientHeard::Bytes && ClientBytesOutliveIt)
        return INVALID_SOCKETHANDLE;
    // Once heard from, its end is no news (a half-close is told for good: every wait would
    // wake), but a reset still is.
    events = FClientHeard == TClientHeard::Nothing ? POLLRDHUP : 0;
    return end;
}

bool TSocketStream::ClientEndFailed(TSocketHandle end, short revents, int64_t& deadline) {
    // Its socket may have read bytes during the wait (its loop watches it): they come first.
    auto peekClient = [&] {
        return Client->BufferUsed() > 0 ? TSocketPeek::Data : SocketPeek(end);
    };
    // A reset (a hang-up: the client's side is shut both ways while this side never sent its
    // end), or a descriptor no longer open: nothing can be answered, whatever it sent before.
    // Bytes that are to outlive it still want the connection (a peek finds them after a reset).
    if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
        if (!ClientBytesOutliveIt || (revents & POLLNVAL) || peekClient() != TSocketPeek::Data)
            return true;
        FClientHeard = TClientHeard::Bytes;
        return false;
    }
    if (FClientHeard != TClientHeard::Nothing)
        return false;
    TSocketPeek peek = peekClient();
    if (peek == TSocketPeek::Failed)
        return true;
    if (peek == TSocketPeek::Ended) {
        int64_t bound = MonotonicMillis() + std::max(EndedClientWaitMs, 0);
        deadline = deadline < 0 ? bound : std::min(deadline, bound);
    }
    // Bytes wait for the connection, and an end stays told: either way only a reset is
    // watched for from now on.
    if (peek == TSocketPeek::Data)
        FClientHeard = TClientHeard::Bytes;
    else if (peek == TSocketPeek::Ended)
        FClientHeard = TClientHeard::Ended;
    return false;
}

bool TSocketStream::Flush() {
    auto flushed = [&] { return FSocket->SendBufferSize() == 0 && FSocket->WriteReady(); };
    if (!IsBlocking() || flushed())
        return flushed();
    int64_t deadline = WaitDeadline();
    while (WaitStep(deadline)) {
        if (flushed())
            return true;
        if (DeadlinePassed(deadline))
            break;
    }
    return flushed();
}

void TSocketStream::Close() {
    FSocket->Close(true);
    if (!IsBlocking())
        return;
    int64_t deadline = WaitDeadline();
    while (FSocket->State() != ssClosed && WaitStep(deadline) && !DeadlinePassed(deadline)) {
    }
}

// --- RelayStreams -----------------------------------------------------------------------------

namespace {

// Restores a stream's mode, its socket's read trigger and half-close switch however the relay
// ends. While the relay copies, a socket stops taking bytes in on its own once a block is
// buffered (one read notification may take up to kReadEventLimit before it stops): the relay
// reads the rest straight from the system as the other side takes it, so a fast sender facing
// a slow receiver is held back by TCP instead of filling memory. While it splices, the socket
// takes nothing in (trigger 0): the bytes go from the system through a pipe to the other side.
// Half-close is on, so the end of one peer's data leaves the socket open for the answer.
struct TRelaySide {
    TSocketStream& Stream;
    TSocketStreamMode Mode;
    int Trigger;
    bool HalfClose;
    int CopyTrigger; // the trigger while this side's bytes are copied
    TRelaySide(TSocketStream& s, int bufferSize)
        : Stream(s), Mode(s.Mode), Trigger(s.Socket()->ReadEventTrigger()),
          HalfClose(s.Socket()->AllowHalfClose()),
          CopyTrigger(Trigger < 0 || Trigger > bufferSize ? bufferSize : Trigger) {
        // Also a way that never opens keeps what its socket reads in bounded.
        if (CopyTrigger != Trigger)
            s.Socket()->SetReadEventTrigger(CopyTrigger);
        s.Socket()->SetAllowHalfClose(true);
        // A relay passes bytes on as they come; the sender already chose how to segment them.
        // With the system's small-segment delay a second small write waits for the peer's
        // acknowledgement of the first, which a peer waiting for the rest of a request delays
        // by 40 ms or more. Left set: the relay's sockets are closed after it.
        if (TSocketHandle handle = s.Socket()->SocketHandle(); handle != INVALID_SOCKETHANDLE)
            (void)SocketSetNoDelay(handle, true); // without it only slower, never wrong
    }
    ~TRelaySide() {
        Stream.Mode = Mode;
        if (Stream.Socket()->ReadEventTrigger() != Trigger)
            Stream.Socket()->SetReadEventTrigger(Trigger);
        Stream.Socket()->SetAllowHalfClose(HalfClose);
    }
};

// What one splice asks for; the system moves at most what the pipe holds (kPipeSize).
constexpr long kRelaySpliceChunk = 1L << 20;

// One way of a relay, Src -> Dst. Its pipe is made when this way first carries a full block
// while it may splice, and closed with the relay: a spliced tunnel holds its two sockets and
// two descriptors for each way that has carried a block.
struct TRelayWay {
    TSocketStream& Src;
    TSocketStream& Dst;
    TRelaySide& SrcSide;
    int64_t Moved = 0; // bytes handed to Dst
    TPipeHandles Pipe;
    int64_t InPipe = 0;     // bytes spliced in and not yet sent on
    bool SpliceOff = false; // the system refused a pipe or a splice: this way copies
    bool Broken = false;    // sending what the pipe holds failed: nothing more goes to Dst
    bool SmallReads = true; // no read has filled the small block yet
    TRelayWay(TSocketStream& src, TSocketStream& dst, TRelaySide& srcSide)
        : Src(src), Dst(dst), SrcSide(srcSide) {}
    ~TRelayWay() {
        // A failed close still releases the descriptors: nothing is left to do about it.
        (void)PipeClose(Pipe);
    }
    TRelayWay(const TRelayWay&) = delete;
    TRelayWay& operator=(const TRelayWay&) = delete;
    // Nothing on this way looks at the bytes: no limit on reading Src or writing Dst.
    bool MaySplice() const {
        return !SpliceOff && !Src.Socket()->ThrottleRead() && !Dst.Socket()->ThrottleWrite();
    }
};

// The side is connected (its socket can still be waited on).
bool Open(const TSocketStream& s) {
    return !s.Socket()->Terminated() && s.Socket()->IsConnected();
}

// The side can still be written to (and so can still deliver what it has been given).
bool Writable(const TSocketStream& s) {
    return Open(s) && !s.Socket()->SendShutDown();
}

void ReportProgress(TRelayWay& way) {
    if (way.Src.TriggerCopyProgress(&way.Src, &way.Dst, way.Moved) ||
        way.Dst.TriggerCopyProgress(&way.Src, &way.Dst, way.Moved))
        throw EStreamOperationAborted();
}

// A way reads through a block of this size on the stack until a read fills it: a short
// exchange, and an idle tunnel, never take (and touch) the relay's heap block.
constexpr int kRelaySmallBlock = 1024;

// Moves what Src has now to Dst, which must be writable, through buffer (taken here once a way
// has filled the small block). Answers the bytes taken from Src (those Dst could not take
// before it went away are lost with it). Takes nothing while Dst still holds a block of earlier
// bytes unsent: they go first, on Dst's write notification.
int64_t RelayOnce(TRelayWay& way, std::unique_ptr<char[]>& buffer, int bufferSize) {
    TSocketStream& src = way.Src;
    TSocketStream& dst = way.Dst;
    if (dst.Socket()->SendBufferSize() >= bufferSize)
        return 0;
    char small[kRelaySmallBlock];
    char* block = buffer.get();
    int size = bufferSize;
    if (!block) {
        if (way.SmallReads && bufferSize > kRelaySmallBlock) {
            block = small;
            size = kRelaySmallBlock;
        } else {
            buffer.reset(new char[static_cast<size_t>(bufferSize)]);
            block = buffer.get();
        }
    }
    src.Mode = smAsynchronous;
    int n = src.Read(block, size);
    if (n <= 0)
        return 0;
    if (n == size)
        way.SmallReads = false; // more is coming: the large block from the next read on
    dst.Mode = smBlockWaitMessage;
    int done = 0;
    while (done < n) {
        int w = dst.Write(block + done, n - done);
        if (w <= 0) {
            if (!Writable(dst)) {
                way.Moved += done;
                return n;
            }
            throw EWriter("Write error");
        }
        done += w;
    }
    way.Moved += n;
    ReportProgress(way);
    return n;
}

// Sends on what the pipe holds, as far as Dst takes it now. Answers the bytes sent.
int64_t DrainPipe(TRelayWay& way) {
    if (way.InPipe == 0 || way.Broken)
        return 0;
    long n = way.Dst.Socket()->SpliceWriteFrom(way.Pipe.Read, static_cast<long>(way.InPipe));
    if (n < 0) {
        way.Broken = true; // the bytes in the pipe have nobody to go to
        return 0;
    }
    if (n == 0)
        return 0;
    way.InPipe -= n;
    way.Moved += n;
    ReportProgress(way);
    return n;
}

void SetTrigger(ATCPClientSocket& socket, int trigger) {
    if (socket.ReadEventTrigger() != trigger)
        socket.SetReadEventTrigger(trigger);
}

// One step of one way. Bytes spliced in earlier go first; then, while the way may splice,
// bytes Src has buffered in user space (and the first bytes of the way, before it has a pipe)
// are copied and everything after is spliced; otherwise the way copies.
int64_t RelayStep(TRelayWay& way, std::unique_ptr<char[]>& buffer, int bufferSize) {
    ATCPClientSocket& src = *way.Src.Socket();
    int64_t moved = DrainPipe(way);
    if (way.InPipe > 0 || way.Broken)
        return moved; // Dst's write notification (or the throttle timer) resumes it
    if (!way.MaySplice()) {
        SetTrigger(src, way.SrcSide.CopyTrigger);
        return moved + RelayOnce(way, buffer, bufferSize);
    }
    SetTrigger(src, 0);
    if (src.BufferUsed() > 0 || way.Pipe.Read < 0) {
        // Until a way carries a full block its bytes are copied: a short exchange costs no
        // pipe, and the copy's read tells the end of the stream from nothing waiting (and
        // re-arms the read notification), which a socket without a pipe cannot.
        int64_t n = RelayOnce(way, buffer, bufferSize);
        if (n >= bufferSize && way.Pipe.Read < 0 && PipeOpen(way.Pipe) != 0)
            way.SpliceOff = true; // out of descriptors: copying still works
        return moved + n;
    }
    long n = src.SpliceReadTo(way.Pipe.Write, kRelaySpliceChunk);
    if (n < 0) {
        way.SpliceOff = true; // the pipe is empty: the way goes on copying
        return moved;
    }
    way.InPipe += n;
    return moved + DrainPipe(way);
}

// How long a half-closed relay waits for the direction still open to move a byte.
int64_t HalfOpenIdleLimit(const TSocketStream& a, const TSocketStream& b) {
    if (a.Timeout > 0 && b.Timeout > 0)
        return std::min(a.Timeout, b.Timeout);
    if (a.Timeout > 0 || b.Timeout > 0)
        return std::max(a.Timeout, b.Timeout);
    return kRelayHalfOpenIdleMs;
}

// Lowered only by tests; read once by each relay as it starts.
std::atomic<int64_t> RelayIdleLimit{kRelayIdleLimitMs};

// An idle tunnel keeps no buffer: the relay's block and the sockets' empty read buffers go.
void ReleaseIdleBuffers(std::unique_ptr<char[]>& buffer, TSocketStream& a, TSocketStream& b) {
    buffer.reset();
    for (TSocketStream* s : {&a, &b})
        if (s->Socket()->BufferUsed() == 0 && s->Socket()->ReadBufferCapacity() > 0)
            s->Socket()->ReadAvailable();
}

// What the pipe still holds goes to Dst before the relay answers, within Dst's Timeout.
void DeliverPipe(TRelayWay& way) {
    int64_t deadline = way.Dst.WaitDeadline();
    while (way.InPipe > 0 && !way.Broken && Writable(way.Dst)) {
        if (DrainPipe(way) > 0)
            continue;
        way.Dst.Mode = smBlockWaitMessage;
        if (!way.Dst.WaitStep(deadline) || DeadlinePassed(deadline))
            return;
    }
}

} // namespace

int64_t RelayIdleLimitMs() {
    return RelayIdleLimit.load();
}

void SetRelayIdleLimitMs(int64_t ms) {
    RelayIdleLimit = ms > 0 ? ms : kRelayIdleLimitMs;
}

TRelayTotals RelayHere(TSocketStream& a, TSocketStream& b, int bufferSize) {
    int64_t sentA = a.Socket()->TotalBytesSent(), sentB = b.Socket()->TotalBytesSent();
    TRelayTotals totals;
    totals.OnOwnThread = true;
    totals.Moved = RelayStreams(&a, &b, bufferSize);
    totals.SentTo[0] = a.Socket()->TotalBytesSent() - sentA;
    totals.SentTo[1] = b.Socket()->TotalBytesSent() - sentB;
    return totals;
}

int64_t RelayStreams(TSocketStream* a, TSocketStream* b, int bufferSize) {
    if (!a || !b)
        throw EStream("Invalid stream");
    if (bufferSize < 1)
        bufferSize = kStreamBlockSize;
    // Both sockets' bytes come in through the thread's loop: one whose watching was left
    // for later (its connect or its reads waited on its descriptor) is watched now.
    a->Socket()->WatchNow();
    b->Socket()->WatchNow();
    TRelaySide sideA(*a, bufferSize), sideB(*b, bufferSize);
    TRelayWay aToB(*a, *b, sideA), bToA(*b, *a, sideB);
    std::unique_ptr<char[]> buffer;
    const int64_t halfOpenLimit = HalfOpenIdleLimit(*a, *b);
    const int64_t idleLimit = RelayIdleLimitMs();
    int64_t lastMove = MonotonicMillis();
    for (;;) {
        // A side is at its end once its peer's data has ended (or the socket closed) and all
        // it received is handed on; the other peer then reads the end of data too, after
        // everything sent to it (the shutdown waits for the send buffer).
        bool aEnded = a->IsEOF() && aToB.InPipe == 0, bEnded = b->IsEOF() && bToA.InPipe == 0;
        if (aEnded && Writable(*b))
            b->Socket()->ShutdownSend();
        if (bEnded && Writable(*a))
            a->Socket()->ShutdownSend();
        bool aToBOpen = !aEnded && !aToB.Broken && Writable(*b);
        bool bToAOpen = !bEnded && !bToA.Broken && Writable(*a);
        if (!aToBOpen && !bToAOpen)
            break; // both ways done, or what is left has nobody to go to
        int64_t moved = 0;
        if (aToBOpen)
            moved += RelayStep(aToB, buffer, bufferSize);
        if (bToAOpen)
            moved += RelayStep(bToA, buffer, bufferSize);
        if (moved > 0) {
            lastMove = MonotonicMillis();
            continue;
        }
        // Half-closed, the relay waits for the answer only as long as the half-open limit;
        // open, as long as the idle limit.
        int64_t deadline = lastMove + idleLimit;
        if (aEnded || bEnded)
            deadline = std::min(deadline, lastMove + halfOpenLimit);
        if (DeadlinePassed(deadline))
            break;
        ReleaseIdleBuffers(buffer, *a, *b);
        // Wait on a side that is still open: any notification of the thread wakes it, those
        // of the other socket included (its write notifications drain what the relay is
        // waiting on).
        TSocketStream& waiter = Open(*a) ? *a : *b;
        waiter.Mode = smBlockWaitMessage;
        if (!waiter.WaitStep(deadline))
            break; // terminated, or the thread is told to quit
    }
    // What one side still holds for its peer is delivered before the caller closes.
    DeliverPipe(aToB);
    DeliverPipe(bToA);
    for (TSocketStream* s : {a, b}) {
        s->Mode = smBlockWaitMessage;
        if (s->Socket()->IsConnected())
            s->Flush();
    }
    return aToB.Moved + bToA.Moved;
}

} // namespace corvan
