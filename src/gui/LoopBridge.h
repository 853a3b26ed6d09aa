#pragma once
// Lets the main thread's message loop (sockets, timers, hand-overs from worker threads) run
// inside Qt's event loop: a QSocketNotifier watches the loop's one pollable descriptor and
// dispatches whatever is waiting when it becomes readable. Nothing polls: an idle loop
// leaves the descriptor quiet and Qt asleep.

#include <QObject>
#include <QSocketNotifier>

#include <cstdint>
#include <functional>
#include <memory>

namespace corvan {

class TMessageLoop;

class TQtLoopBridge {
public:
    // loop: the main thread's loop (not owned; outlives the bridge). onQuit runs when a quit
    // message reaches the loop (a stop signal, TMessageLoop::Quit).
    TQtLoopBridge(TMessageLoop& loop, std::function<void()> onQuit);
    ~TQtLoopBridge();
    TQtLoopBridge(const TQtLoopBridge&) = delete;
    TQtLoopBridge& operator=(const TQtLoopBridge&) = delete;

    // Times the notifier fired (each a wake-up of the process for the loop).
    uint64_t ActivationCount() const { return FActivations; }

private:
    void Dispatch();

    TMessageLoop& FLoop;
    std::function<void()> FOnQuit;
    std::unique_ptr<QSocketNotifier> FNotifier;
    uint64_t FActivations = 0;
};

} // namespace corvan
