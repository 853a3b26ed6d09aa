#include "util/StopSignal.h"

#include <pthread.h>

namespace corvan {

namespace {
sigset_t StopSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}
} // namespace

sigset_t ControlSignalSet() {
    sigset_t set = StopSet();
    sigaddset(&set, SIGHUP);
    return set;
}

void BlockStopSignals() {
    sigset_t set = ControlSignalSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

int WaitForStopSignal() {
    sigset_t set = StopSet();
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) == 0)
            return signal;
    }
}

} // namespace corvan
