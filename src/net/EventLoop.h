#pragma once
// Per-thread message loops and the objects that receive their messages.
//
// Every thread that needs one gets a TMessageLoop (created on first use): an epoll descriptor
// (woken through the process's one wake-up descriptor, armed in it), a timerfd for its timers
// made with the first timer, a FIFO of posted messages and the socket
// registrations of that thread. A TMailbox is bound to the loop of the thread that first
// needs its "mailbox" and gets a handle number that is never reused; PostToMailbox to a handle
// works from any thread, and a message for a handle that no longer exists is dropped.
//
// The loop keeps five guarantees, on which the socket layer rests:
//  1. each object receives its messages on one thread, one at a time (re-entrantly only
//     through an explicit nested ProcessMessages/HandleMessage inside a handler);
//  2. messages posted to one object are delivered in the order they were posted;
//  3. a MSG_SOCKET carries the socket handle it is about, and queued socket notifications of a
//     handle are purged when that handle is unregistered (a receiver also ignores a handle that
//     is no longer its own);
//  4. timer ticks are messages of the same loop, so they never run concurrently with socket
//     events;
//  5. a MSG_QUIT posted to any object of a thread (or TMessageLoop::Quit) ends that thread's
//     current wait.
//
// Socket notifications follow the Windows socket library's re-enabling rules (see WatchSocket) so
// that an idle or suspended socket costs nothing.
//
// Running the main loop: the headless program calls, before it starts any thread,
//     TMessageLoop::Main().WatchTerminationSignals([](int) { /* orderly shut-down */
//                                                           TMessageLoop::Main().Quit(); });
//     TMessageLoop::Main().Run();
// A GUI instead watches TMessageLoop::Main().Descriptor() (readable whenever a message, a
// timer tick, a socket or a hand-over job needs the loop) and calls ProcessMessages.

#include "util/EventSlot.h"
#include "util/Exceptions.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <thread>

namespace corvan {

class EMailbox : public Exception {
public:
    using Exception::Exception;
};

// Message numbers of the network layer.
constexpr uint32_t MSG_QUIT = 0x0012;
constexpr uint32_t MSG_TIMER = 0x0113;
constexpr uint32_t MSG_USER = 0x0400;
constexpr uint32_t MSG_HOSTLOOKUP_NAME = MSG_USER + 550;
constexpr uint32_t MSG_HOSTLOOKUP_ADDR = MSG_USER + 551;
constexpr uint32_t MSG_HOSTLOOKUP_CANCELLED = MSG_USER + 552;
constexpr uint32_t MSG_SOCKET = MSG_USER + 560;
constexpr uint32_t MSG_SERVER_CLIENT_DONE = MSG_USER + 570;

// Socket notification bits (low word of a MSG_SOCKET lParam; the high word is the error).
// What the registering code knows of a socket descriptor, so the system is not asked.
enum class TSocketOrigin : uint8_t {
    soUnknown,   // asked: connected, listening, pending error
    soAccepted,  // from accept: a connected stream socket, non-blocking
    soFresh,     // just made, non-blocking, not yet bound, connected or listening
    soConnected, // its own connect stood (told by a wait beside the loop): non-blocking
};

constexpr uint32_t READY_READ = 1;
constexpr uint32_t READY_WRITE = 2;
constexpr uint32_t READY_OOB = 4;
constexpr uint32_t READY_ACCEPT = 8;
constexpr uint32_t READY_CONNECT = 16;
constexpr uint32_t READY_CLOSE = 32;

inline intptr_t MakeSelectLParam(uint32_t events, int error) {
    return static_cast<intptr_t>((static_cast<uint32_t>(error) << 16) | (events & 0xFFFF));
}
inline uint32_t SelectEvents(intptr_t lParam) {
    return static_cast<uint32_t>(lParam) & 0xFFFF;
}
inline int SelectError(intptr_t lParam) {
    return static_cast<int>((static_cast<uint32_t>(lParam) >> 16) & 0xFFFF);
}

// Window handle numbers; 0 is none. Never reused within a process.
using TMailboxId = uint64_t;

struct TMessage {
    TMailboxId Handle = 0;
    uint32_t Msg = 0;
    uintptr_t WParam = 0;
    intptr_t LParam = 0;
};

// Posts to the handle's loop from any thread. False when the handle does not exist (the
// message is dropped).
bool PostToMailbox(TMailboxId handle, uint32_t msg, uintptr_t wParam, intptr_t lParam);
// As PostToMailbox, but the loop's thread is not woken for it: the message is dispatched with
// that thread's next wake-up, and at the latest maxDelayMs after it was posted. For
// bookkeeping that may wait, so that a busy thread's posts cost the loop no wake-up each.
bool PostToMailboxLazily(TMailboxId handle, uint32_t msg, uintptr_t wParam, intptr_t lParam,
                       int maxDelayMs);

enum class TWaitResult { wrMessage, wrTimeout, wrQuit };

class TMailbox;

// Remembers the thread that owns an object. In debug builds (NDEBUG not defined) Check aborts
// with a message naming what was done when called on any other thread; release builds only
// keep the answer of OnOwnerThread. Unbound, every thread is the owner.
class TThreadChecker {
public:
    // The calling thread becomes the owner.
    void Bind() noexcept { FOwner.store(std::this_thread::get_id(), std::memory_order_release); }
    void Unbind() noexcept { FOwner.store(std::thread::id(), std::memory_order_release); }
    bool OnOwnerThread() const noexcept {
        std::thread::id owner = FOwner.load(std::memory_order_acquire);
        return owner == std::thread::id() || owner == std::this_thread::get_id();
    }
    void Check(const char* what) const noexcept;

private:
    std::atomic<std::thread::id> FOwner{};
};

class TMessageLoop : public std::enable_shared_from_this<TMessageLoop> {
public:
    // The calling thread's loop, created on first use.
    static TMessageLoop& Current();
    static std::shared_ptr<TMessageLoop> CurrentShared();
    // The main thread's loop (the thread that ran static initialisation); usable from any thread.
    static TMessageLoop& Main();
    static bool IsMainThread();
    // A loop for a thread that does not run yet, made on the calling thread so that a lack of
    // descriptors shows before work is taken on for that thread (raises EMailbox "Window
    // handle allocation failed: <cause>"). The new thread calls Adopt before anything else.
    static std::shared_ptr<TMessageLoop> CreateForNewThread();
    // Makes loop (from CreateForNewThread) the calling thread's own; raises EMailbox when
    // the thread has a loop already.
    static void Adopt(std::shared_ptr<TMessageLoop> loop);

