#include "net/TCPStream.h"

#include "util/Strings.h"
#include "util/Ticks.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
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
    int64_t deadline = FStream.WaitDeadline();
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

TSocketStream::TSocketStream(const std::string& host, const std::string& port, int readEventTrigger,
                             int writeBufferLimit, int timeout, TSocketStreamMode mode,
                             std::unique_ptr<ATCPClientSocketProxy> proxy, bool connectNow)
    : TSocketStream(new TTCPClientSocket(host, port, std::move(proxy)), writeBufferLimit, timeout,
                    mode, true) {
    FSocket->SetReadEventTrigger(readEventTrigger);
    if (connectNow)
        Connect();
}

void TSocketStream::Connect() {
    auto* client = dynamic_cast<TTCPClientSocket*>(FSocket);
    if (!client)
        throw ESocketStream("Socket is not a client socket");
    if (client->Terminated() || client->IsConnected())
        return;
    if (!client->IsConnecting())
        client->Connect();
    if (!IsBlocking())
        return;
    int64_t deadline = WaitDeadline();
    while (client->IsConnecting()) {
        if (!WaitStep(deadline))
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
    return Timeout > 0 ? MonotonicMillis() + Timeout : -1;
}

bool TSocketStream::WaitStep(int64_t deadline) {
    if (FSocket->Terminated() || !(FSocket->IsConnected() || IsConnectingState(FSocket->State())))
        return false;
    switch (Mode) {
    case smAsynchronous:
        return true;
    case smBlockWaitMessage: {
        int timeoutMs = -1;
        if (deadline >= 0)
            timeoutMs = static_cast<int>(
                std::clamp<int64_t>(deadline - MonotonicMillis(), 0, int64_t(INT_MAX)));
        return FSocket->HandleMessage(timeoutMs);
    }
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
// ends. While the relay runs, a socket stops taking bytes in on its own once a block is
// buffered (one read notification may take up to kReadEventLimit before it stops): the relay
// reads the rest straight from the system as the other side takes it, so a fast sender facing
// a slow receiver is held back by TCP instead of filling memory. Half-close is on, so the end
// of one peer's data leaves the socket open for the answer.
struct TRelaySide {
    TSocketStream& Stream;
    TSocketStreamMode Mode;
    int Trigger;
    bool HalfClose;
    TRelaySide(TSocketStream& s, int bufferSize)
        : Stream(s), Mode(s.Mode), Trigger(s.Socket()->ReadEventTrigger()),
          HalfClose(s.Socket()->AllowHalfClose()) {
        if (Trigger < 0 || Trigger > bufferSize)
            s.Socket()->SetReadEventTrigger(bufferSize);
        s.Socket()->SetAllowHalfClose(true);
    }
    ~TRelaySide() {
        Stream.Mode = Mode;
        if (Stream.Socket()->ReadEventTrigger() != Trigger)
            Stream.Socket()->SetReadEventTrigger(Trigger);
        Stream.Socket()->SetAllowHalfClose(HalfClose);
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

// Moves what src has now to dst, which must be writable. Answers the bytes taken from src
// (those dst could not take before it went away are lost with it). Takes nothing while dst
// still holds a block of earlier bytes unsent: they go first, on dst's write notification.
int64_t RelayOnce(TSocketStream& src, TSocketStream& dst, char* buffer, int bufferSize,
                  int64_t& total) {
    if (dst.Socket()->SendBufferSize() >= bufferSize)
        return 0;
    src.Mode = smAsynchronous;
    int n = src.Read(buffer, bufferSize);
    if (n <= 0)
        return 0;
    dst.Mode = smBlockWaitMessage;
    int done = 0;
    while (done < n) {
        int w = dst.Write(buffer + done, n - done);
        if (w <= 0) {
            if (!Writable(dst)) {
                total += done;
                return n;
            }
            throw EWriter("Write error");
        }
        done += w;
    }
    total += n;
    if (src.TriggerCopyProgress(&src, &dst, total) || dst.TriggerCopyProgress(&src, &dst, total))
        throw EStreamOperationAborted();
    return n;
}

// How long a half-closed relay waits for the direction still open to move a byte.
int64_t HalfOpenIdleLimit(const TSocketStream& a, const TSocketStream& b) {
    if (a.Timeout > 0 && b.Timeout > 0)
        return std::min(a.Timeout, b.Timeout);
    if (a.Timeout > 0 || b.Timeout > 0)
        return std::max(a.Timeout, b.Timeout);
    return kRelayHalfOpenIdleMs;
}

} // namespace

int64_t RelayStreams(TSocketStream* a, TSocketStream* b, int bufferSize) {
    if (!a || !b)
        throw EStream("Invalid stream");
    if (bufferSize < 1)
        bufferSize = kStreamBlockSize;
    TRelaySide restoreA(*a, bufferSize), restoreB(*b, bufferSize);
    std::unique_ptr<char[]> buffer(new char[static_cast<size_t>(bufferSize)]);
    const int64_t idleLimit = HalfOpenIdleLimit(*a, *b);
    int64_t lastMove = MonotonicMillis();
    int64_t aToB = 0, bToA = 0;
    for (;;) {
        // A side is at its end once its peer's data has ended (or the socket closed) and all
        // it received is handed on; the other peer then reads the end of data too, after
        // everything sent to it (the shutdown waits for the send buffer).
        bool aEnded = a->IsEOF(), bEnded = b->IsEOF();
        if (aEnded && Writable(*b))
            b->Socket()->ShutdownSend();
        if (bEnded && Writable(*a))
            a->Socket()->ShutdownSend();
        bool aToBOpen = !aEnded && Writable(*b), bToAOpen = !bEnded && Writable(*a);
        if (!aToBOpen && !bToAOpen)
            break; // both ways done, or what is left has nobody to go to
        int64_t moved = 0;
        if (aToBOpen)
            moved += RelayOnce(*a, *b, buffer.get(), bufferSize, aToB);
        if (bToAOpen)
            moved += RelayOnce(*b, *a, buffer.get(), bufferSize, bToA);
        if (moved > 0) {
            lastMove = MonotonicMillis();
            continue;
        }
        // Half-closed, the relay waits for the answer only as long as the idle limit.
        int64_t deadline = -1;
        if (aEnded || bEnded) {
            deadline = lastMove + idleLimit;
            if (DeadlinePassed(deadline))
                break;
        }
        // Wait on a side that is still open: any notification of the thread wakes it, those
        // of the other socket included (its write notifications drain what the relay is
        // waiting on).
        TSocketStream& waiter = Open(*a) ? *a : *b;
        waiter.Mode = smBlockWaitMessage;
        if (!waiter.WaitStep(deadline))
            break; // terminated, or the thread is told to quit
    }
    // What one side still buffers for its peer is delivered before the caller closes.
    for (TSocketStream* s : {a, b}) {
        s->Mode = smBlockWaitMessage;
        if (s->Socket()->IsConnected())
            s->Flush();
    }
    return aToB + bToA;
}

} // namespace corvan
