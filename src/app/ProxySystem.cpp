#include "app/ProxySystem.h"

#include "dns-proxy/DNSProxySystem.h"
#include "http-proxy/HTTPProxySystem.h"
#include "port-mapping/PortMapperSystem.h"
#include "proxy/PortMappers.h"
#include "socks-proxy/SocksProxySystem.h"
#include "users/ProxyUsersSystem.h"
#include "util/FileSystem.h"

namespace corvan {

TProxySystem::TProxySystem(const std::string& serviceFolder) : FServiceFolder(serviceFolder) {
    ForceDirectories(FServiceFolder);
    FProxyUsers = std::make_unique<TProxyUsersSystem>();
    FHTTPProxy = std::make_unique<THTTPProxySystem>(FServiceFolder, FProxyUsers.get());
    FDNSProxy = std::make_unique<TDNSProxySystem>();
    FPortMapper = std::make_unique<TPortMapperSystem>();
    // Before the settings load, so that every mapping gets it.
    FPortMapper->MapperFactory = CreatePortMapper;
    FSocksProxy = std::make_unique<TSocksProxySystem>(FServiceFolder, FProxyUsers.get());
    FSocksProxy->ServerFactory = CreateSocksProxyServer;
}

void TProxySystem::SetUserInterface(AUserInterface* ui) {
    TAppComponent::SetUserInterface(ui);
    for (TAppComponent* service : Services())
        service->SetUserInterface(ui);
}

TProxySystem::~TProxySystem() {
    FSocksProxy.reset();
    FPortMapper.reset();
    FDNSProxy.reset();
    FHTTPProxy.reset();
    FProxyUsers.reset();
}

std::vector<TAppComponent*> TProxySystem::Services() const {
    return {FHTTPProxy.get(), FDNSProxy.get(), FPortMapper.get(), FSocksProxy.get(),
            FProxyUsers.get()};
}

namespace {
// Section suffixes of the services, in the order of Services().
const char* const ServiceSuffixes[] = {"-HTTP", "-DNS", "-PortMapper", "-SocksProxy",
                                       "-ProxyUsers"};
} // namespace

void TProxySystem::LoadSettings(TIniFile& ini, const std::string& section) {
    std::vector<TAppComponent*> services = Services();
    for (size_t i = 0; i < services.size(); ++i)
        services[i]->LoadSettings(ini, section + ServiceSuffixes[i]);
}

void TProxySystem::SaveSettings(TIniFile& ini, const std::string& section) {
    std::vector<TAppComponent*> services = Services();
    for (size_t i = 0; i < services.size(); ++i)
        services[i]->SaveSettings(ini, section + ServiceSuffixes[i]);
}

void TProxySystem::Activate() {
    for (TAppComponent* service : Services())
        service->Activate();
}

void TProxySystem::Deactivate() {
    for (TAppComponent* service : Services())
        service->Deactivate();
}

} // namespace corvan
