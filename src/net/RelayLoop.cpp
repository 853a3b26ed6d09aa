#include "net/RelayLoop.h"

#include "net/EventLoop.h"
#include "net/OwnConnections.h"
#include "net/Sockets.h"
#include "net/TCPStream.h"
#include "net/SocketErrors.h"
#include "util/Ticks.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace corvan {

namespace {

// The scratch block a loop copies through; also the most one copied read takes.
constexpr int kRelayScratchSize = 256 * 1024;
// What one splice asks for; the system moves at most what the pipe holds (kPipeSize).
constexpr long kRelaySpliceChunk = 1L << 20;
// Bytes one tunnel moves in one turn before the loop serves the others: a bulk tunnel cannot
// starve the rest of its loop.
constexpr int64_t kRelayTurnBytes = 1L << 20;
// Empty pipes a loop keeps for the next burst; more are closed.
constexpr size_t kRelaySparePipes = 16;
// How often a loop with throttled tunnels waiting for their budget looks at them again.
constexpr int kRelayThrottleTickMs = kThrottleTimerInterval;
// A loop looks for tunnels past their idle limit when the first of them may be: an idle loop
// sleeps until then. At most this often (the end of a busy tunnel's limit moves on all the
// time).
constexpr int64_t kRelayMinSweepIntervalMs = 100;
// Events one epoll_wait takes.
constexpr int kRelayEventBatch = 256;

bool WouldBlock(long n) {
    return n < 0 && SocketGetLastError() == WSAEWOULDBLOCK;
}

} // namespace

// One end of a running tunnel (the loop's thread only).
struct TRelaySide {
    TRelayTunnel* Tunnel = nullptr;
    TSocketHandle Handle = INVALID_SOCKETHANDLE;
    uint64_t Key = 0; // its epoll entry's data while its loop watches it (0: none)
    bool OwnConnection = false;
    int Index = 0;
    bool Readable = true;  // no receive has found nothing since the last read notification
    bool Writable = true;  // no send has found the system's buffer full since the last write one
    bool ReceiveEnded = false; // the peer's data has ended (or the connection failed)
    bool Broken = false;       // a send failed: nothing more goes to this end
    bool ShutdownDone = false; // its sending side is shut down
    bool Connecting = false;   // its connect is under way: nothing is sent or read yet
    bool AwaitsAnswer = false; // as its end was handed over (TRelayEnd)
    // The system told of more than data: the peer's end or a failure (EPOLLRDHUP, EPOLLHUP,
    // EPOLLERR), or urgent data (EPOLLPRI). A read that finds less than it asked for is then
    // not taken as the last until the next notification: an end told is not told again, and a
    // read stops short at an urgent mark with the data behind it still queued.
    bool MoreThanData = false;
    // Urgent data was told: its ways copy from now on (a splice stops at the urgent mark and
    // finds nothing there, with the bytes behind it still queued).
    bool Urgent = false;
    TRateWindow ReadWindow, WriteWindow;
};

// One way of a tunnel, Src -> Dst: what was taken from Src and not yet sent to Dst waits in
// Held (copied) or in the pipe (spliced), never both.
struct TRelayWay {
    TRelaySide* Src = nullptr;
    TRelaySide* Dst = nullptr;
    std::string Held;
    size_t HeldOffset = 0;
    TPipeHandles Pipe;
    int64_t InPipe = 0;
    int64_t Unrelayed = 0;  // the first bytes of Held are Dst's own, left by the negotiation
    int64_t SentToDst = 0;  // everything sent to Dst, those bytes included
    bool Burst = false;     // a copied read filled a block: more comes, it may splice
    bool SpliceOff = false; // the system refused a pipe or a splice: this way copies
    int64_t Moved = 0;      // bytes handed to Dst
    bool HasHeld() const { return HeldOffset < Held.size(); }
    bool Pending() const { return HasHeld() || InPipe > 0; }
    // Everything from Src has been handed on, or nothing more can go to Dst.
    bool Done() const {
        return Dst->Broken || ((Src->ReceiveEnded || Dst->ShutdownDone) && !Pending());
    }
};

struct TRelayTunnel::TState {
    TRelaySide Sides[2];
    TRelayWay Ways[2]; // 0: end 0 -> end 1, 1: end 1 -> end 0
    int BufferSize = kRelayScratchSize;
    int64_t Timeouts[2] = {0, 0};
    int64_t ConnectTimeoutMs = 0;
    int64_t ConnectDeadline = INT64_MAX; // while a side connects
    int ConnectError = 0;
    bool ConnectExpired = false;
    int64_t LastMove = 0;
    int64_t IdleLimit = 0;
    TRelayEndHook OnEnd;
    size_t Slot = 0;          // its place in the loop's list
    uint64_t ServedInPass = 0; // the loop's pass that last served it
    bool Waiting = false;     // on the loop's throttle list
    bool Again = false;       // on the loop's list of tunnels to run again at once
    bool Ended = false;
    bool BriefOver = false;   // its ways were done on the handing thread (RelayBriefly)
};

// --- the loops --------------------------------------------------------------------------------

// Waited for by the thread that asked every loop for a listing change: each loop counts down
// once it has made it. AckLock is a leaf lock. The main thread serves its hand-over jobs
// meanwhile: a loop may be waiting for one of them.
struct TRelayAck {
    std::mutex AckLock;
    std::condition_variable Done;
    size_t Left = 0;
    const bool MainWaits = TMessageLoop::IsMainThread(); // made by the waiting thread
    void CountDown() {
        // Read first: once Left is 0 the waiter may go, and the ack with it.
        bool mainWaits = MainWaits;
        {
            std::lock_guard<std::mutex> lock(AckLock);
            if (--Left == 0)
                Done.notify_all();
        }
        if (mainWaits)
            TMessageLoop::Main().NotifyJobWaiters();
    }
    void Wait() {
        WaitServingJobs(AckLock, Done, [this] { return Left == 0; });
    }
};

namespace {
// What an epoll entry carries: 0 for the wake-up; a listener's address with the lowest bit
// set; a side's key, even (TakeSideKey).
uint64_t ListenerTag(TRelayListener* listener) {
    return reinterpret_cast<uintptr_t>(listener) | 1u;
}
TRelayListener* TaggedListener(uint64_t key) {
    return key & 1u ? reinterpret_cast<TRelayListener*>(uintptr_t(key & ~uint64_t(1))) : nullptr;
}
} // namespace

