#include "gui/LoopBridge.h"

#include "net/EventLoop.h"

namespace corvan {

TQtLoopBridge::TQtLoopBridge(TMessageLoop& loop, std::function<void()> onQuit)
    : FLoop(loop), FOnQuit(std::move(onQuit)) {
    FNotifier = std::make_unique<QSocketNotifier>(loop.Descriptor(), QSocketNotifier::Read);
    QObject::connect(FNotifier.get(), &QSocketNotifier::activated, [this] { Dispatch(); });
    // Whatever was queued before Qt's loop started is served on its first turn.
    if (loop.PollDescriptor(0))
        QMetaObject::invokeMethod(FNotifier.get(), [this] { Dispatch(); }, Qt::QueuedConnection);
}

TQtLoopBridge::~TQtLoopBridge() = default;

void TQtLoopBridge::Dispatch() {
    ++FActivations;
    // Everything waiting now, socket events, due timers and hand-over jobs alike; the
    // descriptor is quiet again afterwards unless something new came meanwhile, in which
    // case the notifier fires again. A handler that opens a modal box runs Qt's loop
    // nested, and this notifier keeps serving the loop meanwhile, as the loop allows.
    if (FLoop.ProcessMessages() && FOnQuit)
        FOnQuit();
}

} // namespace corvan
