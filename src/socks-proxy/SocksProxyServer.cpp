#include "socks-proxy/SocksProxyServer.h"

#include "proxy/SocksProxy.h"
#include "socks-proxy/SocksProxySystem.h"

namespace corvan {

namespace {

class TSocksServerForService : public ASocksProxyServer {
public:
    explicit TSocksServerForService(TSocksProxySystem& service) : FService(service) {
        FServer.OnConnectionEnd = [this](const TSocksConnectionFacts& facts) {
            FService.ClientClosed(facts);
        };
        // Asked on the thread that accepts: so is the log line (the user interface's log
        // takes lines from any thread).
        FAdmission.OnRefusalLog = [this](const std::string& line) { FService.LogRefusal(line); };
        FServer.Admission = &FAdmission;
        // The client learns why: its request gets the "not allowed" reply.
        FServer.CloseRefusedAtAccept = false;
    }
    ~TSocksServerForService() override { FServer.SetActive(false); }

    void SetListen(const TSocksServerListen& listen) override {
        FServer.SetListenPort(listen.ListenPort);
        FServer.SetLocalHost(listen.LocalHost);
        FServer.SetMaxBacklog(listen.MaxBacklog);
    }

    void SetLimits(const TSocksServerLimits& limits) override {
        FServer.MaxClients = limits.MaxClients;
        FAdmission.SetAllowed(limits.AllowedClients);
        TSocksConnectionSettings settings;
        settings.Options = limits.Options;
        settings.ThrottleOutbound = limits.ThrottleOutbound;
        settings.OutboundReadRate = limits.OutboundReadRate;
        settings.ThrottleClient = limits.ThrottleClient;
        settings.ClientReadRate = limits.ClientReadRate;
        settings.AllowLocalTargets = limits.AllowLocalTargets;
        settings.Authenticate = [requireLogin = limits.Options.RequireLogin,
                                 users = FService.Users()](const std::string& login,
                                                           const std::string& password) {
            return TSocksProxySystem::CheckLogin(requireLogin, users, login, password);
        };
        settings.Route = [upstream = FService.SocksProxy](const std::string& host, int port) {
            return TSocksProxySystem::RouteVia(upstream, host, port);
        };
        FServer.SetSettings(settings);
    }

    void Start() override {
        FAdmission.ResetCount();
        FServer.SetActive(true);
    }
    void Stop() override { FServer.SetActive(false); }
    int ClientCount() const override { return static_cast<int>(FServer.ClientCount()); }
    uint64_t ConnectionsTotal() const override { return FServer.ClientTotal(); }
    int64_t TransferRate() const override { return FServer.GetTransferRate(); }
    uint64_t RefusedCount() const override { return FAdmission.RefusedCount(); }

private:
    TSocksProxySystem& FService;
    TClientAdmission FAdmission; // before the server: asked until the server stops
    // GetTransferRate samples (main thread only).
    mutable TSocksProxyServer FServer;
};

} // namespace

std::unique_ptr<ASocksProxyServer> CreateSocksProxyServer(TSocksProxySystem& service) {
    return std::make_unique<TSocksServerForService>(service);
}

} // namespace corvan
