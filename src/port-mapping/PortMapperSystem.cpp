#include "port-mapping/PortMapperSystem.h"

namespace corvan {

TPortMapSystem::~TPortMapSystem() = default;

void TPortMapSystem::SettingsKeys(ASettingsKeys& keys) {
    keys.Byte("ServerProtocol", ServerProtocol, 3, 0);
    keys.Integer("ServerPort", ServerPort, 0);
    keys.String("ServerIP", ServerIP, "");
    keys.String("DestHost", DestHost, "");
    keys.Integer("DestPort", DestPort, 0);
}

std::vector<TServiceComponent::TProxyRecord> TPortMapSystem::ProxyRecords() {
    return {{"-SocksProxy", &SocksProxy}};
}

bool TPortMapperSystem::CanCreateChild() const {
    return GetChildCount() < MaxMappings;
}

std::unique_ptr<TAppComponent> TPortMapperSystem::CreateItem() {
    return std::make_unique<TPortMapSystem>();
}

} // namespace corvan
