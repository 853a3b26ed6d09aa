#include "app/ProxySystem.h"

#include "dns-proxy/DNSProxySystem.h"
#include "http-proxy/HTTPProxySystem.h"
#include "port-mapping/PortMapperSystem.h"
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
    FSocksProxy = std::make_unique<TSocksProxySystem>(FServiceFolder, FProxyUsers.get());
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

void TProxySystem::LoadSettings(TIniFile& ini, const std::string& section) {
    FHTTPProxy->LoadSettings(ini, section + "-HTTP");
    FDNSProxy->LoadSettings(ini, section + "-DNS");
    FPortMapper->LoadSettings(ini, section + "-PortMapper");
    FSocksProxy->LoadSettings(ini, section + "-SocksProxy");
    FProxyUsers->LoadSettings(ini, section + "-ProxyUsers");
}

void TProxySystem::SaveSettings(TIniFile& ini, const std::string& section) {
    FHTTPProxy->SaveSettings(ini, section + "-HTTP");
    FDNSProxy->SaveSettings(ini, section + "-DNS");
    FPortMapper->SaveSettings(ini, section + "-PortMapper");
    FSocksProxy->SaveSettings(ini, section + "-SocksProxy");
    FProxyUsers->SaveSettings(ini, section + "-ProxyUsers");
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
