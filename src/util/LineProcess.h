#pragma once
// A long-lived helper program spoken to in lines: started once with "/bin/sh -c <command>",
// its standard input and output joined to one end of a socket pair (so a write to a helper
// that has died fails with an error instead of a signal), its standard error inherited. One
// question at a time: Ask writes one line and waits, bounded, for one line back. A helper that
// prints more than asked for (a greeting at its start, two lines for one question) does not
// put its answers out of step: what it printed before a question is discarded, and only the
// first line after the question is its answer.

#include <cstdint>
#include <string>
#include <sys/types.h>

namespace corvan {

// A helper's answer line longer than this ends the exchange as a failure (the helper is
// stopped), so a helper cannot make us buffer without bound.
inline constexpr size_t kLineProcessMaxLine = 4096;
// A started helper is not asked before this time has passed since its start, so that a
// greeting it prints on starting is discarded rather than taken for the first answer (a
// greeting later than this is taken for that answer, and the next question discards the
// real one).
inline constexpr int kLineProcessGreetingMs = 150;
// Nor is it asked again before this time has passed since its last answer, so that more lines
// it prints for one question are discarded rather than taken for the next answer (lines
// later than this are taken for it, and the question after that discards the real one).
inline constexpr int kLineProcessSettleMs = 25;

class TLineProcess {
public:
    explicit TLineProcess(std::string commandLine) : FCommandLine(std::move(commandLine)) {}
    // Stops the helper when it runs.
    ~TLineProcess();
    TLineProcess(const TLineProcess&) = delete;
    TLineProcess& operator=(const TLineProcess&) = delete;

    const std::string& CommandLine() const { return FCommandLine; }
    // Whether the helper was started and has not been seen to end. Seen to end, it is reaped
    // and whatever it left running in its process group is ended.
    bool Running();
    // Starts the helper (signals at their defaults, nothing blocked); false with error set
    // when the system cannot start it. A command that does not exist starts a shell that
    // ends at once: Running then turns false and Ask fails.
    bool Start(std::string& error);
    // Discards what the helper printed since the last answer (waiting out
    // kLineProcessGreetingMs from its start and kLineProcessSettleMs from its last answer,
    // as far as the time-out allows), writes line + "\n" and reads one answer line (without
    // its line end), all within timeoutMs: the write never blocks past it, even when the
    // helper does not read; whatever follows that line in the same read is discarded too.
    // False with error set when the helper does not run, the write fails or cannot finish
    // in time, the helper ends or answers nothing in time, or the line is too long; the
    // helper is then stopped, so a late answer can never be taken for the next question's.
    bool Ask(const std::string& line, int timeoutMs, std::string& answer, std::string& error);
    // Closes our end (the helper sees the end of its input), then ends it with every command
    // it started (its process group): SIGTERM, then SIGKILL after a short wait for the helper
    // (at once for what is left of the group when the helper has ended); reaps it.
    void Stop();

private:
    std::string FCommandLine;
    pid_t FPid = -1;
    int FSocket = -1;
    // Output until then (MonotonicMillis) is taken for a greeting or for more of the last
    // answer: the next question waits for it and discards it.
    int64_t FQuietUntil = 0;

    // Reads and drops what the helper printed, until the moment until (MonotonicMillis; at
    // once when it has passed) and then until nothing more is waiting. False with error set
    // when the helper ended, the socket failed, or it still prints at deadline.
    bool DiscardOutput(int64_t until, int64_t deadline, std::string& error);
};

} // namespace corvan
