#pragma once
// A TCP connection as a blocking stream: protocol code reads and writes straight-line through
// TSocketReader and TSocketWriter (the reader/writer contract of util/Streams.h) while the
// socket underneath stays non-blocking. Blocking is done by pumping the calling thread's
// message loop in a wait step, in one of five modes, bounded by Timeout.
//
// A stream is used on the thread that owns its socket's mailbox; waiting runs that socket's
// handlers (and those of every other object of the thread) inside the wait.

#include "util/Streams.h"
#include "net/SocketsTCPClient.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace corvan {

class ESocketStream : public EStream {
public:
    using EStream::EStream;
};

enum TSocketStreamMode : uint8_t {
    smAsynchronous = 0,         // never wait
    smBlockWaitMessage = 1,     // wait for the next message of the thread's loop
    smBlockProcessMessages = 2, // dispatch every waiting message, then check again
    smBlockSleep = 3,           // sleep 1 ms between checks (another thread feeds the socket)
    smBlockNotify = 4,          // call OnWait between checks
};

class TSocketStream;

class TSocketReader : public AReaderEx {
public:
    explicit TSocketReader(TSocketStream& stream) : FStream(stream) {}

    int64_t GetPosition() override { return FPosition; }
    // Only forward (skips the difference); backwards raises EReader "Seeking not supported".
    void SetPosition(int64_t position) override;
    int64_t GetSize() override { return -1; }
    // Waits for count bytes without failing, then answers what the socket has (0..count).
    int Read(void* buffer, int count) override;
    // The socket is terminated, or closed or its receiving ended, with nothing buffered.
    bool IsEOF() override;

    // The operations below wait for the bytes they need and raise EReader "Read error" when
    // the connection ends or Timeout passes first.
    std::string ReadStr(int64_t count) override;
    uint8_t ReadByte() override;
    int Peek(void* buffer, int count) override;
    std::string PeekStr(int64_t count) override;
    uint8_t PeekByte() override;
    int Match(const void* buffer, int count, bool caseSensitive) override;
    bool MatchStr(std::string_view text, bool caseSensitive) override;
    void Skip(int64_t count) override;
    // Search what is buffered, waiting for more while nothing is found within maxOffset;
    // answer -1 at the end of the connection or when the wait fails.
    int64_t LocateByte(uint8_t value, int64_t maxOffset) override;
    int64_t LocateChar(const TCharSet& set, int64_t maxOffset) override;
    int64_t LocateBuffer(const void* buffer, int count, int64_t maxOffset,
                         bool caseSensitive) override;
    int64_t LocateStr(std::string_view text, int64_t maxOffset, bool caseSensitive) override;

    // True once count bytes are buffered. In a blocking mode waits for them, raising the
    // socket's ReadEventTrigger to count for the duration so the socket keeps reading;
    // false when the wait step fails (closed, terminated, quit), receiving has ended, or
    // Timeout passes.
    bool WaitForData(int64_t count);

private:
    void Require(int64_t count);
    // Shared loop of the Locate operations: find(buffered, from) answers a match offset or
    // npos; from is where a new search may start (earlier bytes were already searched).
    int64_t LocateWith(size_t patternLength,
                       const std::function<size_t(std::string_view, size_t)>& find,
                       int64_t maxOffset);
    TSocketStream& FStream;
    int64_t FPosition = 0;
};

class TSocketWriter : public AWriterEx {
public:
    explicit TSocketWriter(TSocketStream& stream) : FStream(stream) {}

    int64_t GetPosition() override { return FPosition; }
    // Only to the current position, else EWriter "SetPosition failed".
    void SetPosition(int64_t position) override;
    int64_t GetSize() override { return -1; }
    // EWriter "SetSize failed".
    void SetSize(int64_t size) override;
    // 0 when count < 1, the connection is gone or its sending side shut down, or waiting for
    // write space fails; else all
    // count bytes (what the system does not take now goes to the socket's send buffer).
    int Write(const void* buffer, int count) override;

    // True when a write may go ahead: at once in smAsynchronous mode or with WriteBufferLimit
    // below 0; with a limit N > 0 while the send buffer is in use, once fewer than N bytes are
    // buffered; otherwise once the socket can send directly. Waits in a blocking mode.
    bool WaitForWriteSpace();

private:
    TSocketStream& FStream;
    int64_t FPosition = 0;
};

// How long a connect still waits once the client it is opened for has ended its sending
// (TSocketStream::Client): a destination that never answers would otherwise hold a slot for
// a client that may be gone, until the system gives up minutes later.
inline constexpr int kEndedClientConnectWaitMs = 10000;

