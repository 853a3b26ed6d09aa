#pragma once
// The status service as a settings component ("Proxy-Status"): a small HTTP server on
// ServerIP:ServerPort (default 127.0.0.1:9180, so only this machine) that answers GET and
// HEAD with the status of every service and mapping: "/" a page, "/status.json" the same
// numbers, "/metrics" the Prometheus text (StatusPages.h). Other methods get 405, other
// paths 404; it changes nothing and shows no password or user. A client outside
// AllowedClients is closed as it is accepted, nothing read or written.
//
// Threads: the server serves each connection on a thread of its own, but the numbers
// belong to the main thread (the services' counters, as the window's status views read
// them). The snapshots (TStatusSnapshots, in the .cpp file) are owned by the main thread:
// a request that finds none younger than kSnapshotMaxAgeMs posts a message to the main
// thread and waits; the main thread takes the snapshot while it handles that message (as
// it runs the window's refresh: never in the middle of a service's start or stop) and
// hands it over under SnapshotLock. Concurrent requests share one snapshot.

#include "component/ServiceComponent.h"
#include "net/AllowedClients.h"
#include "status/StatusPages.h"
#include "util/DateTime.h"

#include <memory>

namespace corvan {

class THTTPProxySystem;
class TSocksProxySystem;
class TDNSProxySystem;
class TPortMapperSystem;
class TStatusServer;
class TStatusSnapshots;

// A snapshot younger than this answers a request as it is; an older one is taken again.
inline constexpr int64_t kSnapshotMaxAgeMs = 100;
// A request waits at most this long for the main thread's snapshot; then it gets 503.
inline constexpr int64_t kSnapshotWaitMs = 5000;
// Connections served at once (a thread each); more wait in the listen backlog, and an idle
// kept-alive one is closed to make room.
inline constexpr int kStatusMaxConnections = 16;

class TStatusSystem : public TServiceComponent {
public:
    static constexpr int kDefaultPort = 9180;
    static constexpr const char* kDefaultServerIP = "127.0.0.1";

    // The services it reports on; not owned, they outlive it.
    TStatusSystem(const THTTPProxySystem& http, const TSocksProxySystem& socks,
                  const TDNSProxySystem& dns, const TPortMapperSystem& mappings);
    // Stops the server.
    ~TStatusSystem() override;

    std::string ClassName() const override { return "TStatusSystem"; }
    // Runs unless switched off: without it nothing shows a headless program's state.
    bool EnabledByDefault() const override { return true; }
    // Set in the file only: it has no view and no dialog.
    bool HasSettings() const override { return false; }

    std::string ServerIP = kDefaultServerIP; // empty: every local address
    int ServerPort = kDefaultPort;
    // Who may ask (net/AllowedClients.h); empty: this machine and the local networks.
    std::string AllowedClients;

    // Whether a start opens the listening socket. Off: no network layer in this program,
    // and a start records the running state only.
    bool Listens = true;
    // The local clock of the up-time; tests replace it.
    std::function<TDateTime()> Clock = Now;

    // Every service and mapping as the window would show it now. Main thread.
    TStatusSnapshot Snapshot() const;
    // The page's address while the service runs ("http://127.0.0.1:9180/"; a server on every
    // address is reached through 127.0.0.1); empty while stopped.
    std::string PageAddress() const;

    // A ServerPort outside 1..65535; an AllowedClients entry that does not parse.
    std::string StartRefusal() const override;
    // "Status page on port <ServerPort>".
    std::string ServiceTitle() const override;

protected:
    // Starts a new server with the settings; a failure raises and leaves it stopped.
    void DoEnable() override;
    void DoDisable() override;
    // Enabled (default 1), ServerIP, ServerPort, AllowedClients.
    void SettingsKeys(ASettingsKeys& keys) override;

private:
    const THTTPProxySystem& FHTTP;
    const TSocksProxySystem& FSocks;
    const TDNSProxySystem& FDNS;
    const TPortMapperSystem& FMappings;
    TClientAdmission FAdmission;                  // before the server, which asks it until it stops
    std::unique_ptr<TStatusSnapshots> FSnapshots; // before the server, whose clients wait on it
    std::unique_ptr<TStatusServer> FServer;
    TDateTime FStartTime = 0;
    int FListeningPort = 0;
};

} // namespace corvan