class TRelayLoop {
public:
    TRelayLoop();
    // A loop without a thread or an epoll set: a handing thread's, for RelayBriefly.
    struct TOnCaller {};
    explicit TRelayLoop(TOnCaller);
    ~TRelayLoop();
    TRelayLoop(const TRelayLoop&) = delete;
    TRelayLoop& operator=(const TRelayLoop&) = delete;
    // Any thread: a new tunnel to take, or one to look at (terminated).
    void Hand(std::shared_ptr<TRelayTunnel> tunnel);
    size_t Count() const { return FCount.load(std::memory_order_relaxed); }
    // The calling thread's own loop (RelayBriefly): relays a tunnel not yet started until its
    // ways are done (true) or it is to go to a shared loop (false).
    bool Brief(TRelayTunnel& tunnel);
    // Ends a tunnel whose ways Brief finished, on the calling thread.
    void EndBrief(TRelayTunnel& tunnel) { End(tunnel); }
    // Any thread: lists (join) or unlists the listener, counting ack down once done.
    void ChangeListening(TRelayListener* listener, bool join, TRelayAck* ack);
    // Any thread: the loop follows its listeners' FWatch.
    void FollowWatch();

private:
    struct TListenMail {
        TRelayListener* Listener;
        bool Join;
        TRelayAck* Ack;
    };
    struct TListening {
        TRelayListener* Listener;
        bool Watched;
    };
    // A side's place in the loop's table of watched sides, and the generation of that place:
    // a side's descriptor is closed without taking it out of the epoll set first (the close
    // does that, one system call less), and should a spawned process still hold a copy of the
    // descriptor for a moment, what the system then tells of it carries a key that no longer
    // names a side.
    struct TSideSlot {
        TRelaySide* Side = nullptr;
        uint32_t Generation = 0;
    };
    // A key for the side (may raise out of memory, having changed nothing).
    uint64_t TakeSideKey(TRelaySide* side);
    // Its key names no side any more.
    void LeaveSideKey(TRelaySide& side);
    // The side a key names, or null (left, or not a side's).
    TRelaySide* SideOf(uint64_t key) const;
    void TakeListenMail(std::vector<TListenMail>& mail);
    void Watch(TListening& listening, bool watch);
    // The listener's handle is readable: what it accepts is carried here.
    void ServeListener(TRelayListener* listener);
    // A connecting side has news: true when it stands now, else the tunnel is to end.
    static bool ConnectDone(TRelayTunnel::TState& s, TRelaySide& side);
    void Run();
    void Wake();
    void TakeMail();
    void Adopt(std::shared_ptr<TRelayTunnel> tunnel);
    void Serve(TRelayTunnel& tunnel);
    // Both ways as far as they go now, ends handed on; answers the bytes moved. Stamps the
    // tunnel's last move when stamp (a brief relay need not: a loop adopting it stamps it).
    int64_t Advance(TRelayTunnel& tunnel, bool stamp = true);
    static bool WaysDone(const TRelayTunnel::TState& s) {
        return s.Ways[0].Done() && s.Ways[1].Done();
    }
    // One way as far as it goes now; answers the bytes moved.
    int64_t Step(TRelayTunnel& tunnel, TRelayWay& way, int64_t budget);
    int64_t SendHeld(TRelayWay& way, int64_t allowance);
    int64_t SendPipe(TRelayWay& way, int64_t allowance);
    int64_t ReadCopy(TRelayTunnel& tunnel, TRelayWay& way, int64_t allowance);
    int64_t ReadSplice(TRelayTunnel& tunnel, TRelayWay& way, int64_t allowance);
    // What the throttles of the way let through now (size when none is on; the clock is read
    // only for a throttled side); 0: the way has to wait for its budget.
    int64_t ReadAllowance(TRelayTunnel& tunnel, TRelayWay& way, int64_t size);
    int64_t WriteAllowance(TRelayTunnel& tunnel, TRelayWay& way, int64_t size);
    bool TakePipe(TRelayWay& way);
    void GivePipe(TRelayWay& way);
    void End(TRelayTunnel& tunnel);
    void Sweep();
    // When the tunnel ends unless something moves: its idle limit, or the half-open one.
    static int64_t Deadline(const TRelayTunnel::TState& s);
    void WakeBy(int64_t deadline) { FNextSweep = std::min(FNextSweep, deadline); }
    void Counted(TRelayTunnel& tunnel, const TRelaySide& side, int64_t n);
    // n more bytes went to the way's destination.
    void Sent(TRelayTunnel& tunnel, TRelayWay& way, int64_t n);
    // The side's data has ended; failed: by a reset or an error, so nothing more goes to it.
    static void Ended(TRelaySide& side, bool failed) {
        side.ReceiveEnded = true;
        if (failed)
            side.Broken = true;
    }

    int FEpoll = -1;
    int FWake = -1;
    std::thread FThread;
    std::atomic<size_t> FCount{0};
    // RelayMailboxLock: guards FMail, FListenMail, FFollowWatch and FStop (written by any
    // thread, taken by the loop).
    // A leaf lock.
    std::mutex RelayMailboxLock;
    std::vector<std::shared_ptr<TRelayTunnel>> FMail;
    std::vector<TListenMail> FListenMail;
    bool FFollowWatch = false;
    bool FStop = false;
    std::vector<TListening> FListeners; // the loop's thread only
    std::vector<TSideSlot> FSideSlots;   // the loop's thread only
    std::vector<uint32_t> FFreeSideSlots; // room for every slot: leaving a key cannot fail
    // The loop's thread only.
    std::vector<std::shared_ptr<TRelayTunnel>> FTunnels;
    std::vector<TRelayTunnel*> FWaiting; // throttled, waiting for their budget
    std::vector<TRelayTunnel*> FAgain;   // stopped at their turn's end with more to move
    std::vector<std::shared_ptr<TRelayTunnel>> FEnded; // freed after the events of a pass
    std::vector<TPipeHandles> FSparePipes;
    // A handing thread's loop keeps none: its pool threads would hold them idle.
    size_t FSparePipeLimit = kRelaySparePipes;
    std::unique_ptr<char[]> FScratch;
    int64_t FNextSweep = INT64_MAX;
    uint64_t FPass = 0;
    int64_t FNextTick = 0; // when the throttled tunnels are looked at next
    // MonotonicMillis as the pass's events came in: what the pass stamps and compares (a pass
    // lasts well under the idle limits' resolution), one clock read for all its tunnels.
    int64_t FNow = 0;
};

