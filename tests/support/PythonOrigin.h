#pragma once
// An HTTP origin in another process: python3's HTTP server serving a folder, on loopback of
// either family.

#include "support/NetTestSupport.h"
#include "support/Process.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace corvan::test {

// python3's HTTP server on a free port of host (127.0.0.1 or ::1), serving a folder; up when
// constructed (a failure is reported with the server's output), stopped when destroyed.
struct TOrigin {
    uint16_t Port = FreeLoopbackPort();
    std::unique_ptr<TChildProcess> Process;
    TOrigin(const std::string& host, const std::string& folder) {
        Process = std::make_unique<TChildProcess>(
            std::vector<std::string>{"/usr/bin/python3", "-m", "http.server", "--bind", host,
                                     "--directory", folder, std::to_string(Port)},
            std::map<std::string, std::string>{});
        TSocketAddr at;
        IsIPLiteral(host, at);
        at.Port = Port;
        // Another process: no event to await, so poll its port.
        for (int i = 0; i < 500; ++i) {
            if (TSocketHandle h = ConnectTo(at); h != INVALID_SOCKETHANDLE) {
                SocketClose(h);
                return;
            }
            ::poll(nullptr, 0, 20);
        }
        ADD_FAILURE() << "HTTP server did not start: " << Process->Output();
    }
};

} // namespace corvan::test
