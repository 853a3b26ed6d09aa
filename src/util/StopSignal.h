#pragma once
// The signals that control the program: SIGINT and SIGTERM (stop) and SIGHUP (read the
// settings again). They are blocked in every thread and taken synchronously (the main
// loop's signal descriptor, or WaitForStopSignal), so no handler runs at an arbitrary moment
// and no work is ever done inside a signal handler.

#include <csignal>

namespace corvan {

// SIGINT, SIGTERM and SIGHUP: what every thread the program starts keeps blocked, so that
// only the main thread's synchronous wait takes them.
sigset_t ControlSignalSet();

// Blocks the control signals in the calling thread (threads created later inherit the
// mask) and ignores SIGPIPE. Call first thing in main, before any thread exists.
void BlockStopSignals();

// Waits until SIGINT or SIGTERM arrives; returns the signal number.
int WaitForStopSignal();

} // namespace corvan