namespace {

class TRelayLoops {
public:
    TRelayLoops() {
        unsigned cores = std::max(1u, std::thread::hardware_concurrency());
        unsigned count = std::clamp(cores * kRelayLoopsPerCore, 1u, kMaxRelayLoops);
        for (unsigned i = 0; i < count; ++i)
            FLoops.push_back(std::make_unique<TRelayLoop>());
    }
    TRelayLoop* Next() {
        return FLoops[FNext.fetch_add(1, std::memory_order_relaxed) % FLoops.size()].get();
    }
    // Every loop makes the change; returns once each has.
    void ChangeListening(TRelayListener* listener, bool join) {
        TRelayAck ack;
        ack.Left = FLoops.size();
        for (const auto& loop : FLoops)
            loop->ChangeListening(listener, join, &ack);
        ack.Wait();
    }
    void FollowWatch() {
        for (const auto& loop : FLoops)
            loop->FollowWatch();
    }
    size_t Size() const { return FLoops.size(); }
    size_t Count() const {
        size_t n = 0;
        for (const auto& loop : FLoops)
            n += loop->Count();
        return n;
    }

private:
    std::vector<std::unique_ptr<TRelayLoop>> FLoops;
    std::atomic<size_t> FNext{0};
};

TRelayLoops& Loops() {
    static TRelayLoops loops;
    return loops;
}

TRelayLoop& CallerLoop() {
    thread_local TRelayLoop loop{TRelayLoop::TOnCaller{}};
    return loop;
}

std::atomic<bool> GLoopsMade{false};

} // namespace

TRelayLoop::TRelayLoop() : FScratch(new char[kRelayScratchSize]) {
    // A failure leaves nothing open: the caller relays on its own thread and asks again later.
    auto fail = [this] {
        int error = SocketSetLastErrorFromErrno();
        if (FWake >= 0)
            close(FWake);
        if (FEpoll >= 0)
            close(FEpoll);
        throw ESocketLibrary("Relay loop not available", error);
    };
    FEpoll = epoll_create1(EPOLL_CLOEXEC);
    if (FEpoll < 0)
        fail();
    FWake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (FWake < 0)
        fail();
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = 0; // the wake-up
    if (epoll_ctl(FEpoll, EPOLL_CTL_ADD, FWake, &ev) != 0)
        fail();
    try {
        FThread = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
        errno = EAGAIN;
        fail();
    }
}

TRelayLoop::TRelayLoop(TOnCaller) : FSparePipeLimit(0), FScratch(new char[kRelayScratchSize]) {}

TRelayLoop::~TRelayLoop() {
    if (FEpoll < 0)
        return; // a handing thread's: it holds nothing between its tunnels
    {
        std::lock_guard<std::mutex> lock(RelayMailboxLock);
        FStop = true;
    }
    Wake();
    FThread.join();
    // Tunnels still open at the process's end go without their hooks: whoever set them is gone.
    for (auto& tunnel : FTunnels) {
        for (TRelaySide& side : tunnel->FState->Sides)
            SocketClose(side.Handle);
        for (TRelayWay& way : tunnel->FState->Ways)
            (void)PipeClose(way.Pipe);
    }
    for (TPipeHandles& pipe : FSparePipes)
        (void)PipeClose(pipe);
    close(FWake);
    close(FEpoll);
}

void TRelayLoop::Wake() {
    uint64_t one = 1;
    // A full counter already wakes the loop.
    (void)!write(FWake, &one, sizeof one);
}

void TRelayLoop::Hand(std::shared_ptr<TRelayTunnel> tunnel) {
    {
        std::lock_guard<std::mutex> lock(RelayMailboxLock);
        FMail.push_back(std::move(tunnel));
    }
    Wake();
}

void TRelayLoop::TakeMail() {
    uint64_t count;
    (void)!read(FWake, &count, sizeof count);
    std::vector<std::shared_ptr<TRelayTunnel>> mail;
    std::vector<TListenMail> listenMail;
    bool follow;
    {
        std::lock_guard<std::mutex> lock(RelayMailboxLock);
        mail.swap(FMail);
        listenMail.swap(FListenMail);
        follow = std::exchange(FFollowWatch, false);
    }
    if (follow || !listenMail.empty())
        TakeListenMail(listenMail);
    for (auto& tunnel : mail) {
        if (tunnel->FState->Ended)
            continue;
        if (tunnel->FState->Slot == SIZE_MAX)
            Adopt(tunnel);
        else if (tunnel->FTerminate.load())
            End(*tunnel);
    }
}

void TRelayLoop::ChangeListening(TRelayListener* listener, bool join, TRelayAck* ack) {
    {
        std::lock_guard<std::mutex> lock(RelayMailboxLock);
        FListenMail.push_back({listener, join, ack});
    }
    Wake();
}

void TRelayLoop::FollowWatch() {
    {
        std::lock_guard<std::mutex> lock(RelayMailboxLock);
        FFollowWatch = true;
    }
    Wake();
}

void TRelayLoop::TakeListenMail(std::vector<TListenMail>& mail) {
    for (TListenMail& m : mail) {
        auto it = std::find_if(FListeners.begin(), FListeners.end(),
                               [&](const TListening& l) { return l.Listener == m.Listener; });
        if (m.Join && it == FListeners.end())
            FListeners.push_back({m.Listener, false});
        if (!m.Join && it != FListeners.end()) {
            Watch(*it, false);
            FListeners.erase(it);
        }
        m.Ack->CountDown();
    }
    // Every listing follows its listener's FWatch as it is now.
    for (TListening& l : FListeners)
        Watch(l, l.Listener->FWatch.load());
}

