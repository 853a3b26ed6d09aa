#include "net/EventLoop.h"

#include "net/SocketLib.h"
#include "util/Fifo.h"
#include "util/StopSignal.h"
#include "util/Ticks.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <exception>
#include <map>
#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace corvan {

namespace {

// Static initialisation runs on the main thread, before main.
const std::thread::id GMainThreadId = std::this_thread::get_id();

// Dispatch a message without harvesting readiness at most this often, so a loop flooded with
// posted messages still serves its sockets and timers.
constexpr int kMaxDispatchWithoutHarvest = 32;
constexpr int kMaxEpollEvents = 64;

struct TMailboxEntry {
    TMailbox* Object;
    std::shared_ptr<TMessageLoop> Loop;
};

// MailboxRegistryLock: guards the map from handle numbers to live mailboxes. Leaked so that
// mailboxes destroyed during static destruction still find it. Lock order: a leaf; nothing is
// taken while holding it (TMessageLoop::TImpl::Lock only after releasing it).
struct TMailboxRegistry {
    std::mutex MailboxRegistryLock;
    std::unordered_map<TMailboxId, TMailboxEntry> Mailboxes;
    std::atomic<TMailboxId> NextHandle{1};
};
TMailboxRegistry& Registry() {
    static TMailboxRegistry* r = new TMailboxRegistry;
    return *r;
}

std::shared_ptr<TMessageLoop> FindLoop(TMailboxId handle) {
    TMailboxRegistry& r = Registry();
    std::lock_guard<std::mutex> lock(r.MailboxRegistryLock);
    auto it = r.Mailboxes.find(handle);
    return it == r.Mailboxes.end() ? nullptr : it->second.Loop;
}

struct TJob {
    std::function<void()> Fn;
    // M: guards Done and Error. A leaf: taken while holding nothing else.
    std::mutex M;
    std::condition_variable Cond;
    bool Done = false; // guarded by M
    std::exception_ptr Error;
};

// Keys the kernel reports with each event (epoll_event.data.u64). The loop's own descriptors
// have fixed keys; every socket registration and watch gets the next key of its loop, never
// reused, so an event of a descriptor that was closed and whose number was taken again can
// never be taken for the new one's.
constexpr uint64_t kEventFdKey = 1;
constexpr uint64_t kTimerFdKey = 2;
constexpr uint64_t kLazyFdKey = 3;
constexpr uint64_t kFirstRegistrationKey = 4;

// A failed system call of the loop: the network layer's error with the mapped errno, naming
// the call.
[[noreturn]] void RaiseCallFailed(const char* call) {
    int code = SocketSetLastErrorFromErrno();
    throw ESocketLib(std::string(call) + " failed", code);
}

// The wake-up of every loop: one descriptor of the process that is always readable. Each loop
// holds it in its epoll set disarmed (one-shot, no events); waking a loop arms it there, so the
// loop's wait returns (at once when it is not waiting yet), and reporting it disarms it again.
// A loop thus needs no wake-up descriptor of its own (a connection thread holds its epoll set
// and its sockets only), and a wake-up costs the waker one call and the woken loop none.
// Made once and kept for the process's life (close-on-exec).
int SharedWakeDescriptor() {
    static const int fd = [] {
        int made = ::eventfd(1, EFD_NONBLOCK | EFD_CLOEXEC); // count 1, never read
        if (made < 0)
            throw EMailbox(std::string("Mailbox allocation failed: ") +
                                std::strerror(errno));
        return made;
    }();
    return fd;
}

// Level-triggered readability of a descriptor the loop owns or watches.
void WatchReadable(int epoll, int fd, uint64_t key) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = key;
    if (::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &ev) != 0)
        RaiseCallFailed("epoll_ctl");
}

// Takes fd out of the epoll set. A descriptor already closed (EBADF), or whose number now
// names another file (ENOENT), is out of it already as far as this number goes; any entry
// the old file left behind reports under a key no longer known. Answers false only for other
// failures, with errno set.
bool EpollDelete(int epoll, int fd) {
    epoll_event e{};
    return ::epoll_ctl(epoll, EPOLL_CTL_DEL, fd, &e) == 0 || errno == EBADF || errno == ENOENT;
}

void FinishJob(TJob& job, std::exception_ptr error) {
    std::lock_guard<std::mutex> lock(job.M);
    job.Error = std::move(error);
    job.Done = true;
    job.Cond.notify_all();
}

} // namespace

struct TMessageLoop::TImpl {
    struct TTimer {
        uint32_t Interval;
        int64_t Due;
        bool Pending;
    };
    struct TSocketReg {
        int Fd = -1;
        uint64_t Key = 0;
        // The socket the descriptor named when registered: a different one under the same
        // number means the registered one was closed without UnwatchSocket. Not asked for a
        // descriptor its registering code made just now (Known): that code unregisters it
        // before it closes it.
        dev_t Dev = 0;
        ino_t Ino = 0;
        bool Known = false;
        TMailboxId Handle = 0;
        uint32_t Events = 0;
        bool ReadArmed = false; // READY_READ or READY_ACCEPT wanted
        bool Listening = false;
        bool WriteArmed = false;
        bool ConnectArmed = false;
        bool ClosePosted = false;
        bool InEpoll = false;
        uint32_t Armed = 0; // epoll mask currently armed (one-shot)
    };