class TSocketStream : public AStream {
public:
    // Over an existing connection; owns (and frees) the socket when ownsSocket.
    TSocketStream(ATCPClientSocket* socket, int writeBufferLimit = -1, int timeout = 0,
                  TSocketStreamMode mode = smBlockWaitMessage, bool ownsSocket = false);
    ~TSocketStream() override;
    TSocketStream(const TSocketStream&) = delete;
    TSocketStream& operator=(const TSocketStream&) = delete;

    ATCPClientSocket* Socket() const { return FSocket; }
    // Milliseconds; 0 or less waits without limit.
    int Timeout = 0;
    // An absolute end (MonotonicMillis) for every wait, whatever Timeout says; -1: none. A
    // protocol sets it for a phase that must end by a fixed time however the peer trickles its
    // bytes (each wait's Timeout starts again at every byte), and clears it afterwards.
    int64_t Deadline = -1;
    TSocketStreamMode Mode = smBlockWaitMessage;
    // Close the socket at once when the stream is destroyed.
    bool CloseOnDestroy = false;
    // -1: writes never wait; 0: a write waits until the send buffer is empty; N > 0: until
    // fewer than N bytes are buffered.
    int WriteBufferLimit = -1;
    // Called by the smBlockNotify wait step.
    TEventSlot<void(TSocketStream* sender)> OnWait;
    // Asked before every wait step: true fails the wait (a read then finds no bytes, a
    // connect raises "Connect terminated"), for a caller whose reason to wait has gone (the
    // client it waits for has left). Unset: waits go on.
    std::function<bool()> GiveUp;
    // smBlockWaitMessage on the socket's own thread: while its watching is pending
    // (ASocket::SetAsynchronousLater), reads wait on its descriptor directly, beside the
    // thread's loop, instead of having the loop watch it. For a connection whose reads are
    // its only waits until it is handed on (a relay takes it): the loop then never hears of
    // it. Its end or a failure, or throttled reading, brings the loop's watching back.
    bool WaitsOnDescriptor = false;
    // The connection of the client this stream's connection is opened for, where the client
    // waits for it before it sends (a SOCKS or CONNECT client), watched while Connect waits on
    // this socket's own thread (the client's socket belongs to that thread too). A client that
    // is reset (it closed with our bytes unread, say) fails the connect at once, as "Connect
    // terminated". One that ends its sending may have left or may wait on for its answer (the
    // two look alike until something is sent to it): the connect waits EndedClientWaitMs more
    // at most, then times out. A client that has sent bytes (its socket holds them, or the
    // system does), or whose end was seen, is watched for a reset only; one whose socket has
    // been closed is not watched.
    const ATCPClientSocket* Client = nullptr;
    int EndedClientWaitMs = kEndedClientConnectWaitMs;
    // For a client whose bytes are to reach the far end whatever becomes of it (a mapping
    // relays what it has taken): once it has sent some, even if it was reset after, it is
    // no longer watched, and the connect goes on for them.
    bool ClientBytesOutliveIt = false;
    // The connect was ended because Client was reset (the caller then has nobody to answer;
    // a peek may still find bytes the client sent before).
    bool ClientReset() const { return FClientReset; }

    TSocketReader& Reader() { return FReader; }
    TSocketWriter& Writer() { return FWriter; }
    AReaderEx* GetReader() override { return &FReader; }
    AWriterEx* GetWriter() override { return &FWriter; }
    void SetSize(int64_t size) override;

    bool IsBlocking() const { return Mode != smAsynchronous; }
    // The socket is not terminated and is connected or still has buffered bytes.
    bool Connected() const;
    // One pass of every wait loop: false when the socket is neither connected nor connecting
    // or is terminated; otherwise one wait per Mode (smBlockWaitMessage waits no later than
    // deadline, MonotonicMillis, negative for none; false when the loop is told to quit).
    bool WaitStep(int64_t deadline = -1);
    // WaitStep for a read while WaitsOnDescriptor holds and the watching is pending: waits
    // until the descriptor is readable or the loop has news (dispatched then).
    bool WaitReadable(int64_t deadline);
    // A wait may poll the socket's descriptor beside its loop (WaitReadable, WaitConnected):
    // smBlockWaitMessage on the thread of the socket's loop.
    bool MayWaitBesideLoop() const;
    // As WaitReadable, for a connect whose own attempt is not watched (ConnectUnwatched), or
    // that watches Client: until the own attempt is answered (and told to the socket), the
    // client has news, or the loop has (the attempts it watches among them). The client's
    // news may bring deadline forward.
    bool WaitConnected(TTCPClientSocket& client, int64_t& deadline);
    // The deadline of a wait starting now: the sooner of now + Timeout and Deadline; -1 when
    // neither is set.
    int64_t WaitDeadline() const;