void TRelayLoop::Watch(TListening& listening, bool watch) {
    if (listening.Watched == watch)
        return;
    TSocketHandle handle = listening.Listener->Handle();
    if (!watch) {
        epoll_ctl(FEpoll, EPOLL_CTL_DEL, handle, nullptr);
        listening.Watched = false;
        return;
    }
    // An arrival wakes one loop, and what it leaves in the backlog wakes one again.
    int r = EpollAddExclusive(FEpoll, handle, ListenerTag(listening.Listener));
    // Refused (out of memory, or the system's limit of watched descriptors): tried again at
    // the loop's next sweep, so that a listener no loop could watch is not left unwatched.
    listening.Watched = r == 0;
    if (r != 0)
        WakeBy(MonotonicMillis() + kRelayMinSweepIntervalMs);
}

void TRelayLoop::ServeListener(TRelayListener* listener) {
    // An event taken before the listener was unlisted: it is not called any more.
    if (std::none_of(FListeners.begin(), FListeners.end(),
                     [&](const TListening& l) { return l.Listener == listener; }))
        return;
    // Stopped: this loop's mail that says so is on its way (it takes the entry out).
    if (!listener->FWatch.load())
        return;
    std::vector<TRelayAdoption> adopt;
    try {
        listener->Readable(adopt);
    } catch (...) {
        // What it raised is lost; the tunnels it handed over are carried all the same.
    }
    for (TRelayAdoption& a : adopt) {
        a.Tunnel->FState->OnEnd = std::move(a.OnEnd);
        a.Tunnel->FLoop = this;
        // A Terminate from now on mails the tunnel here, where it is adopted first.
        a.Tunnel->FStarted.store(true);
        Adopt(std::move(a.Tunnel));
    }
}

bool TRelayLoop::ConnectDone(TRelayTunnel::TState& s, TRelaySide& side) {
    // Writable with no failure told: the connect stands (a refused or unreachable one is told
    // as an error); the error is asked for only when there is one to tell. What the peer sent
    // already came with its own read notification.
    int error = side.MoreThanData ? SocketPendingError(side.Handle) : 0;
    if (error == 0 && !side.Broken) {
        side.Connecting = false;
        s.ConnectDeadline = INT64_MAX;
        return true;
    }
    s.ConnectError = error != 0 ? error : WSAENOTCONN;
    return false;
}

uint64_t TRelayLoop::TakeSideKey(TRelaySide* side) {
    uint32_t index;
    if (FFreeSideSlots.empty()) {
        if (FFreeSideSlots.capacity() <= FSideSlots.size())
            FFreeSideSlots.reserve(2 * FSideSlots.size() + 16);
        FSideSlots.emplace_back();
        index = uint32_t(FSideSlots.size() - 1);
    } else {
        index = FFreeSideSlots.back();
        FFreeSideSlots.pop_back();
    }
    FSideSlots[index].Side = side;
    return uint64_t(FSideSlots[index].Generation) << 32 | uint64_t(index + 1) << 1;
}

void TRelayLoop::LeaveSideKey(TRelaySide& side) {
    if (side.Key == 0)
        return;
    uint32_t index = uint32_t((side.Key & 0xffffffffu) >> 1) - 1;
    FSideSlots[index].Side = nullptr;
    ++FSideSlots[index].Generation;
    FFreeSideSlots.push_back(index); // room was made as the slot was
    side.Key = 0;
}

TRelaySide* TRelayLoop::SideOf(uint64_t key) const {
    uint64_t index = ((key & 0xffffffffu) >> 1) - 1;
    if (index >= FSideSlots.size() || FSideSlots[index].Generation != uint32_t(key >> 32))
        return nullptr;
    return FSideSlots[index].Side;
}

void TRelayLoop::Adopt(std::shared_ptr<TRelayTunnel> tunnel) {
    TRelayTunnel::TState& s = *tunnel->FState;
    try {
        FTunnels.push_back(tunnel);
        s.Slot = FTunnels.size() - 1;
        for (TRelaySide& side : s.Sides)
            side.Key = TakeSideKey(&side);
    } catch (const std::bad_alloc&) {
        End(*tunnel); // out of memory: ends as it came, its hook told
        return;
    }
    FCount.store(FTunnels.size(), std::memory_order_relaxed);
    s.LastMove = FNow;
    s.IdleLimit = RelayIdleLimitMs();
    if (s.ConnectTimeoutMs > 0 && (s.Sides[0].Connecting || s.Sides[1].Connecting))
        s.ConnectDeadline = s.LastMove + s.ConnectTimeoutMs;
    const uint32_t ticks = static_cast<uint32_t>(FNow); // as GetTickCount
    for (TRelaySide& side : s.Sides) {
        side.ReadWindow.Restart(ticks);
        side.WriteWindow.Restart(ticks);
        // Edge-triggered: the loop reads and writes until the system has nothing more, so a
        // tunnel costs no system call to re-arm, and an idle one none at all.
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLPRI | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        ev.data.u64 = side.Key;
        if (epoll_ctl(FEpoll, EPOLL_CTL_ADD, side.Handle, &ev) != 0) {
            End(*tunnel); // cannot be watched: ends as it came (what it holds has nobody to go to)
            return;
        }
    }
    if (tunnel->FTerminate.load()) {
        End(*tunnel);
        return;
    }
    Serve(*tunnel);
}

void TRelayLoop::Counted(TRelayTunnel& tunnel, const TRelaySide& side, int64_t n) {
    tunnel.FEndBytes[side.Index].fetch_add(n, std::memory_order_relaxed);
}

void TRelayLoop::Sent(TRelayTunnel& tunnel, TRelayWay& way, int64_t n) {
    Counted(tunnel, *way.Dst, n);
    way.Dst->WriteWindow.Add(n);
    way.SentToDst += n;
    // What the negotiation left for Dst is its own, not passed on from the other side.
    int64_t own = std::min(way.Unrelayed, n);
    way.Unrelayed -= own;
    way.Moved += n - own;
}

int64_t TRelayLoop::ReadAllowance(TRelayTunnel& tunnel, TRelayWay& way, int64_t size) {
    int i = way.Src->Index;
    if (tunnel.FThrottleRead[i].load(std::memory_order_relaxed))
        size = way.Src->ReadWindow.Allowance(
            size, tunnel.FReadRate[i].load(std::memory_order_relaxed), GetTickCount());
    return WriteAllowance(tunnel, way, size);
}

