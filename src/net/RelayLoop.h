#pragma once
// Relay loops: established tunnels carried without a thread of their own.
//
// Once a tunnel's two connections stand (a SOCKS CONNECT, an HTTP CONNECT, a TCP mapping), the
// thread that negotiated it hands the two descriptors to one of the process's relay loops and
// goes back to its pool. A relay loop is one thread with one epoll set; it moves the bytes of
// every tunnel given to it: through a pipe inside the system (splice) once a way carries a full
// block and nothing throttles it, else copied through the loop's one scratch block. It carries
// half-close (the end of one peer's data is passed on as a shutdown of the sending side toward
// the other, and the other way goes on), holds each end to its read and write rates, counts the
// bytes, and ends a tunnel on which nothing has moved for RelayIdleLimitMs() (and, half-closed,
// for the half-open limit). An idle tunnel holds its two descriptors and a few hundred bytes:
// no thread, no buffer, no pipe (pipes are lent for a burst and given back).
//
// A tunnel that lives for one exchange would cost a loop's thread two wake-ups and the handing
// thread nothing it saves: the handing thread first relays it itself (RelayBriefly), with the
// same steps, and hands it to a loop only if it outlives kBriefRelayMs or goes quiet.
//
// Threads: a tunnel is made on the handing thread (MakeRelayTunnel), relayed there for a
// moment (RelayBriefly), started there (StartRelay), and from then on belongs to its loop's
// thread, which runs its end hook (the handing thread runs it when the tunnel ended there). Any
// thread may Terminate it, change its throttles and read its byte counts. Each loop's
// RelayMailboxLock guards what other threads hand it (new tunnels, terminations, listener
// changes); it is a leaf lock. Loops start with the first tunnel or listener and end with the
// process.
//
// Listeners (TRelayListener): a listening socket every loop watches (EPOLLEXCLUSIVE: an
// arrival wakes one loop), so that a connection that needs nothing but a tunnel is accepted,
// connected onward and relayed on one loop's thread, with no thread of its own and no hand-over.
// The loop that sees the socket readable calls the listener, which accepts and answers the
// tunnels that loop is to carry. Each loop keeps its own list of listeners (its thread only);
// joining and leaving go through its mailbox and are waited for, so once leaving returns no
// loop is inside the listener nor will be again.

#include "net/SocketLib.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace corvan {

// Relay loops per core of the machine (each a thread); the process runs at least one and at
// most kMaxRelayLoops.
constexpr unsigned kRelayLoopsPerCore = 1;
constexpr unsigned kMaxRelayLoops = 8;
// The longest a new tunnel is relayed on the thread that negotiated it; past this it goes to
// a relay loop, so a long tunnel holds that thread no longer.
constexpr int64_t kBriefRelayMs = 5;
// Once both ways have carried bytes, nothing waits to be sent (an answer came) and neither
// peer has ended its data (the tunnel is not closing), a tunnel that then moves nothing for
// this long goes to a relay loop: one that stays open idle must not keep its thread (a burst
// of such tunnels would each hold a thread as long), and the peer's end, when it comes, comes
// right after the answer.
constexpr int64_t kBriefRelayQuietUs = 200;
// A tunnel on which neither peer has sent anything for this long goes to a relay loop: a
// client that opens a tunnel and waits must not keep the thread for the whole brief relay
// (the first bytes of one that talks at once come within a round trip).
constexpr int64_t kBriefRelayFirstBytesUs = 1000;
// Wake-ups in a row that move nothing end the brief relay early (the loop takes the tunnel):
// a peer state that keeps its descriptor ready cannot make the thread spin.
constexpr int kBriefRelayEmptyTurns = 8;

// How one end of a tunnel is throttled: its reading (bytes taken from it) and its writing
// (bytes sent to it), each in bytes per second while switched on.
struct TRelayThrottle {
    bool Read = false;
    int64_t ReadRate = 0;
    bool Write = false;
    int64_t WriteRate = 0;
};

// What the handing thread gives the relay for one end of a tunnel.
struct TRelayEnd {
    TSocketHandle Handle = INVALID_SOCKETHANDLE; // connected, non-blocking; the tunnel owns it
    bool OwnConnection = false; // entered among the program's own connections: left at close
    std::string Unsent;         // still to be sent to this end, before anything relayed
    std::string Unread;         // received from this end and not yet passed on
    bool ReceiveEnded = false;  // this end's peer has ended its data already
    // This end was sent to since anything was last received from it, and nothing is unread
    // (ATCPClientSocket::AwaitsAnswer): a relay on the handing thread waits before it reads it.
    bool AwaitsAnswer = false;
    int64_t TimeoutMs = 0;      // its stream's time-out (0: none), for the half-open limit
    TRelayThrottle Throttle;
    // A non-blocking connect of this end is still under way: the loop sends nothing to it and
    // reads nothing from it until it stands. One that fails, or is still under way after
    // ConnectTimeoutMs (0: only the idle limit), ends the tunnel (TRelayTotals::ConnectError).
    bool Connecting = false;
    int64_t ConnectTimeoutMs = 0;
};

class TRelayLoop;

// What a tunnel carried, as its end hook gets it: the bytes passed on in both directions, and
// those sent to each end (what the negotiation left unsent included).
struct TRelayTotals {
    int64_t Moved = 0;
    int64_t SentTo[2] = {0, 0};
    // Relayed on the caller's thread (RelayStreams): its streams counted what they wrote.
    bool OnOwnThread = false;
    // A connecting end's connect failed: its socket error; 0 otherwise. ConnectExpired: it was
    // still under way when its time ran out (ConnectError WSAETIMEDOUT).
    int ConnectError = 0;
    bool ConnectExpired = false;
};
using TRelayEndHook = std::function<void(const TRelayTotals& totals)>;