    TMessageLoop(const TMessageLoop&) = delete;
    TMessageLoop& operator=(const TMessageLoop&) = delete;
    ~TMessageLoop();

    bool IsOwnerThread() const;
    // The owner thread has ended (its mailboxes may then be destroyed on any thread).
    bool OwnerEnded() const;
    // One pollable descriptor: readable whenever a message, a due timer, a socket or a watched
    // descriptor needs the loop. A GUI watches it and calls ProcessMessages when it fires.
    int Descriptor() const { return FEpoll; }
    // Waits up to timeoutMs for Descriptor() to become readable, dispatching nothing.
    bool PollDescriptor(int timeoutMs) const;

    // --- any thread ---
    // Queues a message for a handle of this loop (PostToMailbox finds the loop for you).
    void Post(const TMessage& msg);
    // Queues a message without waking the owner at once (see PostToMailboxLazily). Where the
    // delay timer cannot be made the owner is woken as by Post.
    void PostLazily(const TMessage& msg, int maxDelayMs);
    // Ends the owner's current (or next) wait with wrQuit; Run returns.
    void Quit();
    // Synchronous hand-over: runs job on this loop's thread and waits for it; the job's
    // exception is re-raised in the caller. On the owner thread the job runs at once. Raises
    // EMailbox "Message loop ended" when the owner thread has gone.
    void RunSynchronous(const std::function<void()>& job);
    // Wakes hand-over waiters so that ServeJobsUntil re-checks its condition.
    void NotifyJobWaiters();