int64_t TRelayLoop::WriteAllowance(TRelayTunnel& tunnel, TRelayWay& way, int64_t size) {
    int i = way.Dst->Index;
    if (tunnel.FThrottleWrite[i].load(std::memory_order_relaxed))
        size = way.Dst->WriteWindow.Allowance(
            size, tunnel.FWriteRate[i].load(std::memory_order_relaxed), GetTickCount());
    return size;
}

bool TRelayLoop::TakePipe(TRelayWay& way) {
    if (way.Pipe.Read >= 0)
        return true;
    if (!FSparePipes.empty()) {
        way.Pipe = FSparePipes.back();
        FSparePipes.pop_back();
        return true;
    }
    return PipeOpen(way.Pipe) == 0;
}

void TRelayLoop::GivePipe(TRelayWay& way) {
    if (way.Pipe.Read < 0 || way.InPipe > 0)
        return;
    if (FSparePipes.size() < FSparePipeLimit)
        FSparePipes.push_back(way.Pipe);
    else
        (void)PipeClose(way.Pipe);
    way.Pipe = TPipeHandles();
}

int64_t TRelayLoop::SendHeld(TRelayWay& way, int64_t allowance) {
    TRelaySide& dst = *way.Dst;
    size_t size = std::min<size_t>(way.Held.size() - way.HeldOffset, size_t(allowance));
    long n = SocketSend(dst.Handle, way.Held.data() + way.HeldOffset, size);
    if (n <= 0) {
        if (WouldBlock(n))
            dst.Writable = false;
        else
            dst.Broken = true;
        return 0;
    }
    way.HeldOffset += size_t(n);
    if (!way.HasHeld()) {
        way.Held = std::string(); // an idle way keeps no storage
        way.HeldOffset = 0;
    }
    return n;
}

int64_t TRelayLoop::SendPipe(TRelayWay& way, int64_t allowance) {
    TRelaySide& dst = *way.Dst;
    long n = SocketSplice(way.Pipe.Read, dst.Handle, size_t(std::min(way.InPipe, allowance)));
    if (n <= 0) {
        if (WouldBlock(n))
            dst.Writable = false;
        else
            dst.Broken = true; // what the pipe holds has nobody to go to
        return 0;
    }
    way.InPipe -= n;
    return n;
}

int64_t TRelayLoop::ReadCopy(TRelayTunnel& tunnel, TRelayWay& way, int64_t allowance) {
    TRelaySide& src = *way.Src;
    long size = long(std::min<int64_t>(allowance, tunnel.FState->BufferSize));
    long n = SocketRecv(src.Handle, FScratch.get(), size_t(size));
    if (n <= 0) {
        if (WouldBlock(n))
            src.Readable = false;
        else
            Ended(src, n < 0);
        return 0;
    }
    Counted(tunnel, src, n);
    src.ReadWindow.Add(n);
    if (n == tunnel.FState->BufferSize)
        way.Burst = true;
    // Less than asked for: the system had no more. On a shared loop the next arrival is told
    // as an edge of its own, so a read that would find nothing is saved (see MoreThanData for
    // when not). The brief relay reads on from the far end, whose answer is often followed by
    // its end at once (its wait would only report what is there already), but not from the
    // client, who waits for that answer before it sends more or ends.
    else if (n < size && !src.MoreThanData && (FEpoll >= 0 || src.Index == 0))
        src.Readable = false;
    // Sent on at once as far as the other end takes it; the rest waits in Held.
    long sent = 0;
    if (way.Dst->Writable) {
        sent = SocketSend(way.Dst->Handle, FScratch.get(), size_t(n));
        if (sent < 0) {
            if (WouldBlock(sent))
                way.Dst->Writable = false;
            else
                way.Dst->Broken = true;
            sent = 0;
        }
    }
    if (sent < n && !way.Dst->Broken)
        way.Held.assign(FScratch.get() + sent, size_t(n - sent));
    if (sent > 0)
        Sent(tunnel, way, sent);
    return n;
}

int64_t TRelayLoop::ReadSplice(TRelayTunnel& tunnel, TRelayWay& way, int64_t allowance) {
    TRelaySide& src = *way.Src;
    long n = SocketSplice(src.Handle, way.Pipe.Write, size_t(std::min(allowance, kRelaySpliceChunk)));
    if (n < 0) {
        if (WouldBlock(n))
            src.Readable = false;
        else if (SpliceUnsupported(SocketGetLastError()))
            way.SpliceOff = true;
        else
            Ended(src, true);
        return 0;
    }
    if (n == 0) {
        Ended(src, false);
        return 0;
    }
    Counted(tunnel, src, n);
    src.ReadWindow.Add(n);
    way.InPipe += n;
    return n;
}

int64_t TRelayLoop::Step(TRelayTunnel& tunnel, TRelayWay& way, int64_t budget) {
    TRelaySide& src = *way.Src;
    TRelaySide& dst = *way.Dst;
    const bool throttled = tunnel.FThrottleRead[src.Index].load(std::memory_order_relaxed) ||
                           tunnel.FThrottleWrite[dst.Index].load(std::memory_order_relaxed);
    int64_t moved = 0;
    while (moved < budget && !dst.Broken) {
        // What waits for Dst goes first.
        if (way.Pending()) {
            if (!dst.Writable)
                break;
            int64_t allowance = WriteAllowance(tunnel, way, budget - moved);
            if (allowance == 0) {
                tunnel.FState->Waiting = true;
                break;
            }
            int64_t n = way.HasHeld() ? SendHeld(way, allowance) : SendPipe(way, allowance);
            if (n == 0)
                break;
            Sent(tunnel, way, n);
            moved += n;
            continue;
        }
        if (src.ReceiveEnded || !src.Readable)
            break;
        int64_t allowance = ReadAllowance(tunnel, way, budget - moved);
        if (allowance == 0) {
            tunnel.FState->Waiting = true;
            break;
        }
        // A way that has carried a full block and that nothing throttles moves its bytes
        // inside the system; a short exchange is copied (no pipe for it).
        bool maySplice = way.Burst && !way.SpliceOff && !throttled && !src.Urgent;
        bool splice = maySplice && TakePipe(way);
        if (maySplice && !splice)
            way.SpliceOff = true; // out of descriptors: copying still works
        int64_t n = splice ? ReadSplice(tunnel, way, allowance) : ReadCopy(tunnel, way, allowance);
        if (n == 0 && splice && way.SpliceOff)
            continue; // the system will not splice these descriptors: the same turn copies
        if (n == 0)
            break;
        moved += n;
    }
    GivePipe(way);
    return moved;
}

