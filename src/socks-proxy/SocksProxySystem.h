#pragma once
// The SOCKS proxy service as a settings component ("Proxy-SocksProxy"). It holds and
// persists the service's settings, hands them to its server (SocksProxyServer.h), starts
// and stops it, decides logins and outbound routes for it, counts the bytes of ended
// connections, writes the connection log and computes its status view.
//
// A connection ends on the thread that served it (or the relay loop that carried its tunnel),
// with no message to the main thread: what its end touches (ClientClosed) is safe from any
// thread. The byte totals have a lock of their own; the end reads EnableLog from the copy
// ApplySettings publishes, never the field the main thread edits.

#include "component/ServiceComponent.h"
#include "proxy/SocksProxy.h"
#include "proxy/SocksProxyLog.h"
#include "socks-proxy/SocksProxyServer.h"

#include <atomic>
#include <mutex>

namespace corvan {

class TSocksProxySystem : public TLoggingServiceComponent {
public:
    // A stored MaxConnections below this loads as this.
    static constexpr int kMinMaxConnections = 1;
    // The status view shows a transfer rate from this many bytes per second up ("-" below).
    static constexpr int64_t kShownRateThreshold = 16;

    // The log file is serviceFolder (ending in "/") + "socksproxy.log"; users is not owned
    // and outlives the service.
    TSocksProxySystem(const std::string& serviceFolder, TProxyUsersSystem* users);
    // Destroys the server, which stops it.
    ~TSocksProxySystem() override;

    std::string ClassName() const override { return "TSocksProxySystem"; }

    int ServerPort = 1080;
    std::string ServerIP;
    int MaxConnections = 64;
    int MaxBackLog = 0;
    bool EnableLog = false;
    bool LimitBandIn = false;
    int BandInLimit = -1;
    bool LimitBandOut = false;
    int BandOutLimit = -1;
    // SOCKS5 clients must log in as an enabled proxy user; SOCKS4 clients, which cannot,
    // are refused.
    bool RequireLogin = false;
    // Who may connect (net/AllowedClients.h); empty: this machine and the local networks.
    std::string AllowedClients;
    // Clients from elsewhere may reach services on this machine's loopback
    // (TSocksConnectionSettings::AllowLocalTargets); off, only clients on this machine may.
    bool AllowLocalTargets = false;
    // SOCKS5 clients may open UDP associations (UDP ASSOCIATE); off, they get reply 07.
    bool EnableUDP = true;
    TProxyServerInfo SocksProxy;

    // Builds the server at the first start. Empty: no network layer in this program, and a
    // start records the running state only.
    TSocksServerFactory ServerFactory;
    // The local clock of the up-time and of the log lines; tests replace it before the first
    // start (the threads that end connections call it).
    std::function<TDateTime()> Clock = Now;

    // The server, once created; null before the first start.
    ASocksProxyServer* Server() const { return FServer.get(); }

    // ---- called by the server ----

    // A SOCKS5 login. Without RequireLogin every login is accepted; with it, the first proxy
    // user whose login matches (ASCII case ignored) decides: it must not be disabled, must
    // have SOCKS access and the password must match (ASCII case ignored). Called from client
    // threads: asks the users' CheckSocksAccess, which reads their published copy.
    bool Authenticate(const std::string& login, const std::string& password) const;
    // The outbound connection to host:port: through the up-stream SOCKS5 proxy when its use
    // flag is set and its host and port are not empty, otherwise direct. Client threads.
    TSocksOutbound OutboundRoute(const std::string& host, int port) const;
    // The two decisions above on given settings, for a server that keeps its own copy of
    // them (any thread).
    static bool CheckLogin(bool requireLogin, const TProxyUsersSystem* users,
                           const std::string& login, const std::string& password);
    static TSocksOutbound RouteVia(const TProxyServerInfo& upstream, const std::string& host,
                                        int port);
    // A client connection ended: adds its bytes to TotalBytes (and BytesToClients), then,
    // with EnableLog as last applied (ApplySettings), appends its line (SocksLogLine) to the
    // request log (a failed write drops the line). Any thread: the one that ends the
    // connection, several at once.
    void ClientClosed(const TSocksConnectionFacts& facts);

    // ---- settings and view ----

    // Bytes relayed by connections that ended since the last start, the part of them sent to
    // the clients and the part received from them (each from one reading of the totals).
    uint64_t TotalBytes() const;
    uint64_t BytesToClients() const;
    uint64_t BytesFromClients() const;
    // Connections accepted since the last start: those that ended and those open now (0
    // while stopped).
    uint64_t ConnectionsTotal() const;
    TSocksServerListen ListenSettings() const;
    TSocksServerLimits LimitSettings() const;
    // Hands the limits to the server, and the listen settings too while it is stopped;
    // EnableLog holds for the connections that end from now on (also with no server).
    void ApplySettings();
    // "Socks Proxy Settings" (TfrmSocksProxySettings); on OK copies the values back, saves
    // at once once loaded from a file, and applies them. True only for OK.
    bool EditSettings() override;
    void UpdateDisplay() override;
    // A ServerPort outside 1..65535: port 0 would listen on a port the system picks, one
    // that no client knows. An AllowedClients entry that does not parse (its message).
    std::string StartRefusal() const override;
    // "SOCKS proxy on port <ServerPort>".
    std::string ServiceTitle() const override;
    // The port the running server listens on (the ServerPort of its start).
    int ListeningPort() const { return FListeningPort; }
    std::string UptimeText() const;
    int ClientCount() const;
    int64_t TransferRate() const;
    // Clients refused since the start (not in AllowedClients); 0 while stopped.
    uint64_t RefusedCount() const;

protected:
    // Raises NotStartedText when StartRefusal has a reason; otherwise creates the server on
    // first use, resets the byte totals, applies the settings, starts it and records the
    // start time. A failing start passes on with the totals as they were; the service stays
    // stopped.
    void DoEnable() override;
    void DoDisable() override;

    // Enabled, ServerPort, ServerIP, MaxConnections (at least 1), MaxBackLog (at least 0),
    // EnableLog, LimitBandIn, BandInLimit, LimitBandOut, BandOutLimit, RequireLogin,
    // AllowedClients, AllowLocalTargets, EnableUDP; then
    // the record "<section>-SocksProxy".
    void SettingsKeys(ASettingsKeys& keys) override;
    void ClampSettings() override;
    std::vector<TProxyRecord> ProxyRecords() override;
    std::vector<std::string> KeysOutsideDialog() const override { return {"AllowLocalTargets"}; }

private:
    struct TTotals {
        uint64_t Bytes = 0;
        uint64_t BytesToClients = 0;
    };
    TTotals Totals() const;
    // Sets the totals; answers what they were.
    TTotals ExchangeTotals(const TTotals& value);

    std::unique_ptr<ASocksProxyServer> FServer;
    // TotalsLock: guards FTotals, added to by the threads that end connections, read and
    // reset on the main thread. A leaf lock.
    mutable std::mutex TotalsLock;
    TTotals FTotals;
    // EnableLog as last applied: written on the main thread, read where connections end.
    std::atomic<bool> FLogEnabled{false};
    TDateTime FStartTime = 0;
    int FListeningPort = 0;
};

} // namespace corvan