    // Nothing when the socket is connected or terminated. Starts the socket's Connect unless
    // it is connecting already; in a blocking mode waits while it connects and raises
    // ESocketStream "Connect terminated" (the wait failed), "Connect timed out" (the attempt
    // is abandoned: the socket fails with 60008, firing OnConnectFailed) or "Connect failed: "
    // + the socket's error text. The socket must be a TTCPClientSocket, else ESocketStream
    // "Socket is not a client socket".
    void Connect();

    // Waits until the send buffer is empty and the socket writable; false when the wait
    // fails or Timeout passes. Answers at once in smAsynchronous mode.
    bool Flush();
    // Graceful close (buffered bytes are sent first); in a blocking mode waits until the
    // socket has closed, the wait fails or Timeout passes.
    void Close();

private:
    // The client's descriptor to watch in the next wait, or none (no Client, or its socket
    // closed), and the events to ask of it (a failure and a hang-up are always told).
    TSocketHandle ClientToWatch(short& events);
    // After a wait in which the client's descriptor end reported revents: true when the
    // client was reset. An end of its sending brings deadline forward to EndedClientWaitMs
    // from now; bytes, or that end, leave only a reset to watch for from then on.
    bool ClientEndFailed(TSocketHandle end, short revents, int64_t& deadline);
    ATCPClientSocket* FSocket;
    std::unique_ptr<ATCPClientSocket> FOwnedSocket;
    TSocketReader FReader;
    TSocketWriter FWriter;
    // What Client was heard to do: anything watches it for a reset only.
    enum class TClientHeard : uint8_t { Nothing, Ended, Bytes };
    TClientHeard FClientHeard = TClientHeard::Nothing;
    bool FClientReset = false;
};

// How long a half-closed relay whose streams have no Timeout waits for the direction still
// open to move a byte; then it ends as if that direction had ended.
constexpr int64_t kRelayHalfOpenIdleMs = 300000;
// An open relay on which nothing moves either way for this long ends (and its connection slot
// with it): a tunnel its peers forgot would otherwise hold a slot for ever.
constexpr int64_t kRelayIdleLimitMs = 3600000;

// The idle limit relays started from now on use: kRelayIdleLimitMs unless lowered, which only
// tests do (any thread; ms below 1 restores kRelayIdleLimitMs).
int64_t RelayIdleLimitMs();
void SetRelayIdleLimitMs(int64_t ms);

// Moves bytes both ways between a and b until both directions have ended; answers the bytes
// moved in both directions (handed to the other side; the sockets' TotalBytesReceived and
// TotalBytesSent grow by the same). Both streams must belong to the calling thread. bufferSize
// below 1 means kStreamBlockSize. Reads never wait (each side gives what it has); writes block
// as the destination's WriteBufferLimit says; a side is not read while the other still has a
// block of its bytes unsent; when nothing moves the thread waits for its next message, and the
// relay's block and the sockets' empty read buffers are given back while it waits.
// A way on which nothing throttles (neither the source's reading nor the destination's
// writing) moves its bytes inside the system: socket -> pipe -> socket (splice), after what
// the source has buffered and the way's first block, which are copied. The pipe (two
// descriptors) is made when the way first carries a full block and closed when the relay
// ends; a way whose throttle is switched on, or for which the system refuses a pipe or a
// splice, copies. A spliced tunnel thus holds up to four descriptors more than its sockets.
// Half-close is carried: while relaying, both sockets keep AllowHalfClose, and when one peer
// ends its data (its side is at its end once what it sent is handed on), the relay shuts down
// the sending side toward the other peer after everything already written to it, and goes on
// relaying the other way until that ends too; in that half-closed state the relay ends when
// nothing moves for the smaller positive Timeout of the two streams (kRelayHalfOpenIdleMs
// when neither has one). Whether half-closed or not, it ends when nothing has moved either
// way for RelayIdleLimitMs(). A side that has closed (reset, or closed here) still hands on what it
// received; nothing more goes to it and the relay then ends. Before answering, what is still in
// either send buffer is flushed (within each stream's Timeout). The relay also ends when the
// thread is told to quit or a socket is terminated. Modes, read triggers and AllowHalfClose are
// restored (a side whose receiving ended then closes). Missing streams raise EStream "Invalid
// stream"; a copy-progress abort raises EStreamOperationAborted.
int64_t RelayStreams(TSocketStream* a, TSocketStream* b, int bufferSize = kStreamBlockSize);
// RelayStreams on the calling thread, answered as a relay loop's end hook gets its totals
// (OnOwnThread set; SentTo from what each socket sent meanwhile).
TRelayTotals RelayHere(TSocketStream& a, TSocketStream& b, int bufferSize);

} // namespace corvan