void TRelayLoop::Serve(TRelayTunnel& tunnel) {
    TRelayTunnel::TState& s = *tunnel.FState;
    if (s.Ended || s.ServedInPass == FPass)
        return;
    s.ServedInPass = FPass;
    // A connect under way has news once its side is writable or failed.
    for (TRelaySide& side : s.Sides)
        if (side.Connecting && (side.Writable || side.Broken) && !ConnectDone(s, side)) {
            End(tunnel);
            return;
        }
    int64_t moved = Advance(tunnel);
    if (WaysDone(s)) {
        End(tunnel);
        return;
    }
    WakeBy(Deadline(s));
    if (moved >= kRelayTurnBytes && !s.Again) {
        s.Again = true;
        FAgain.push_back(&tunnel);
    }
    if (s.Waiting && std::find(FWaiting.begin(), FWaiting.end(), &tunnel) == FWaiting.end())
        FWaiting.push_back(&tunnel);
}

int64_t TRelayLoop::Advance(TRelayTunnel& tunnel, bool stamp) {
    TRelayTunnel::TState& s = *tunnel.FState;
    int64_t moved = 0;
    for (TRelayWay& way : s.Ways)
        if (!way.Done())
            moved += Step(tunnel, way, kRelayTurnBytes);
    if (moved > 0 && stamp)
        s.LastMove = FNow;
    // A side at its end hands the end on: the other peer reads the end of data once it has
    // everything sent before. When the other way is over too the tunnel ends now, and the
    // close sends that end (its side has nothing unread: its own end was read).
    for (int i = 0; i < 2; ++i) {
        TRelayWay& way = s.Ways[i];
        if (way.Src->ReceiveEnded && !way.Pending() && !way.Dst->ShutdownDone &&
            !way.Dst->Broken && !way.Dst->Connecting) {
            way.Dst->ShutdownDone = true;
            if (!s.Ways[1 - i].Done())
                (void)SocketShutdown(way.Dst->Handle, TShutdownHow::sdSend);
        }
    }
    return moved;
}

bool TRelayLoop::Brief(TRelayTunnel& tunnel) {
    TRelayTunnel::TState& s = *tunnel.FState;
    auto throttled = [&] {
        for (int i = 0; i < 2; ++i)
            if (tunnel.FThrottleRead[i].load(std::memory_order_relaxed) ||
                tunnel.FThrottleWrite[i].load(std::memory_order_relaxed))
                return true; // budgets over time are the shared loops' work
        return false;
    };
    using TClock = std::chrono::steady_clock;
    TClock::time_point lastMove = TClock::now();
    const TClock::time_point until = lastMove + std::chrono::milliseconds(kBriefRelayMs);
    int emptyTurns = 0;
    // The far end was just connected and sent nothing yet: its first bytes answer the
    // client's, and the wait tells of any that came before. So with a client just answered
    // (a SOCKS or CONNECT reply).
    s.Sides[1].Readable = false;
    if (s.Sides[0].AwaitsAnswer)
        s.Sides[0].Readable = false;
    while (!tunnel.FTerminate.load() && !throttled()) {
        int64_t moved = Advance(tunnel, false);
        if (WaysDone(s)) {
            s.BriefOver = true;
            return true;
        }
        TClock::time_point now = TClock::now();
        if (moved > 0) {
            lastMove = now;
            emptyTurns = 0;
        } else if (++emptyTurns > kBriefRelayEmptyTurns) {
            break;
        }
        // A request on its way waits for its answer, and a closing tunnel for its other end;
        // one that has not begun, or that stays open after its answer, may be idle for long.
        bool begun = s.Ways[0].Moved > 0 || s.Ways[1].Moved > 0;
        bool answered = s.Ways[0].Moved > 0 && s.Ways[1].Moved > 0 && !s.Ways[0].Pending() &&
                        !s.Ways[1].Pending();
        bool closing = s.Sides[0].ReceiveEnded || s.Sides[1].ReceiveEnded;
        TClock::time_point end = until;
        if (!begun && !closing)
            end = std::min(until, lastMove + std::chrono::microseconds(kBriefRelayFirstBytesUs));
        else if (answered && !closing)
            end = std::min(until, lastMove + std::chrono::microseconds(kBriefRelayQuietUs));
        if (now >= end)
            break;
        // Waits for what would let a way go on: its source readable or its destination
        // writable again (as the loop's edge notifications would tell).
        pollfd fds[2];
        for (int i = 0; i < 2; ++i) {
            const TRelaySide& side = s.Sides[i];
            fds[i] = {side.Handle, 0, 0};
            if (!side.Readable && !side.ReceiveEnded)
                fds[i].events |= POLLIN | POLLRDHUP;
            if (!side.Writable && s.Ways[1 - i].Pending())
                fds[i].events |= POLLOUT;
        }
        // Nothing to wait for: a way stopped at its turn's bytes with its source still readable
        // and its destination writable, so it goes on at once (kBriefRelayEmptyTurns bounds a
        // side that stays ready without moving anything).
        if (fds[0].events == 0 && fds[1].events == 0)
            continue;
        auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(end - now).count();
        timespec wait{time_t(left / 1000000000), long(left % 1000000000)};
        int r = ::ppoll(fds, 2, &wait, nullptr);
        if (r < 0 && errno != EINTR)
            break;
        for (int i = 0; r > 0 && i < 2; ++i) {
            TRelaySide& side = s.Sides[i];
            short ev = fds[i].revents;
            if (ev & (POLLIN | POLLRDHUP | POLLHUP | POLLERR))
                side.Readable = true;
            if (ev & (POLLOUT | POLLHUP | POLLERR))
                side.Writable = true;
            if (ev & POLLERR)
                side.Broken = true;
            if (ev & (POLLRDHUP | POLLHUP | POLLERR))
                side.MoreThanData = true;
        }
    }
    // The shared loop learns of readiness by edges from its own registration on: it starts by
    // trying every side.
    for (TRelaySide& side : s.Sides)
        side.Readable = side.Writable = true;
    s.Waiting = false;
    return false;
}