    // --- owner thread ---
    // Waits until one message (or hand-over job) has been dispatched, a quit arrives, or the
    // deadline (MonotonicMillis; negative = none) passes.
    TWaitResult WaitMessage(int64_t deadline = -1);
    // Dispatches one waiting message without blocking; answers whether there was one. A quit
    // message sets *quit (when given) and counts as a message.
    bool ProcessMessage(bool* quit = nullptr);
    // Dispatches everything waiting now, without blocking; true if a quit was met.
    bool ProcessMessages();
    // Dispatches the messages and jobs queued now without asking the system for socket and
    // timer readiness (for a thread between two connections, which holds neither); true if a
    // quit was met.
    bool ProcessQueued();
    // Waits up to timeoutMs (negative: no limit) for fd, which the loop does not watch, to be
    // readable (or to tell its end or a failure; events chooses what) or for the loop to need
    // its owner; what the loop then has is dispatched (ProcessMessages). Waits not at all
    // when the loop has work already. *ready (when given) tells what fd reported, 0 for none.
    // True if a quit was met.
    bool WaitDescriptorOrMessages(int fd, int timeoutMs, short events = POLLIN | POLLRDHUP,
                                  short* ready = nullptr);
    // The same for several descriptors at once (their revents tell what each reported; all 0
    // when none did).
    bool WaitDescriptorsOrMessages(pollfd* fds, int count, int timeoutMs);
    // Dispatches until Quit (or a posted MSG_QUIT).
    void Run();
    // Serves hand-over jobs only (no other messages) until done() holds; done is re-checked
    // whenever NotifyJobWaiters is called.
    void ServeJobsUntil(const std::function<bool()>& done);

    // --- timers (any thread) ---
    // Ticks MSG_TIMER (wParam 1) to the handle every interval; a tick not yet dispatched is not
    // queued twice. Setting again restarts with the new interval.
    void SetTimer(TMailboxId handle, uint32_t intervalMs);
    void KillTimer(TMailboxId handle);
    // Makes the timer descriptor now (it is otherwise made with the first timer), for an
    // object whose timer is needed when no descriptor may be left to make it.
    void PrepareTimers();

    // --- asynchronous sockets ---
    // Registers the descriptor: MSG_SOCKET messages with the selected FD_ bits go to handle.
    //  READY_READ/READY_ACCEPT: posted once when data (a connection) waits, then not again until the
    //    socket re-enables it with AsyncEnable (after recv/accept, or when posting READY_READ to
    //    itself).
    //  READY_WRITE: posted once when the socket is connected (at registration of a connected or
    //    datagram socket, or after READY_CONNECT), then only after AsyncEnable(READY_WRITE) (a send
    //    that would block) once the socket is writable again.
    //  READY_CONNECT: after AsyncEnable(READY_CONNECT) (connect started), once the connect completes,
    //    with SO_ERROR as the error.
    //  READY_CLOSE: posted by AsyncEnable(READY_CLOSE, error), which the socket calls when recv found
    //    the end of the stream or a reset; at most once per registration.
    // Events 0 unregisters. Registering a descriptor again replaces handle and events.
    // connectPending: a non-blocking connect was started before the registration; the first
    // notification is then READY_CONNECT even if the connect has completed meanwhile.
    // Each registration has its own key, never reused, which the kernel reports with its
    // events; a descriptor closed without UnwatchSocket and then reused by another socket
    // (registering that socket tells them apart) therefore passes nothing on to the new one:
    // the old registration and its queued notifications are dropped, and late kernel events
    // of the old socket are ignored.
    // Raises ESocketLib naming the failing call ("epoll_ctl failed: ...", the mapped errno as
    // ErrorCode); the descriptor is then not registered.
    // origin: what the caller knows of fd (see TSocketOrigin), which the system is then not
    // asked; such a descriptor is new, so what is still registered under its number is
    // dropped as closed, and the caller unregisters it before it closes it.
    void WatchSocket(int fd, TMailboxId handle, uint32_t events, bool connectPending = false,
                     TSocketOrigin origin = TSocketOrigin::soUnknown);
    // Unregisters and purges queued MSG_SOCKET messages of that descriptor. Call before close.
    // Never raises: a kernel entry that could not be deleted reports under a key no longer
    // known and is ignored.
    void UnwatchSocket(int fd);
    // Raises ESocketLib naming the call when the kernel refuses the new interest; the wanted
    // event stays recorded and the next AsyncEnable tries again. When re-arming fails while
    // the loop collects events, the socket gets the events it was waiting for with the mapped
    // error, so it acts and meets the failure in its own call.
    void AsyncEnable(int fd, uint32_t event, int error = 0);

    // --- other descriptors (owner thread callbacks) ---
    // Raises ESocketLib naming the call when the descriptor cannot be watched.
    void WatchDescriptor(int fd, std::function<void()> onReadable);
    void UnwatchDescriptor(int fd);
    // Blocks SIGINT, SIGTERM and SIGHUP (ControlSignalSet) in the calling thread and delivers
    // them through a signalfd on this loop: handler(signal number) runs on the owner thread;
    // without a handler, SIGINT and SIGTERM Quit and SIGHUP is taken and ignored.
    // Call on the main thread before other threads start (threads inherit the mask; threads
    // started with StartThread block them anyway).
    void WatchTerminationSignals(std::function<void(int)> handler = nullptr);