    // Lock: guards everything below. Lock order: nothing is taken while holding it
    // (PopAndDispatch releases it before MailboxRegistryLock, FinishJob runs outside it)
    // but a ServeJobsUntil condition's lock, which must be a leaf under which no loop's Lock
    // is taken. It may be taken while holding a socket's or a client's lock
    // (ClientSocketLock, FSocketLock, FHandleLock). Callbacks and dispatches run without it.
    std::mutex Lock;
    TFifo<TMessage> Queue; // no memory until the first message
    std::list<std::shared_ptr<TJob>> Jobs; // a list: empty on client threads, and then no memory
    std::condition_variable JobsCond; // jobs arrived or NotifyJobWaiters
    std::map<TMailboxId, TTimer> Timers;
    int64_t ArmedDue = -1;
    std::unordered_map<uint64_t, TSocketReg> Sockets; // by key
    std::unordered_map<int, uint64_t> SocketKeys;     // descriptor to its registration's key
    std::unordered_map<uint64_t, std::shared_ptr<std::function<void()>>> Watchers; // by key
    std::unordered_map<int, uint64_t> WatcherKeys;
    uint64_t NextKey = kFirstRegistrationKey;
    // Registrations whose events the last harvest reported and that want interest again
    // (RearmOwed); kept for the next one, so its storage stays.
    std::vector<uint64_t> RearmKeys;
    std::vector<int> OwnedFds;
    bool Ended = false;
    bool Closed = false; // the loop is being destroyed: nothing is armed in FEpoll any more
    // Every message in Queue was posted lazily (the owner may be asleep with them), and the
    // lazy delay timer is running.
    bool LazyOnly = false;
    bool LazyArmed = false;
    int64_t LazyDue = 0; // MonotonicMillis the delay timer fires at, while LazyArmed
    // Owner thread only.
    int SinceHarvest = 0;

    // A client thread's loop serves two sockets: room for them, where a first insertion would
    // take 13 buckets in each table.
    TImpl() {
        Sockets.reserve(2);
        SocketKeys.reserve(2);
    }

    // Arms the timerfd for the earliest tick not yet queued (Lock held).
    void ArmTimer(int timerFd) {
        int64_t due = -1;
        for (auto& [handle, t] : Timers)
            if (!t.Pending && (due < 0 || t.Due < due))
                due = t.Due;
        if (due == ArmedDue || timerFd < 0)
            return;
        itimerspec expiry{};
        if (due >= 0) {
            int64_t at = std::max<int64_t>(due, 1);
            expiry.it_value.tv_sec = at / 1000;
            expiry.it_value.tv_nsec = (at % 1000) * 1000000;
        }
        if (::timerfd_settime(timerFd, TFD_TIMER_ABSTIME, &expiry, nullptr) != 0)
            RaiseCallFailed("timerfd_settime"); // ArmedDue unchanged: the next pass retries
        ArmedDue = due;
    }

    // Brings the kernel's interest in line with the registration's armed flags. Raises on
    // failure, leaving Armed and InEpoll as the kernel has them, so a later call retries.
    void Rearm(int epoll, TSocketReg& reg) {
        uint32_t want = (reg.ReadArmed ? uint32_t(EPOLLIN | EPOLLRDHUP) : 0u) |
                        (reg.WriteArmed || reg.ConnectArmed ? uint32_t(EPOLLOUT) : 0u);
        if (want == reg.Armed)
            return;
        if (want == 0) {
            // A one-shot entry with no events would still report errors and hang-ups.
            if (reg.InEpoll && !EpollDelete(epoll, reg.Fd))
                RaiseCallFailed("epoll_ctl");
            reg.InEpoll = false;
        } else {
            epoll_event e{};
            e.events = want | EPOLLONESHOT;
            e.data.u64 = reg.Key;
            int r = ::epoll_ctl(epoll, reg.InEpoll ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, reg.Fd, &e);
            // A socket registered here before and dropped while its entry was disabled (see
            // DropSocket) still has that entry: it takes the new interest.
            if (r != 0 && !reg.InEpoll && errno == EEXIST)
                r = ::epoll_ctl(epoll, EPOLL_CTL_MOD, reg.Fd, &e);
            if (r != 0)
                RaiseCallFailed("epoll_ctl");
            reg.InEpoll = true;
        }
        reg.Armed = want;
    }

    // The interest a registration wants back after its events were reported (Lock held):
    // re-armed here, or, when the kernel refuses, the socket gets what it waited for with the
    // error and meets the failure in its own next call (AsyncEnable raises naming epoll_ctl).
    // Raising would end the wait of every socket of this loop.
    void RearmReported(int epoll, TSocketReg& reg) {
        uint32_t want = (reg.ReadArmed ? uint32_t(EPOLLIN | EPOLLRDHUP) : 0u) |
                        (reg.WriteArmed || reg.ConnectArmed ? uint32_t(EPOLLOUT) : 0u);
        if (!want || want == reg.Armed)
            return;
        epoll_event e{};
        e.events = want | EPOLLONESHOT;
        e.data.u64 = reg.Key;
        if (::epoll_ctl(epoll, EPOLL_CTL_MOD, reg.Fd, &e) == 0) {
            reg.Armed = want;
            return;
        }
        int error = SocketSetLastErrorFromErrno();
        auto post = [&](uint32_t event) {
            if (reg.Events & event)
                Queue.push_back(TMessage{reg.Handle, MSG_SOCKET, static_cast<uintptr_t>(reg.Fd),
                                         MakeSelectLParam(event, error)});
        };
        if (reg.ConnectArmed)
            post(READY_CONNECT);
        if (reg.ReadArmed)
            post(reg.Listening ? READY_ACCEPT : READY_READ);
        if (reg.WriteArmed)
            post(READY_WRITE);
        reg.ReadArmed = reg.WriteArmed = reg.ConnectArmed = false;
    }

    // Re-arms what the last harvest left to re-arm (Lock held), before the loop waits again
    // (served from outside, before it dispatches: a handler may wait). Left until then, a
    // socket handed on or closed after its event (a connect that completed, say) costs no
    // call to re-arm it and none to take it out.
    void RearmOwed(int epoll) {
        for (uint64_t key : RearmKeys)
            if (auto it = Sockets.find(key); it != Sockets.end())
                RearmReported(epoll, it->second);
        RearmKeys.clear();
    }

    // Forgets the registration with its queued notifications (Lock held). Never raises: a
    // kernel entry left behind reports under a key no longer known.
    void DropSocket(int epoll, uint64_t key) {
        auto it = Sockets.find(key);
        if (it == Sockets.end())
            return;
        TSocketReg& reg = it->second;
        // A one-shot entry that has reported and was not re-armed is disabled: it reports
        // nothing more and goes with its socket's close (or takes the interest of a later
        // registration of the same socket, see Rearm).
        if (reg.InEpoll && reg.Armed != 0)
            EpollDelete(epoll, reg.Fd); // a failure leaves only an entry with a dead key
        int fd = reg.Fd;
        TMailboxId handle = reg.Handle;
        if (auto k = SocketKeys.find(fd); k != SocketKeys.end() && k->second == key)
            SocketKeys.erase(k);
        Sockets.erase(it);
        Queue.erase(std::remove_if(Queue.begin(), Queue.end(),
                                   [&](const TMessage& m) {
                                       return m.Handle == handle && m.Msg == MSG_SOCKET &&
                                              m.WParam == static_cast<uintptr_t>(fd);
                                   }),
                    Queue.end());
    }
};