void TRelayLoop::End(TRelayTunnel& tunnel) {
    TRelayTunnel::TState& s = *tunnel.FState;
    if (s.Ended)
        return;
    s.Ended = true;
    for (TRelaySide& side : s.Sides) {
        // The close takes it out of the epoll set.
        LeaveSideKey(side);
        // Before the close: the same two ends may belong to a new connection right after.
        if (side.OwnConnection)
            UnregisterOwnConnection(side.Handle);
        SocketClose(side.Handle);
        side.Handle = INVALID_SOCKETHANDLE;
    }
    for (TRelayWay& way : s.Ways) {
        way.InPipe = 0; // what it held has nobody to go to
        (void)PipeClose(way.Pipe);
    }
    std::erase(FWaiting, &tunnel);
    std::erase(FAgain, &tunnel);
    if (s.Slot < FTunnels.size()) {
        std::shared_ptr<TRelayTunnel> self = std::move(FTunnels[s.Slot]);
        if (s.Slot + 1 < FTunnels.size()) {
            FTunnels[s.Slot] = std::move(FTunnels.back());
            FTunnels[s.Slot]->FState->Slot = s.Slot;
        }
        FTunnels.pop_back();
        FCount.store(FTunnels.size(), std::memory_order_relaxed);
        FEnded.push_back(std::move(self));
    }
    TRelayEndHook onEnd = std::move(s.OnEnd);
    TRelayTotals totals;
    totals.Moved = s.Ways[0].Moved + s.Ways[1].Moved;
    totals.SentTo[1] = s.Ways[0].SentToDst;
    totals.SentTo[0] = s.Ways[1].SentToDst;
    totals.ConnectError = s.ConnectError;
    totals.ConnectExpired = s.ConnectExpired;
    if (onEnd)
        try {
            onEnd(totals);
        } catch (...) {
            // The tunnel is over either way; what the hook would have recorded is lost.
        }
}

int64_t TRelayLoop::Deadline(const TRelayTunnel::TState& s) {
    int64_t limit = s.IdleLimit;
    // Half-closed (one way has handed on all its peer sent), the way still open gets only as
    // long as the half-open limit.
    auto over = [](const TRelayWay& way) { return way.Src->ReceiveEnded && !way.Pending(); };
    if (over(s.Ways[0]) || over(s.Ways[1])) {
        int64_t a = s.Timeouts[0], b = s.Timeouts[1];
        int64_t halfOpen = a > 0 && b > 0 ? std::min(a, b)
                           : a > 0 || b > 0 ? std::max(a, b)
                                            : kRelayHalfOpenIdleMs;
        limit = std::min(limit, halfOpen);
    }
    return std::min(s.LastMove + limit, s.ConnectDeadline);
}

void TRelayLoop::Sweep() {
    int64_t now = FNow;
    if (now < FNextSweep)
        return;
    FNextSweep = INT64_MAX;
    for (TListening& l : FListeners)
        Watch(l, l.Listener->FWatch.load());
    std::vector<TRelayTunnel*> expired;
    for (auto& tunnel : FTunnels) {
        int64_t deadline = Deadline(*tunnel->FState);
        if (deadline <= now)
            expired.push_back(tunnel.get());
        else
            WakeBy(std::max(deadline, now + kRelayMinSweepIntervalMs));
    }
    for (TRelayTunnel* tunnel : expired) {
        TRelayTunnel::TState& s = *tunnel->FState;
        if (s.Sides[0].Connecting || s.Sides[1].Connecting) {
            s.ConnectError = WSAETIMEDOUT;
            s.ConnectExpired = true;
        }
        End(*tunnel);
    }
}

void TRelayLoop::Run() {
    epoll_event events[kRelayEventBatch];
    for (;;) {
        int64_t wakeAt = FNextSweep;
        if (!FWaiting.empty())
            wakeAt = std::min(wakeAt, FNextTick);
        int timeout = wakeAt == INT64_MAX
                          ? -1
                          : int(std::clamp<int64_t>(wakeAt - MonotonicMillis(), 0, INT32_MAX));
        if (!FAgain.empty())
            timeout = 0;
        int n = epoll_wait(FEpoll, events, kRelayEventBatch, timeout);
        FNow = MonotonicMillis();
        ++FPass;
        for (int i = 0; i < n; ++i) {
            uint64_t key = events[i].data.u64;
            if (TRelayListener* listener = TaggedListener(key)) {
                ServeListener(listener);
                continue;
            }
            if (key == 0) {
                {
                    std::lock_guard<std::mutex> lock(RelayMailboxLock);
                    if (FStop)
                        return;
                }
                TakeMail();
                continue;
            }
            TRelaySide* side = SideOf(key);
            if (!side)
                continue; // a side that has left since
            uint32_t ev = events[i].events;
            if (ev & (EPOLLIN | EPOLLPRI | EPOLLRDHUP | EPOLLHUP | EPOLLERR))
                side->Readable = true;
            if (ev & (EPOLLOUT | EPOLLHUP | EPOLLERR))
                side->Writable = true;
            // A reset: nothing more goes to this side (what it sent before is still read),
            // also when its own way has ended and nothing would read it again.
            if (ev & EPOLLERR)
                side->Broken = true;
            if (ev & (EPOLLPRI | EPOLLRDHUP | EPOLLHUP | EPOLLERR))
                side->MoreThanData = true;
            if (ev & EPOLLPRI)
                side->Urgent = true;
        }
        // Each tunnel with news is served once per pass, after all its events are in.
        for (int i = 0; i < n; ++i) {
            uint64_t key = events[i].data.u64;
            TRelaySide* side = key == 0 || TaggedListener(key) ? nullptr : SideOf(key);
            if (!side)
                continue;
            // An ended tunnel stays alive (FEnded) until the pass is over; each tunnel is
            // served once a pass, after all its events are in.
            Serve(*side->Tunnel);
        }
        ++FPass; // those stopped at their turn's end go on now, served once more
        std::vector<TRelayTunnel*> again;
        again.swap(FAgain);
        for (TRelayTunnel* tunnel : again) {
            tunnel->FState->Again = false;
            Serve(*tunnel);
        }
        if (!FWaiting.empty() && FNow >= FNextTick) {
            FNextTick = FNow + kRelayThrottleTickMs;
            ++FPass;
            std::vector<TRelayTunnel*> waiting;
            waiting.swap(FWaiting);
            for (TRelayTunnel* tunnel : waiting) {
                tunnel->FState->Waiting = false;
                Serve(*tunnel);
            }
        }
        Sweep();
        FEnded.clear();
    }
}

