#pragma once
// The root of the settings tree ("Proxy"): owns the service components, creates them in the
// order users, HTTP, DNS, port mappings, SOCKS, status page, and destroys them in reverse.

#include "component/AppComponent.h"
#include "component/ServiceComponent.h"

#include <functional>

namespace corvan {

class TProxyUsersSystem;
class THTTPProxySystem;
class TDNSProxySystem;
class TPortMapperSystem;
class TSocksProxySystem;
class TStatusSystem;

class TProxySystem : public TAppComponent {
public:
    // Creates the service folder (with missing parents; a failure is not fatal, the logs
    // then fail to open) and the services. serviceFolder ends in "/".
    explicit TProxySystem(const std::string& serviceFolder);
    // Destroys the status page, SOCKS, port mappings, DNS, HTTP, users, in this order.
    ~TProxySystem() override;

    std::string ClassName() const override { return "TProxySystem"; }
    // The services are fixed parts, not children: they get the interface directly.
    void SetUserInterface(AUserInterface* ui) override;
    // HTTP "<section>-HTTP", DNS "-DNS", port mappings "-PortMapper", SOCKS "-SocksProxy",
    // users "-ProxyUsers", status page "-Status", in this order; the root section itself holds no
    // keys. A mapping list whose ItemCount is not a number is reported (ShowError).
    void LoadSettings(TIniFile& ini, const std::string& section) override;
    void SaveSettings(TIniFile& ini, const std::string& section) override;
    // HTTP, DNS, port mappings, SOCKS, users, status page, in this order for both. Each service
    // (and each mapping) starts on its own: one that cannot start is reported through the user
    // interface and the rest still start (TServiceComponent::Activate).
    void Activate() override;
    void Deactivate() override;

    // After the settings file was read again into ini (the tree was loaded from previous,
    // section being the root's): reloads only what changed, so that everything else keeps
    // running with its connections. A service (HTTP, DNS, SOCKS) whose sections differ is
    // stopped, reloaded from ini (TServiceComponent::ReloadSettings: keys missing keep their
    // running values) and started (when Enabled); the mappings and the users are
    // compared item by item (ReplaceItems): an unchanged item stays as it is, a changed or
    // new one is loaded and started, a changed or removed one stops and goes. What does not
    // read whole is left running as it is, with a line saying so: a service whose section
    // previous had and ini lacks, a list whose ItemCount (or an item section below the count, or a
    // key in one) previous had and ini lacks, or whose ItemCount is not a number. beforeStart
    // (may be empty) sees every reloaded service and new mapping before it starts. A start
    // that fails is reported through the user interface, as at start-up. Returns one line
    // per change ("SOCKS proxy on port 1080: new settings, running"); empty: nothing changed.
    std::vector<std::string> ReloadSettings(const TIniFile& previous, TIniFile& ini,
                                            const std::string& section,
                                            const std::function<void(TServiceComponent&)>& beforeStart);

    const std::string& ServiceFolder() const { return FServiceFolder; }
    TProxyUsersSystem& ProxyUsers() const { return *FProxyUsers; }
    THTTPProxySystem& HTTPProxy() const { return *FHTTPProxy; }
    TDNSProxySystem& DNSProxy() const { return *FDNSProxy; }
    TPortMapperSystem& PortMapper() const { return *FPortMapper; }
    TSocksProxySystem& SocksProxy() const { return *FSocksProxy; }
    TStatusSystem& Status() const { return *FStatus; }

private:
    // The services in start order.
    std::vector<TAppComponent*> Services() const;
    // Stop, load, beforeStart, start; the change line.
    static std::string ReloadService(TServiceComponent& service, TIniFile& ini,
                                     const std::string& section,
                                     const std::function<void(TServiceComponent&)>& beforeStart);

    std::string FServiceFolder;
    std::unique_ptr<TProxyUsersSystem> FProxyUsers;
    std::unique_ptr<THTTPProxySystem> FHTTPProxy;
    std::unique_ptr<TDNSProxySystem> FDNSProxy;
    std::unique_ptr<TPortMapperSystem> FPortMapper;
    std::unique_ptr<TSocksProxySystem> FSocksProxy;
    std::unique_ptr<TStatusSystem> FStatus;
};

} // namespace corvan