struct TLoopThreadHolder {
    std::shared_ptr<TMessageLoop> Loop;
    ~TLoopThreadHolder() {
        if (Loop)
            Loop->EndOwner();
    }
};

namespace {
thread_local TLoopThreadHolder tlLoop;

// MainLoopLock: guards GMainLoop creation. Taken while holding no other lock; nothing is
// taken under it but the allocation of the main loop.
std::mutex MainLoopLock;
std::shared_ptr<TMessageLoop>* GMainLoop = nullptr;
} // namespace

TMessageLoop::TMessageLoop(std::thread::id owner)
    : FOwner(owner), FImpl(std::make_unique<TImpl>()) {
    int wake = SharedWakeDescriptor();
    FEpoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (FEpoll < 0)
        throw EMailbox(std::string("Mailbox allocation failed: ") +
                            std::strerror(errno));
    epoll_event disarmed{};
    disarmed.events = EPOLLONESHOT;
    disarmed.data.u64 = kEventFdKey;
    if (::epoll_ctl(FEpoll, EPOLL_CTL_ADD, wake, &disarmed) != 0) {
        // A loop whose wake-ups are never seen would hang every wait on it.
        std::string text = std::strerror(errno);
        ::close(FEpoll);
        throw EMailbox("Mailbox allocation failed: " + text);
    }
}

std::shared_ptr<TMessageLoop> TMessageLoop::Create(std::thread::id owner) {
    return std::shared_ptr<TMessageLoop>(new TMessageLoop(owner));
}

TMessageLoop::~TMessageLoop() {
    {
        // Waits for a post still waking the loop; later ones leave the descriptors alone.
        std::lock_guard<std::mutex> lock(FImpl->Lock);
        FImpl->Closed = true;
    }
    for (int fd : FImpl->OwnedFds)
        ::close(fd);
    if (FTimerFd >= 0)
        ::close(FTimerFd);
    if (FLazyFd >= 0)
        ::close(FLazyFd);
    ::close(FEpoll);
}

bool TMessageLoop::IsMainThread() {
    return std::this_thread::get_id() == GMainThreadId;
}

TMessageLoop& TMessageLoop::Main() {
    std::lock_guard<std::mutex> lock(MainLoopLock);
    if (!GMainLoop)
        GMainLoop = new std::shared_ptr<TMessageLoop>(Create(GMainThreadId));
    return **GMainLoop;
}

std::shared_ptr<TMessageLoop> TMessageLoop::CurrentShared() {
    if (!tlLoop.Loop)
        tlLoop.Loop =
            IsMainThread() ? Main().shared_from_this() : Create(std::this_thread::get_id());
    return tlLoop.Loop;
}

std::shared_ptr<TMessageLoop> TMessageLoop::CreateForNewThread() {
    return Create(std::thread::id()); // owned by no thread until adopted
}

void TMessageLoop::Adopt(std::shared_ptr<TMessageLoop> loop) {
    if (tlLoop.Loop)
        throw EMailbox("Thread has a message loop already");
    // Nothing else refers to the loop yet: its maker handed it over before this thread began.
    loop->FOwner = std::this_thread::get_id();
    tlLoop.Loop = std::move(loop);
}

TMessageLoop& TMessageLoop::Current() {
    return *CurrentShared();
}

bool TMessageLoop::IsOwnerThread() const {
    return std::this_thread::get_id() == FOwner;
}

bool TMessageLoop::OwnerEnded() const {
    std::lock_guard<std::mutex> lock(FImpl->Lock);
    return FImpl->Ended;
}