// --- the tunnel -------------------------------------------------------------------------------

TRelayTunnel::TRelayTunnel(TRelayEnd a, TRelayEnd b, int bufferSize)
    : FState(std::make_unique<TState>()) {
    TState& s = *FState;
    s.BufferSize = bufferSize < 1 || bufferSize > kRelayScratchSize ? kRelayScratchSize : bufferSize;
    s.Slot = SIZE_MAX;
    TRelayEnd* ends[2] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
        TRelaySide& side = s.Sides[i];
        side.Tunnel = this;
        side.Handle = ends[i]->Handle;
        side.OwnConnection = ends[i]->OwnConnection;
        side.Index = i;
        side.ReceiveEnded = ends[i]->ReceiveEnded;
        side.AwaitsAnswer = ends[i]->AwaitsAnswer;
        side.Connecting = ends[i]->Connecting;
        if (side.Connecting) {
            // Told by its first event (the connect's end), not tried before.
            side.Readable = side.Writable = false;
            s.ConnectTimeoutMs = std::max(s.ConnectTimeoutMs, ends[i]->ConnectTimeoutMs);
        }
        s.Timeouts[i] = ends[i]->TimeoutMs;
        SetThrottle(i, ends[i]->Throttle);
    }
    for (int i = 0; i < 2; ++i) {
        TRelayWay& way = s.Ways[i];
        way.Src = &s.Sides[i];
        way.Dst = &s.Sides[1 - i];
        // What the other end was still to be sent goes before what this end sent.
        way.Held = std::move(ends[1 - i]->Unsent);
        way.Unrelayed = int64_t(way.Held.size());
        way.Held += ends[i]->Unread;
    }
}

TRelayTunnel::~TRelayTunnel() {
    // Never started: the descriptors it was given, and the pipes a brief relay took, are
    // closed here.
    if (FState && FState->Slot == SIZE_MAX && !FState->Ended) {
        for (TRelaySide& side : FState->Sides) {
            if (side.OwnConnection)
                UnregisterOwnConnection(side.Handle);
            SocketClose(side.Handle);
        }
        for (TRelayWay& way : FState->Ways)
            if (way.Pipe.Read >= 0)
                (void)PipeClose(way.Pipe);
    }
}

void TRelayTunnel::Terminate() {
    FTerminate.store(true);
    // Not started yet: the loop sees the flag as it takes the tunnel.
    if (FStarted.load())
        FLoop->Hand(shared_from_this());
}

void TRelayTunnel::SetThrottle(int end, const TRelayThrottle& throttle) {
    FReadRate[end].store(throttle.ReadRate, std::memory_order_relaxed);
    FWriteRate[end].store(throttle.WriteRate, std::memory_order_relaxed);
    FThrottleRead[end].store(throttle.Read, std::memory_order_relaxed);
    FThrottleWrite[end].store(throttle.Write, std::memory_order_relaxed);
}

int64_t TRelayTunnel::EndBytes(int end) const {
    return FEndBytes[end].load(std::memory_order_relaxed);
}

std::shared_ptr<TRelayTunnel> MakeRelayTunnel(TRelayEnd a, TRelayEnd b, int bufferSize) {
    std::unique_ptr<TRelayTunnel> made;
    try {
        // Moving an end leaves its descriptor and registration in place for the close below.
        made.reset(new TRelayTunnel(std::move(a), std::move(b), bufferSize));
    } catch (...) {
        // Never made: the descriptors are still the caller's to close, which it cannot tell.
        for (TRelayEnd* end : {&a, &b}) {
            if (end->OwnConnection)
                UnregisterOwnConnection(end->Handle);
            SocketClose(end->Handle);
        }
        throw;
    }
    // Should sharing fail, the tunnel's destructor closes them.
    return std::shared_ptr<TRelayTunnel>(std::move(made));
}

bool RelayBriefly(const std::shared_ptr<TRelayTunnel>& tunnel) {
    return CallerLoop().Brief(*tunnel);
}

void StartRelay(const std::shared_ptr<TRelayTunnel>& tunnel, TRelayEndHook onEnd) {
    tunnel->FState->OnEnd = std::move(onEnd);
    if (tunnel->FState->BriefOver) {
        CallerLoop().EndBrief(*tunnel);
        return;
    }
    GLoopsMade.store(true);
    tunnel->FLoop = Loops().Next();
    tunnel->FStarted.store(true);
    tunnel->FLoop->Hand(tunnel);
}

int EpollAddExclusive(int epoll, TSocketHandle fd, uint64_t key) {
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLEXCLUSIVE;
    ev.data.u64 = key;
    int r = epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &ev);
    if (r != 0 && errno == EINVAL) {
        ev.events = EPOLLIN;
        r = epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &ev);
    }
    return r;
}

bool ListenOnRelayLoops(TRelayListener& listener) {
    if (!RelayLoopsAvailable())
        return false;
    GLoopsMade.store(true);
    Loops().ChangeListening(&listener, true);
    return true;
}

void StopListeningOnRelayLoops(TRelayListener& listener) {
    Loops().ChangeListening(&listener, false);
}

void WatchRelayListener(TRelayListener& listener, bool watch) {
    if (listener.FWatch.exchange(watch) != watch)
        Loops().FollowWatch();
}

bool RelayLoopsAvailable() {
    try {
        (void)Loops();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

size_t RelayTunnelCount() {
    return GLoopsMade.load() ? Loops().Count() : 0;
}

size_t RelayLoopCount() {
    try {
        return Loops().Size();
    } catch (const std::exception&) {
        return 0;
    }
}

} // namespace corvan