    // Drops the mailbox's timer and queued messages (TMailbox calls this on destruction).
    void ForgetMailbox(TMailboxId handle);

    // Messages dispatched to objects so far (diagnostics and tests).
    uint64_t DispatchCount() const { return FDispatchCount.load(std::memory_order_relaxed); }
    // Waits of this loop that returned with something ready (an idle loop keeps this still).
    uint64_t WakeCount() const { return FWakeCount.load(std::memory_order_relaxed); }
    // Returns from the system wait of every loop of the process, time-outs included: what an
    // idle process must keep still apart from the timers it runs.
    static uint64_t ProcessWakeCount();

    struct TImpl;

private:
    explicit TMessageLoop(std::thread::id owner);
    static std::shared_ptr<TMessageLoop> Create(std::thread::id owner);
    friend struct TLoopThreadHolder;
    void EndOwner();
    void Harvest(int timeoutMs);
    bool PopAndDispatch(bool* quit);
    bool RunOneJob();
    void WakeLocked(); // under TImpl::Lock
    void CreateTimerDescriptorLocked(); // under TImpl::Lock

    std::thread::id FOwner;
    int FEpoll = -1;
    int FTimerFd = -1; // created with the first timer; guarded by TImpl::Lock after that
    int FLazyFd = -1;  // the lazy posts' delay timer, made with the first; as FTimerFd
    std::unique_ptr<TImpl> FImpl;
    std::atomic<uint64_t> FDispatchCount{0};
    std::atomic<uint64_t> FWakeCount{0};
};

// Starts a thread with SIGINT, SIGTERM and SIGHUP blocked, so that these signals reach the
// main thread's signalfd.
std::thread StartThread(std::function<void()> body);

// An object that receives messages through a "mailbox" of the loop of the thread that first
// needs it. Non-copyable. Destroy it on that thread, or after that thread has ended. Debug
// builds assert both rules (and that messages are dispatched on that thread).
class TMailbox {
public:
    TMailbox();
    virtual ~TMailbox();
    TMailbox(const TMailbox&) = delete;
    TMailbox& operator=(const TMailbox&) = delete;

    // The mailbox, allocated on the calling thread's loop on first need.
    TMailboxId GetMailbox();
    TMailboxId Mailbox() const { return FMailbox.load(std::memory_order_acquire); }
    bool HasMailbox() const { return Mailbox() != 0; }
    // The loop serving the mailbox, or null before the mailbox exists.
    TMessageLoop* MailboxLoop() const { return FLoop.get(); }
    // Posts to the own mailbox (allocating it).
    bool PostToSelf(uint32_t msg, uintptr_t wParam, intptr_t lParam);

    // Sets Terminated; safe from any thread.
    virtual void Terminate();
    bool Terminated() const { return FTerminated.load(std::memory_order_acquire); }

    // Loop operations for objects that run on a thread of their own. ProcessMessage: one
    // waiting message, if not terminated (a quit sets Terminated); answers whether there was
    // one. HandleMessage: if not terminated, waits up to timeoutMs (negative = no limit) for
    // one message and dispatches it; false when terminated or a quit arrived.
    bool ProcessMessage();
    void ProcessMessages();
    bool HandleMessage(int timeoutMs = -1);

    TEventSlot<intptr_t(uint32_t msg, uintptr_t wParam, intptr_t lParam, bool& handled)>
        OnMessage;
    TEventSlot<void(TMailbox* sender, const std::exception& e)> OnException;
    TEventSlot<void(TMailbox* sender)> OnBeforeMessage;
    TEventSlot<void(TMailbox* sender)> OnAfterMessage;

    // One message through OnBeforeMessage, HandleLoopMessage (an exception goes to OnException and the
    // result is 0) and OnAfterMessage. Called by the loop.
    intptr_t DispatchMessage(const TMessage& msg);

protected:
    virtual void AllocateMailbox();
    virtual void DestroyMailbox();
    virtual intptr_t HandleLoopMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam);

private:
    std::atomic<TMailboxId> FMailbox{0};
    std::shared_ptr<TMessageLoop> FLoop;
    std::atomic<bool> FTerminated{false};
    TThreadChecker FOwnerCheck; // bound to the thread whose loop serves the mailbox
};