bool TMessageLoop::PollDescriptor(int timeoutMs) const {
    pollfd p{FEpoll, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}

void TMessageLoop::WakeLocked() {
    // The destructor closes FEpoll under the lock after marking the loop closed: a post that
    // ends the owner thread (and so the loop) is done with the loop when it lets the lock go,
    // and never arms the wake-up in a descriptor closed, or reused by some other loop.
    if (FImpl->Closed)
        return;
    epoll_event armed{};
    armed.events = EPOLLIN | EPOLLONESHOT;
    armed.data.u64 = kEventFdKey;
    // Cannot fail on a live epoll set registered with the wake-up descriptor.
    [[maybe_unused]] int r = ::epoll_ctl(FEpoll, EPOLL_CTL_MOD, SharedWakeDescriptor(), &armed);
}

void TMessageLoop::Post(const TMessage& msg) {
    bool wasEmpty;
    {
        std::lock_guard<std::mutex> lock(FImpl->Lock);
        // Lazily posted messages may be waiting with the owner asleep.
        wasEmpty = FImpl->Queue.empty() || FImpl->LazyOnly;
        FImpl->LazyOnly = false;
        FImpl->Queue.push_back(msg);
        // The owner sleeps only after finding the queue empty, so waking on the first
        // message is enough.
        if (wasEmpty)
            WakeLocked();
    }
}

void TMessageLoop::PostLazily(const TMessage& msg, int maxDelayMs) {
    int64_t due = MonotonicMillis() + std::max(maxDelayMs, 1);
    {
        std::lock_guard<std::mutex> lock(FImpl->Lock);
        TImpl& m = *FImpl;
        if (m.Queue.empty())
            m.LazyOnly = true;
        m.Queue.push_back(msg);
        if (m.Closed)
            return; // the loop goes: no timer is made in its epoll set
        // A running delay that ends later is brought forward: the whole queue goes then.
        if (m.LazyArmed && due >= m.LazyDue)
            return;
        if (FLazyFd < 0) {
            int made = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
            if (made >= 0) {
                try {
                    WatchReadable(FEpoll, made, kLazyFdKey);
                    FLazyFd = made;
                } catch (const ESocketLib&) {
                    ::close(made);
                }
            }
        }
        itimerspec expiry{};
        expiry.it_value.tv_sec = due / 1000;
        expiry.it_value.tv_nsec = static_cast<long>(due % 1000) * 1000000;
        // Armed under the lock, so that the timer always holds the earliest delay.
        m.LazyArmed =
            FLazyFd >= 0 && ::timerfd_settime(FLazyFd, TFD_TIMER_ABSTIME, &expiry, nullptr) == 0;
        m.LazyDue = due;
        if (m.LazyArmed)
            return;
        m.LazyOnly = false;
        WakeLocked(); // no delay timer: the message must not wait for a wake-up that may never come
    }
}

void TMessageLoop::Quit() {
    Post(TMessage{0, MSG_QUIT, 0, 0});
}

bool PostToMailbox(TMailboxId handle, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    std::shared_ptr<TMessageLoop> loop = FindLoop(handle);
    if (!loop)
        return false;
    loop->Post(TMessage{handle, msg, wParam, lParam});
    return true;
}

bool PostToMailboxLazily(TMailboxId handle, uint32_t msg, uintptr_t wParam, intptr_t lParam,
                       int maxDelayMs) {
    std::shared_ptr<TMessageLoop> loop = FindLoop(handle);
    if (!loop)
        return false;
    loop->PostLazily(TMessage{handle, msg, wParam, lParam}, maxDelayMs);
    return true;
}

void TMessageLoop::RunSynchronous(const std::function<void()>& fn) {
    if (IsOwnerThread()) {
        fn();
        return;
    }
    auto job = std::make_shared<TJob>();
    job->Fn = fn;
    {
        std::lock_guard<std::mutex> lock(FImpl->Lock);
        if (FImpl->Ended)
            throw EMailbox("Message loop ended");
        FImpl->Jobs.push_back(job);
        FImpl->JobsCond.notify_all();
        WakeLocked();
    }
    std::unique_lock<std::mutex> lock(job->M);
    job->Cond.wait(lock, [&] { return job->Done; });
    // Taken out of the job: the failure is freed by this thread, which reads it, however late
    // the loop's thread lets go of the job.
    if (std::exception_ptr error = std::move(job->Error))
        std::rethrow_exception(error);
}

void TMessageLoop::NotifyJobWaiters() {
    { std::lock_guard<std::mutex> lock(FImpl->Lock); }
    FImpl->JobsCond.notify_all();
}

bool TMessageLoop::RunOneJob() {
    std::shared_ptr<TJob> job;
    {
        std::lock_guard<std::mutex> lock(FImpl->Lock);
        if (FImpl->Jobs.empty())
            return false;
        job = std::move(FImpl->Jobs.front());
        FImpl->Jobs.pop_front();
    }
    std::exception_ptr error;
    try {
        job->Fn();
    } catch (...) {
        error = std::current_exception();
    }
    // Handed over, not shared: the waiting thread holds the failure's last reference.
    FinishJob(*job, std::move(error));
    return true;
}

void TMessageLoop::ServeJobsUntil(const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(FImpl->Lock);
    for (;;) {
        if (done())
            return;
        if (!FImpl->Jobs.empty()) {
            lock.unlock();
            RunOneJob();
            lock.lock();
            continue;
        }
        FImpl->JobsCond.wait(lock);
    }
}

void TMessageLoop::EndOwner() {
    std::list<std::shared_ptr<TJob>> jobs;
    {
        std::lock_guard<std::mutex> lock(FImpl->Lock);
        FImpl->Ended = true;
        jobs.swap(FImpl->Jobs);
    }
    for (auto& job : jobs)
        FinishJob(*job, std::make_exception_ptr(EMailbox("Message loop ended")));
}

bool TMessageLoop::PopAndDispatch(bool* quit) {
    TMessage msg;
    {
        std::lock_guard<std::mutex> lock(FImpl->Lock);
        if (FImpl->Queue.empty())
            return false;
        msg = FImpl->Queue.front();
        FImpl->Queue.pop_front();
        if (FImpl->Queue.empty())
            FImpl->LazyOnly = false;
        if (msg.Msg == MSG_TIMER) {
            auto it = FImpl->Timers.find(msg.Handle);
            if (it != FImpl->Timers.end())
                it->second.Pending = false;
        }
    }
    if (msg.Msg == MSG_QUIT) {
        if (quit)
            *quit = true;
        return true;
    }
    TMailbox* object = nullptr;
    {
        TMailboxRegistry& r = Registry();
        std::lock_guard<std::mutex> lock(r.MailboxRegistryLock);
        auto it = r.Mailboxes.find(msg.Handle);
        if (it != r.Mailboxes.end() && it->second.Loop.get() == this)
            object = it->second.Object;
    }
    if (object) {
        FDispatchCount.fetch_add(1, std::memory_order_relaxed);
        object->DispatchMessage(msg);
    }
    return true;
}

namespace {
std::atomic<uint64_t>& ProcessWakes() {
    static std::atomic<uint64_t> wakes{0};
    return wakes;
}
} // namespace

uint64_t TMessageLoop::ProcessWakeCount() {
    return ProcessWakes().load(std::memory_order_relaxed);
}

void TMessageLoop::Harvest(int timeoutMs) {
    TImpl& m = *FImpl;
    {
        std::lock_guard<std::mutex> lock(m.Lock);
        m.RearmOwed(FEpoll);
        if (!m.Queue.empty())
            timeoutMs = 0; // a refused re-arm posted the socket's events: no sleeping on them
        m.ArmTimer(FTimerFd);
    }
    epoll_event events[kMaxEpollEvents];
    int n = ::epoll_wait(FEpoll, events, kMaxEpollEvents, timeoutMs);
    if (timeoutMs != 0) // a poll without sleeping is no wake-up
        ProcessWakes().fetch_add(1, std::memory_order_relaxed);
    if (n < 0) {
        if (errno != EINTR)
            RaiseCallFailed("epoll_wait");
        n = 0; // the caller re-checks its deadline
    }
    if (n > 0)
        FWakeCount.fetch_add(1, std::memory_order_relaxed);
    std::vector<std::shared_ptr<std::function<void()>>> callbacks;
    {
        std::lock_guard<std::mutex> lock(m.Lock);
        for (int i = 0; i < n; ++i) {
            uint64_t key = events[i].data.u64;
            uint32_t ev = events[i].events;
            if (key == kEventFdKey)
                continue; // the wake-up: reporting it disarmed it, nothing to read
            if (key == kTimerFdKey || key == kLazyFdKey) {
                int own = key == kTimerFdKey ? FTimerFd : FLazyFd;
                uint64_t v;
                // Nothing to read is a spurious wake-up; the state is re-checked anyway.
                [[maybe_unused]] ssize_t r = ::read(own, &v, sizeof v);
                if (key == kTimerFdKey)
                    m.ArmedDue = -1;
                if (key == kLazyFdKey)
                    m.LazyArmed = false;
                continue;
            }
            if (auto w = m.Watchers.find(key); w != m.Watchers.end()) {
                callbacks.push_back(w->second);
                continue;
            }
            auto it = m.Sockets.find(key);
            if (it == m.Sockets.end())
                continue; // a registration removed (or its descriptor reused) since
            TImpl::TSocketReg& reg = it->second;
            int fd = reg.Fd;
            reg.Armed = 0; // one-shot: disarmed until re-armed below
            auto post = [&](uint32_t event, int error) {
                if (reg.Events & event)
                    m.Queue.push_back(TMessage{reg.Handle, MSG_SOCKET, static_cast<uintptr_t>(fd),
                                               MakeSelectLParam(event, error)});
            };
            if (reg.ConnectArmed && (ev & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
                reg.ConnectArmed = false;
                int error = ConnectOutcome(fd, (ev & (EPOLLERR | EPOLLHUP)) != 0);
                post(READY_CONNECT, error);
                if (error == 0) {
                    post(READY_WRITE, 0);
                    reg.ReadArmed = (reg.Events & READY_READ) != 0;
                }
            } else {
                if (reg.ReadArmed && (ev & (EPOLLIN | EPOLLRDHUP | EPOLLERR | EPOLLHUP))) {
                    reg.ReadArmed = false;
                    post(reg.Listening ? READY_ACCEPT : READY_READ, 0);
                }
                if (reg.WriteArmed && (ev & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
                    reg.WriteArmed = false;
                    post(READY_WRITE, 0);
                }
            }
            if (reg.ReadArmed || reg.WriteArmed || reg.ConnectArmed)
                m.RearmKeys.push_back(key); // before the next wait
        }
        int64_t now = MonotonicMillis();
        for (auto& [handle, t] : m.Timers)
            if (!t.Pending && t.Due <= now) {
                t.Pending = true;
                t.Due = now + t.Interval;
                m.Queue.push_back(TMessage{handle, MSG_TIMER, 1, 0});
            }
        // Armed again before returning, so an outside poller of Descriptor() sees the next tick.
        m.ArmTimer(FTimerFd);
    }
    for (auto& cb : callbacks)
        (*cb)();
}

TWaitResult TMessageLoop::WaitMessage(int64_t deadline) {
    for (;;) {
        if (RunOneJob())
            return TWaitResult::wrMessage;
        if (FImpl->SinceHarvest >= kMaxDispatchWithoutHarvest) {
            FImpl->SinceHarvest = 0;
            Harvest(0);
        }
        bool quit = false;
        if (PopAndDispatch(&quit)) {
            ++FImpl->SinceHarvest;
            return quit ? TWaitResult::wrQuit : TWaitResult::wrMessage;
        }
        int timeout = -1;
        if (deadline >= 0) {
            int64_t now = MonotonicMillis();
            if (now >= deadline)
                return TWaitResult::wrTimeout;
            timeout = static_cast<int>(std::min<int64_t>(deadline - now, INT_MAX));
        }
        FImpl->SinceHarvest = 0;
        Harvest(timeout);
    }
}

bool TMessageLoop::ProcessMessage(bool* quit) {
    if (RunOneJob())
        return true;
    bool empty;
    {
        std::lock_guard<std::mutex> lock(FImpl->Lock);
        empty = FImpl->Queue.empty();
    }
    if (empty || FImpl->SinceHarvest >= kMaxDispatchWithoutHarvest) {
        FImpl->SinceHarvest = 0;
        Harvest(0);
        // Armed before dispatching: a handler may itself wait on Descriptor() (a modal box),
        // and must hear the interest this harvest left to re-arm.
        std::lock_guard<std::mutex> lock(FImpl->Lock);
        FImpl->RearmOwed(FEpoll);
    }
    if (PopAndDispatch(quit)) {
        ++FImpl->SinceHarvest;
        return true;
    }
    return false;
}

bool TMessageLoop::ProcessMessages() {
    bool quit = false;
    while (!quit && ProcessMessage(&quit)) {
    }
    // An outside poller of Descriptor() waits next: what the last harvest owes is armed.
    std::lock_guard<std::mutex> lock(FImpl->Lock);
    size_t queued = FImpl->Queue.size();
    FImpl->RearmOwed(FEpoll);
    if (FImpl->Queue.size() > queued)
        WakeLocked(); // a refused re-arm posted its socket's events: the poller must hear them
    return quit;
}

bool TMessageLoop::WaitDescriptorOrMessages(int fd, int timeoutMs, short events, short* ready) {
    pollfd one{fd, events, 0};
    bool quit = WaitDescriptorsOrMessages(&one, 1, timeoutMs);
    if (ready)
        *ready = one.revents;
    return quit;
}

bool TMessageLoop::WaitDescriptorsOrMessages(pollfd* fds, int count, int timeoutMs) {
    constexpr int kMost = 4;
    if (count < 1 || count > kMost)
        throw EMailbox("Too many descriptors to wait on");
    for (int i = 0; i < count; ++i)
        fds[i].revents = 0;
    bool idle;
    {
        // As before the loop's own wait: the interest the last harvest owes is armed first.
        std::lock_guard<std::mutex> lock(FImpl->Lock);
        FImpl->RearmOwed(FEpoll);
        // A tick dispatched since the last harvest left its timer unarmed.
        FImpl->ArmTimer(FTimerFd);
        idle = FImpl->Queue.empty() && FImpl->Jobs.empty();
    }
    if (idle) {
        pollfd all[kMost + 1];
        std::copy(fds, fds + count, all);
        all[count] = {FEpoll, POLLIN, 0};
        int r = ::poll(all, count + 1, timeoutMs);
        if (r > 0)
            for (int i = 0; i < count; ++i)
                fds[i].revents = all[i].revents;
        if (r <= 0 || !(all[count].revents & POLLIN))
            return false; // a descriptor is ready, or the time is up: nothing for the loop
    }
    return ProcessMessages();
}

bool TMessageLoop::ProcessQueued() {
    bool quit = false;
    while (!quit && (RunOneJob() || PopAndDispatch(&quit))) {
    }
    return quit;
}

void TMessageLoop::Run() {
    while (WaitMessage(-1) != TWaitResult::wrQuit) {
    }
}

void TMessageLoop::CreateTimerDescriptorLocked() {
    if (FTimerFd >= 0)
        return;
    // Created on the first timer: a loop per connection thread stays at one descriptor
    // unless it throttles.
    int fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0)
        throw EMailbox(std::string("Timer allocation failed: ") + std::strerror(errno));
    try {
        WatchReadable(FEpoll, fd, kTimerFdKey);
    } catch (const ESocketLib& e) {
        ::close(fd); // timers whose ticks are never seen: refused, and tried again next time
        throw EMailbox("Timer allocation failed: " + e.Message());
    }
    FTimerFd = fd;
}

void TMessageLoop::PrepareTimers() {
    std::lock_guard<std::mutex> lock(FImpl->Lock);
    CreateTimerDescriptorLocked();
}

void TMessageLoop::SetTimer(TMailboxId handle, uint32_t intervalMs) {
    {
        std::lock_guard<std::mutex> lock(FImpl->Lock);
        CreateTimerDescriptorLocked();
        FImpl->Timers[handle] = TImpl::TTimer{intervalMs, MonotonicMillis() + intervalMs, false};
        WakeLocked();
    }
}

void TMessageLoop::KillTimer(TMailboxId handle) {
    std::lock_guard<std::mutex> lock(FImpl->Lock);
    FImpl->Timers.erase(handle);
    auto& q = FImpl->Queue;
    q.erase(
        std::remove_if(q.begin(), q.end(),
                       [&](const TMessage& m) { return m.Handle == handle && m.Msg == MSG_TIMER; }),
        q.end());
}

void TMessageLoop::ForgetMailbox(TMailboxId handle) {
    std::lock_guard<std::mutex> lock(FImpl->Lock);
    FImpl->Timers.erase(handle);
    auto& q = FImpl->Queue;
    q.erase(
        std::remove_if(q.begin(), q.end(), [&](const TMessage& m) { return m.Handle == handle; }),
        q.end());
}

void TMessageLoop::WatchSocket(int fd, TMailboxId handle, uint32_t events,
                               bool connectPending, TSocketOrigin origin) {
    if (events == 0) {
        UnwatchSocket(fd);
        return;
    }
    // A descriptor just made (accepted, or created by the caller) is new: whatever is still
    // registered under its number belonged to a socket closed since, and the system need not
    // be asked which socket it names.
    bool known = origin != TSocketOrigin::soUnknown;
    struct stat st {};
    if (!known && ::fstat(fd, &st) != 0)
        RaiseCallFailed("fstat");
    // A socket with a peer is connected (a stream one, or a datagram one with a default
    // peer); one without is connected only when it is a datagram socket.
    TSocketAddr peer;
    bool connected =
        known ? origin == TSocketOrigin::soAccepted || origin == TSocketOrigin::soConnected
              : SocketGetPeerName(fd, peer) == 0 || SocketIsDatagram(fd);
    bool wake = !IsOwnerThread();
    {
        std::lock_guard<std::mutex> lock(FImpl->Lock);
        TImpl& m = *FImpl;
        uint64_t key = 0;
        if (auto k = m.SocketKeys.find(fd); k != m.SocketKeys.end()) {
            const TImpl::TSocketReg& old = m.Sockets.at(k->second);
            // Registered again by code that does not know the descriptor: the same socket
            // when it names the same one (or the first registration knew it was new).
            if (!known && (old.Known || (old.Dev == st.st_dev && old.Ino == st.st_ino)))
                key = k->second;
            else
                m.DropSocket(FEpoll, k->second); // closed unregistered; the number reused
        }
        bool again = key != 0;
        if (!again) {
            key = m.NextKey++;
            TImpl::TSocketReg& fresh = m.Sockets[key];
            fresh.Fd = fd;
            fresh.Key = key;
            fresh.Dev = st.st_dev;
            fresh.Ino = st.st_ino;
            fresh.Known = known;
            m.SocketKeys[fd] = key;
        }
        TImpl::TSocketReg& reg = m.Sockets[key];
        reg.Handle = handle;
        reg.Events = events;
        bool postWrite = false;
        if (!again && connectPending) {
            reg.ConnectArmed = true;
        } else if (!again && !known && !connected && SocketIsListening(fd)) {
            // Registered after listen: connections may already wait.
            reg.Listening = true;
            reg.ReadArmed = (events & READY_ACCEPT) != 0;
        } else if (!again) {
            // A connected (or datagram) socket is writable and may have data at once; an
            // unconnected one waits for AsyncEnable(READY_CONNECT) or (READY_ACCEPT).
            if (!known && !connected && SocketPendingError(fd) != 0)
                connected = true; // reset before registration: let recv report it
            if (connected) {
                reg.ReadArmed = (events & READY_READ) != 0;
                postWrite = (events & READY_WRITE) != 0;
            }
        }
        try {
            m.Rearm(FEpoll, reg);
        } catch (...) {
            m.DropSocket(FEpoll, key); // not registered: nothing pretends it will hear
            throw;
        }
        if (postWrite)
            m.Queue.push_back(TMessage{handle, MSG_SOCKET, static_cast<uintptr_t>(fd),
                                       MakeSelectLParam(READY_WRITE, 0)});
        if (wake)
            WakeLocked();
    }
}

void TMessageLoop::UnwatchSocket(int fd) {
    std::lock_guard<std::mutex> lock(FImpl->Lock);
    auto k = FImpl->SocketKeys.find(fd);
    if (k != FImpl->SocketKeys.end())
        FImpl->DropSocket(FEpoll, k->second);
}

void TMessageLoop::AsyncEnable(int fd, uint32_t event, int error) {
    bool posted = false;
    {
        std::lock_guard<std::mutex> lock(FImpl->Lock);
        auto k = FImpl->SocketKeys.find(fd);
        if (k == FImpl->SocketKeys.end())
            return;
        TImpl::TSocketReg& reg = FImpl->Sockets.at(k->second);
        switch (event) {
        case READY_READ:
            if (!reg.ClosePosted && (reg.Events & READY_READ))
                reg.ReadArmed = true;
            break;
        case READY_ACCEPT:
            if (reg.Events & READY_ACCEPT) {
                reg.Listening = true;
                reg.ReadArmed = true;
            }
            break;
        case READY_WRITE:
            if (reg.Events & READY_WRITE)
                reg.WriteArmed = true;
            break;
        case READY_CONNECT:
            reg.ConnectArmed = true;
            break;
        case READY_CLOSE:
            if (!reg.ClosePosted) {
                reg.ClosePosted = true;
                reg.ReadArmed = false;
                if (reg.Events & READY_CLOSE) {
                    FImpl->Queue.push_back(TMessage{reg.Handle, MSG_SOCKET,
                                                    static_cast<uintptr_t>(fd),
                                                    MakeSelectLParam(READY_CLOSE, error)});
                    posted = true;
                }
            }
            break;
        default:
            break;
        }
        FImpl->Rearm(FEpoll, reg);
        if (posted && !IsOwnerThread())
            WakeLocked();
    }
}

void TMessageLoop::WatchDescriptor(int fd, std::function<void()> onReadable) {
    std::lock_guard<std::mutex> lock(FImpl->Lock);
    auto callback = std::make_shared<std::function<void()>>(std::move(onReadable));
    if (auto k = FImpl->WatcherKeys.find(fd); k != FImpl->WatcherKeys.end()) {
        FImpl->Watchers[k->second] = std::move(callback);
        return;
    }
    uint64_t key = FImpl->NextKey++;
    WatchReadable(FEpoll, fd, key); // raises before anything is recorded
    FImpl->WatcherKeys[fd] = key;
    FImpl->Watchers[key] = std::move(callback);
}

void TMessageLoop::UnwatchDescriptor(int fd) {
    std::lock_guard<std::mutex> lock(FImpl->Lock);
    auto k = FImpl->WatcherKeys.find(fd);
    if (k == FImpl->WatcherKeys.end())
        return;
    // An entry that could not be deleted reports under a key no longer known: ignored.
    EpollDelete(FEpoll, fd);
    FImpl->Watchers.erase(k->second);
    FImpl->WatcherKeys.erase(k);
}

void TMessageLoop::WatchTerminationSignals(std::function<void(int)> handler) {
    sigset_t set = ControlSignalSet();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    int fd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0)
        throw EMailbox(std::string("Signal descriptor allocation failed: ") +
                            std::strerror(errno));
    {
        std::lock_guard<std::mutex> lock(FImpl->Lock);
        FImpl->OwnedFds.push_back(fd);
    }
    WatchDescriptor(fd, [this, fd, handler] {
        signalfd_siginfo info;
        while (::read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            if (handler)
                handler(static_cast<int>(info.ssi_signo));
            else if (info.ssi_signo != SIGHUP)
                Quit();
        }
    });
}

std::thread StartThread(std::function<void()> body) {
    sigset_t set = ControlSignalSet(), old;
    ::pthread_sigmask(SIG_BLOCK, &set, &old);
    std::thread t(std::move(body));
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return t;
}

// ---------------------------------------------------------------------------------------------

void TThreadChecker::Check([[maybe_unused]] const char* what) const noexcept {
#ifndef NDEBUG
    if (!OnOwnerThread()) {
        std::fprintf(stderr, "%s off its owning thread\n", what);
        std::abort();
    }
#endif
}

// ---------------------------------------------------------------------------------------------

TMailbox::TMailbox() = default;

TMailbox::~TMailbox() {
    TMailbox::DestroyMailbox();
}

TMailboxId TMailbox::GetMailbox() {
    if (!HasMailbox())
        AllocateMailbox();
    return Mailbox();
}

void TMailbox::AllocateMailbox() {
    std::shared_ptr<TMessageLoop> loop = TMessageLoop::CurrentShared();
    TMailboxRegistry& r = Registry();
    TMailboxId id = r.NextHandle.fetch_add(1);
    {
        std::lock_guard<std::mutex> lock(r.MailboxRegistryLock);
        r.Mailboxes.emplace(id, TMailboxEntry{this, loop});
    }
    FLoop = loop;
    FOwnerCheck.Bind();
    FMailbox.store(id, std::memory_order_release);
}

void TMailbox::DestroyMailbox() {
#ifndef NDEBUG
    // The check asks the loop under its lock: a debug build's cost only.
    if (FLoop && !FLoop->OwnerEnded())
        FOwnerCheck.Check("Mailbox destroyed");
#endif
    TMailboxId id = FMailbox.exchange(0);
    if (id == 0)
        return;
    {
        TMailboxRegistry& r = Registry();
        std::lock_guard<std::mutex> lock(r.MailboxRegistryLock);
        r.Mailboxes.erase(id);
    }
    if (FLoop)
        FLoop->ForgetMailbox(id);
    FLoop.reset();
    FOwnerCheck.Unbind();
}

bool TMailbox::PostToSelf(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    return PostToMailbox(GetMailbox(), msg, wParam, lParam);
}

void TMailbox::Terminate() {
    FTerminated.store(true, std::memory_order_release);
}

intptr_t TMailbox::DispatchMessage(const TMessage& msg) {
    FOwnerCheck.Check("Mailbox message dispatched");
    // An exception never leaves a dispatch: it goes to OnException or is dropped.
    intptr_t result = 0;
    try {
        if (OnBeforeMessage)
            OnBeforeMessage(this);
    } catch (...) {
    }
    bool after = static_cast<bool>(OnAfterMessage);
    try {
        result = HandleLoopMessage(msg.Msg, msg.WParam, msg.LParam);
    } catch (const std::exception& e) {
        result = 0;
        try {
            if (OnException)
                OnException(this, e);
        } catch (...) {
        }
    } catch (...) {
        result = 0;
        try {
            if (OnException)
                OnException(this, Exception("Unknown exception"));
        } catch (...) {
        }
    }
    try {
        if (after && OnAfterMessage)
            OnAfterMessage(this);
    } catch (...) {
    }
    return result;
}

intptr_t TMailbox::HandleLoopMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    if (OnMessage) {
        bool handled = false;
        intptr_t r = OnMessage(msg, wParam, lParam, handled);
        if (handled)
            return r;
    }
    return 0;
}

