#pragma once
// The status service's answers as pure functions of a snapshot: the page, its JSON and the
// metrics text. The snapshot is taken on the main thread from the counters the window's
// status views read (StatusSystem.h); nothing here touches a service.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvan {

// One service or mapping as it stood when the snapshot was taken. A value a service does
// not count is empty; so is every value of a service that is not running.
struct TServiceStatus {
    std::string Service; // "http", "socks", "dns", "mapping", "status"
    std::string Mapping; // a mapping's port and protocol ("8080/tcp"); empty otherwise
    std::string Name;    // for people: "HTTP proxy", "TCP Port 8080"
    bool Running = false;
    int Port = 0;       // listening port while running; the configured one otherwise
    std::string Uptime; // the window's elapsed-time text; empty while stopped
    std::optional<uint64_t> ConnectionsOpen, ConnectionsTotal;
    std::optional<uint64_t> BytesFromClients, BytesToClients;
    std::optional<int64_t> TransferRate; // bytes per second now
    std::optional<uint64_t> Requests, RefusedClients;
    // Requests answered over a next-hop connection kept from an earlier one (HTTP).
    std::optional<uint64_t> ReusedConnections;
    std::optional<uint64_t> CacheHits, CachedNames;
};

struct TStatusSnapshot {
    std::string Version;
    std::vector<TServiceStatus> Services; // in the window's order, mappings in list order
};

// The Prometheus text format, version 0.0.4: a HELP and a TYPE line per metric, then its
// samples; label values escaped (backslash, double quote, line feed).
inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";
std::string MetricsText(const TStatusSnapshot& snapshot);

// {"version": ..., "services": [{"service": ..., ...}, ...]}: one object per service and
// mapping; a value that is not counted is left out.
std::string StatusJson(const TStatusSnapshot& snapshot);

// A plain HTML table, a row per service and mapping; its script (where scripts run)
// refreshes the rows from status.json every kStatusRefreshMs.
inline constexpr int kStatusRefreshMs = 2000;
std::string StatusPage(const TStatusSnapshot& snapshot);

} // namespace corvan