// A mailbox with one timer (identifier 1).
class TTimerHandle : public TMailbox {
public:
    TTimerHandle();
    ~TTimerHandle() override;

    uint32_t TimerInterval() const { return FTimerInterval; }
    // A new interval restarts a running timer.
    void SetTimerInterval(int intervalMs);
    bool TimerActive() const { return FTimerActive; }
    // Stores the flag; starts the timer only with an interval above 0 and when not loading.
    // Failure raises EMailbox "Timer allocation failed: %s".
    virtual void SetTimerActive(bool value);
    // While loading only the flag is stored; ending the load starts a timer stored as active.
    void SetLoading(bool loading);

    TEventSlot<void(TTimerHandle* sender)> OnTimer;

protected:
    virtual void TriggerTimer();
    intptr_t HandleLoopMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;
    void DestroyMailbox() override;

private:
    void StartTimer();
    int FTimerInterval = 1000;
    bool FTimerActive = false;
    bool FTimerRunning = false;
    bool FLoading = false;
};

// A thread object: Execute runs on a new thread; Synchronize hands a job to the main thread and
// waits; WaitFor on the main thread keeps serving such hand-overs so a thread that is handing
// over at that moment can finish.
//
// Stopping. Execute belongs to the derived class, so the thread must be stopped before the
// derived part is destroyed; a base destructor comes too late (the derived members are gone
// and Terminate no longer reaches the derived override). Objects are therefore made only by
// Create, whose object is a final wrapper that calls Stop() in its destructor while the whole
// object still exists. A class derived from TThread stays abstract (a private pure function
// only the wrapper can complete), so it cannot be made any other way and cannot be left
// running. The base destructor only joins a thread that nobody started stopping, without
// calling any virtual function (never the case through Create).
//
// Exceptions. An exception escaping Execute ends the thread; it is written to stderr as
// "Thread ended by exception: <text>" and kept as ExceptionMessage().
class TThread {
    struct TStopKey {}; // only TThread and its wrapper can name it
    template <class T> class TStopping;

public:
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Makes a T (derived from TThread) with args, not yet started. Destroying it stops it.
    template <class T, class... A> static std::unique_ptr<T> Create(A&&... args) {
        return std::make_unique<TStopping<T>>(std::forward<A>(args)...);
    }

    // The stack of the thread Start makes, in bytes (raised to the system's minimum); 0, the
    // default, is the system's default. Set before Start.
    void SetStackSize(size_t bytes) { FStackSize = bytes; }
    // Start once the object is complete (the new thread calls Execute at once). Raises
    // EMailbox "Thread creation failed: <cause>" when the system makes no thread.
    void Start();
    // Sets Terminated; derived classes add what wakes Execute (call the base too).
    virtual void Terminate() { FTerminated.store(true, std::memory_order_release); }
    bool Terminated() const { return FTerminated.load(std::memory_order_acquire); }
    bool Finished() const { return FFinished.load(std::memory_order_acquire); }
    // Joins (no-op if never started or already joined).
    void WaitFor();
    void Stop() {
        Terminate();
        WaitFor();
    }
    void Synchronize(const std::function<void()>& job) { TMessageLoop::Main().RunSynchronous(job); }
    // The text of the exception that ended Execute ("Unknown exception" for one not derived
    // from std::exception); empty when Execute returned. Read it once Finished() holds.
    const std::string& ExceptionMessage() const { return FExceptionMessage; }

protected:
    TThread() = default;
    virtual void Execute() = 0;

private:
    virtual void StopsOnDestruction(TStopKey) = 0;
    static void* Run(void* self);
    pthread_t FHandle{};
    bool FJoinable = false; // started and not yet joined (the starting thread's view)
    size_t FStackSize = 0;
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFinished{false};
    std::string FExceptionMessage; // written by the thread before FFinished is set
};

template <class T> class TThread::TStopping final : public T {
public:
    template <class... A> explicit TStopping(A&&... args) : T(std::forward<A>(args)...) {}
    ~TStopping() override { this->Stop(); }

private:
    void StopsOnDestruction(TStopKey) override {}
};

// Waits until done() holds, checked with mutex held. On the main thread it serves hand-over
// jobs meanwhile (the thread waited for may be handing one over), and whoever makes done true
// calls the main loop's NotifyJobWaiters; on any other thread it waits on changed, which that
// one notifies.
void WaitServingJobs(std::mutex& mutex, std::condition_variable& changed,
                     const std::function<bool()>& done);

} // namespace corvan