bool TMailbox::ProcessMessage() {
    if (Terminated())
        return false;
    bool quit = false;
    bool r = TMessageLoop::Current().ProcessMessage(&quit);
    if (quit)
        Terminate();
    return r;
}

void TMailbox::ProcessMessages() {
    while (ProcessMessage()) {
    }
}

bool TMailbox::HandleMessage(int timeoutMs) {
    if (Terminated())
        return false;
    int64_t deadline = timeoutMs < 0 ? -1 : MonotonicMillis() + timeoutMs;
    if (TMessageLoop::Current().WaitMessage(deadline) == TWaitResult::wrQuit) {
        Terminate();
        return false;
    }
    return !Terminated();
}

// ---------------------------------------------------------------------------------------------

TTimerHandle::TTimerHandle() = default;

TTimerHandle::~TTimerHandle() {
    TTimerHandle::DestroyMailbox();
}

void TTimerHandle::DestroyMailbox() {
    if (FTimerRunning && MailboxLoop())
        MailboxLoop()->KillTimer(Mailbox());
    FTimerRunning = false;
    TMailbox::DestroyMailbox();
}

void TTimerHandle::StartTimer() {
    if (FTimerInterval <= 0)
        return;
    TMailboxId id = GetMailbox();
    if (!MailboxLoop())
        throw EMailbox("Timer allocation failed: no message loop");
    MailboxLoop()->SetTimer(id, static_cast<uint32_t>(FTimerInterval));
    FTimerRunning = true;
}