// A tunnel handed to a relay loop. Shared by the loop and whoever may end it.
class TRelayTunnel : public std::enable_shared_from_this<TRelayTunnel> {
public:
    ~TRelayTunnel();
    TRelayTunnel(const TRelayTunnel&) = delete;
    TRelayTunnel& operator=(const TRelayTunnel&) = delete;

    // Ends the tunnel at once, whatever it still holds (any thread; before StartRelay too).
    void Terminate();
    // New throttles for end 0 or 1 (any thread; the loop applies them with its next step).
    void SetThrottle(int end, const TRelayThrottle& throttle);
    // Bytes received from and sent to end 0 or 1 so far (any thread).
    int64_t EndBytes(int end) const;

private:
    friend class TRelayLoop;
    friend std::shared_ptr<TRelayTunnel> MakeRelayTunnel(TRelayEnd, TRelayEnd, int);
    friend void StartRelay(const std::shared_ptr<TRelayTunnel>&, TRelayEndHook);
    friend bool RelayBriefly(const std::shared_ptr<TRelayTunnel>&);
    struct TState;
    TRelayTunnel(TRelayEnd a, TRelayEnd b, int bufferSize);
    std::unique_ptr<TState> FState; // the loop's thread only, once started
    TRelayLoop* FLoop = nullptr;
    std::atomic<bool> FTerminate{false};
    std::atomic<bool> FStarted{false};
    std::atomic<int64_t> FEndBytes[2] = {0, 0};
    // Throttles as last set; the loop reads them at each step.
    std::atomic<bool> FThrottleRead[2] = {false, false}, FThrottleWrite[2] = {false, false};
    std::atomic<int64_t> FReadRate[2] = {0, 0}, FWriteRate[2] = {0, 0};
};

// A tunnel between the two ends, not yet running: a, the client's connection; b, the one
// opened for it to the far end (RelayBriefly expects the first bytes from a). bufferSize: the
// most one copied read takes (below 1, or above the loop's scratch block: the scratch block's
// size). The tunnel owns the two descriptors; should it not be made (out of memory), they are
// closed before the raise.
std::shared_ptr<TRelayTunnel> MakeRelayTunnel(TRelayEnd a, TRelayEnd b, int bufferSize);
// Relays a tunnel not yet started on the calling thread until both its ways are done, it is
// terminated or throttled, kBriefRelayMs pass, nothing comes within kBriefRelayFirstBytesUs,
// or it is quiet for kBriefRelayQuietUs after an answer with neither peer at its end. Answers
// true when its ways are done: StartRelay then ends it on its own thread.
bool RelayBriefly(const std::shared_ptr<TRelayTunnel>& tunnel);
// Hands the tunnel to a relay loop (the loops in turn). When it ends, on the loop's thread,
// its descriptors are closed and onEnd runs with what it carried (what onEnd raises is lost).
// A tunnel whose ways RelayBriefly finished ends at once on the calling thread instead.
void StartRelay(const std::shared_ptr<TRelayTunnel>& tunnel, TRelayEndHook onEnd);
// A tunnel a listener hands to the loop that called it, and its end hook (as StartRelay's).
struct TRelayAdoption {
    std::shared_ptr<TRelayTunnel> Tunnel;
    TRelayEndHook OnEnd;
};

// A listening socket served on the relay loops (see above). Its handle stays open while it is
// listed; the listener outlives its listing.
class TRelayListener {
public:
    explicit TRelayListener(TSocketHandle listening) : FHandle(listening) {}
    virtual ~TRelayListener() = default;
    TRelayListener(const TRelayListener&) = delete;
    TRelayListener& operator=(const TRelayListener&) = delete;
    TSocketHandle Handle() const { return FHandle; }
    // A loop's thread (several loops at once), when the handle is readable: accepts what it
    // may (without blocking) and appends the tunnels this loop is to carry from now on.
    virtual void Readable(std::vector<TRelayAdoption>& adopt) = 0;

private:
    friend class TRelayLoop;
    friend void WatchRelayListener(TRelayListener&, bool);
    TSocketHandle FHandle;
    // Whether the loops are to watch the handle (any thread; each loop follows it as it takes
    // its mail).
    std::atomic<bool> FWatch{true};
};

// Adds fd to the epoll set, readable and level-triggered, with key as its data: one arrival
// wakes one waiter (EPOLLEXCLUSIVE), or every waiter on a kernel without exclusive wake-ups.
// 0, or -1 with errno set.
int EpollAddExclusive(int epoll, TSocketHandle fd, uint64_t key);
// Lists the listener on every loop, watched, and returns once each has it; false when the
// loops are not available (the caller accepts elsewhere). Not on a loop's thread.
bool ListenOnRelayLoops(TRelayListener& listener);
// Unlists it from every loop and returns once none is inside it or will call it again. Not
// on a loop's thread.
void StopListeningOnRelayLoops(TRelayListener& listener);
// The loops watch the listener's handle again, or stop watching it (connections then wait in
// the backlog: a level-triggered readiness nobody takes would wake a loop again and again).
// Any thread, loops' included; takes effect as each loop takes its mail.
void WatchRelayListener(TRelayListener& listener, bool watch);
// The relay loops run (made with the first call); false when the system refused them (out
// of descriptors, say): the caller relays on its own thread.
bool RelayLoopsAvailable();
// Tunnels the relay loops carry now (any thread).
size_t RelayTunnelCount();
// The relay loops the process runs (made with the first call; 0 when the system refused them).
// Tunnels started one after another go to them in turn.
size_t RelayLoopCount();

} // namespace corvan
