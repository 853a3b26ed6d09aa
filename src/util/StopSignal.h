#pragma once
// How the headless program waits for its stop request (SIGINT or SIGTERM). The signals are
// blocked in every thread and taken synchronously, so no handler runs at an arbitrary
// moment. The per-thread message loop will take over this wait; until then it is this one
// function.

namespace corvan {

// Blocks SIGINT and SIGTERM in the calling thread (threads created later inherit the mask)
// and ignores SIGPIPE. Call first thing in main, before any thread exists.
void BlockStopSignals();

// Waits until SIGINT or SIGTERM arrives; returns the signal number.
int WaitForStopSignal();

} // namespace corvan