void TTimerHandle::SetTimerActive(bool value) {
    if (value == FTimerActive)
        return;
    FTimerActive = value;
    if (FLoading)
        return;
    if (value)
        StartTimer();
    else if (FTimerRunning) {
        MailboxLoop()->KillTimer(Mailbox());
        FTimerRunning = false;
    }
}

void TTimerHandle::SetTimerInterval(int intervalMs) {
    if (intervalMs == FTimerInterval)
        return;
    FTimerInterval = intervalMs;
    if (FTimerRunning) {
        MailboxLoop()->KillTimer(Mailbox());
        FTimerRunning = false;
    }
    if (FTimerActive && !FLoading)
        StartTimer();
}

void TTimerHandle::SetLoading(bool loading) {
    if (loading == FLoading)
        return;
    FLoading = loading;
    if (!loading && FTimerActive && !FTimerRunning)
        StartTimer();
}

void TTimerHandle::TriggerTimer() {
    if (OnTimer)
        OnTimer(this);
}

intptr_t TTimerHandle::HandleLoopMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    if (msg == MSG_TIMER) {
        TriggerTimer();
        return 0;
    }
    return TMailbox::HandleLoopMessage(msg, wParam, lParam);
}

// ---------------------------------------------------------------------------------------------

TThread::~TThread() {
    // Through Create the wrapper has stopped the thread already; a virtual call here would
    // reach only this base.
    WaitFor();
}

