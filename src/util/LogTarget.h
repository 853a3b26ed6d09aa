#pragma once
// The attachment point between a log and the components that can have one attached (the TCP
// server and the TCP client component of the network layer). ALogTarget is what such a
// component writes to; TLogLink is the component's reference to one, which clears itself when
// the log is destroyed. The application's TLog (util/Log.h) is an ALogTarget, so the network
// layer depends on this header only.
//
// Logs are written on the main thread: a component called on another thread hands its entry
// over to the main thread first. Linking and unlinking may happen on any thread.

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace corvan {

class TLogLink;

class ALogTarget {
public:
    ALogTarget() = default;
    // Clears every link that still refers to this log.
    virtual ~ALogTarget();
    ALogTarget(const ALogTarget&) = delete;
    ALogTarget& operator=(const ALogTarget&) = delete;

    // One entry. sender is any object, only passed on; logClass 0 is information, 1 an error.
    virtual void LogEntry(const void* sender, int logClass, const std::string& message) = 0;

private:
    friend class TLogLink;
    std::mutex LogLinksLock; // guards FLinks
    std::vector<TLogLink*> FLinks;
};

// A component's reference to its attached log; null when none is attached or the log has
// been destroyed.
class TLogLink {
public:
    TLogLink() = default;
    ~TLogLink() { Set(nullptr); }
    TLogLink(const TLogLink&) = delete;
    TLogLink& operator=(const TLogLink&) = delete;

    ALogTarget* Get() const { return FTarget.load(std::memory_order_acquire); }
    void Set(ALogTarget* target);

private:
    friend class ALogTarget;
    std::atomic<ALogTarget*> FTarget{nullptr};
};

} // namespace corvan
