#pragma once
// A long-lived helper program spoken to in lines: started once with "/bin/sh -c <command>",
// its standard input and output joined to one end of a socket pair (so a write to a helper
// that has died fails with an error instead of a signal), its standard error inherited. One
// question at a time: Ask writes one line and waits, bounded, for one line back.

#include <cstdint>
#include <string>
#include <sys/types.h>

namespace corvan {

// A helper's answer line longer than this ends the exchange as a failure (the helper is
// stopped), so a helper cannot make us buffer without bound.
inline constexpr size_t kLineProcessMaxLine = 4096;

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
    // Writes line + "\n" and reads one answer line (without its line end) within timeoutMs.
    // False with error set when the helper does not run, the write fails, the helper ends or
    // answers nothing in time, or the line is too long; the helper is then stopped, so a late
    // answer can never be taken for the next question's.
    bool Ask(const std::string& line, int timeoutMs, std::string& answer, std::string& error);
    // Closes our end (the helper sees the end of its input), then ends it with every command
    // it started (its process group): SIGTERM, then SIGKILL after a short wait for the helper
    // (at once for what is left of the group when the helper has ended); reaps it.
    void Stop();

private:
    std::string FCommandLine;
    pid_t FPid = -1;
    int FSocket = -1;
    std::string FBuffer; // bytes read after the last answer line
};

} // namespace corvan