void TThread::Start() {
    if (FJoinable)
        return;
    FFinished.store(false, std::memory_order_release);
    FExceptionMessage.clear();
    // pthread directly: std::thread cannot size the stack.
    pthread_attr_t attr;
    int r = ::pthread_attr_init(&attr);
    if (r == 0 && FStackSize > 0)
        r = ::pthread_attr_setstacksize(
            &attr, std::max<size_t>(FStackSize, static_cast<size_t>(PTHREAD_STACK_MIN)));
    if (r == 0) {
        // Control signals belong to the main thread's signalfd (see StartThread).
        sigset_t set = ControlSignalSet(), old;
        ::pthread_sigmask(SIG_BLOCK, &set, &old);
        r = ::pthread_create(&FHandle, &attr, &TThread::Run, this);
        ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
        ::pthread_attr_destroy(&attr);
    }
    if (r != 0)
        throw EMailbox(std::string("Thread creation failed: ") + std::strerror(r));
    FJoinable = true;
}

void* TThread::Run(void* self) {
    TThread& t = *static_cast<TThread*>(self);
    // Nothing may escape the thread; what Execute did not handle is reported, not lost.
    bool raised = true;
    try {
        t.Execute();
        raised = false;
    } catch (const std::exception& e) {
        t.FExceptionMessage = e.what();
    } catch (...) {
        t.FExceptionMessage = "Unknown exception";
    }
    if (raised)
        std::fprintf(stderr, "Thread ended by exception: %s\n", t.FExceptionMessage.c_str());
    t.FFinished.store(true, std::memory_order_release);
    TMessageLoop::Main().NotifyJobWaiters();
    return nullptr;
}

void TThread::WaitFor() {
    if (!FJoinable)
        return;
    if (TMessageLoop::IsMainThread())
        TMessageLoop::Main().ServeJobsUntil([this] { return Finished(); });
    ::pthread_join(FHandle, nullptr);
    FJoinable = false;
}

void WaitServingJobs(std::mutex& mutex, std::condition_variable& changed,
                     const std::function<bool()>& done) {
    if (TMessageLoop::IsMainThread()) {
        TMessageLoop::Main().ServeJobsUntil([&] {
            std::lock_guard<std::mutex> lock(mutex);
            return done();
        });
        return;
    }
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, done);
}

} // namespace corvan
