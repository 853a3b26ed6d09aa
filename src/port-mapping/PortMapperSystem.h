#pragma once
// The port mappings: TPortMapperSystem is the list ("Proxy-PortMapper"), TPortMapSystem
// one mapping ("Proxy-PortMapper.Items.N", its up-stream record in "...Items.N-SocksProxy").
// The mappers they start are not part of this unit yet, so enabling a mapping records the
// running state only.

#include "app/ServiceComponent.h"

#include <cstdint>

namespace corvan {

class TPortMapSystem : public TServiceComponent {
public:
    ~TPortMapSystem() override;

    std::string ClassName() const override { return "TPortMapSystem"; }
    bool CanDelete() const override { return true; }

    uint8_t ServerProtocol = 3;
    int ServerPort = 0;
    std::string ServerIP;
    std::string DestHost;
    int DestPort = 0;
    TProxyServerInfo SocksProxy;

protected:
    // Enabled, ServerProtocol (one byte, 3 TCP or 4 UDP; a stored value outside 0..255
    // loads as 0, which never starts), ServerPort, ServerIP, DestHost, DestPort; then the
    // record "<section>-SocksProxy".
    void SettingsKeys(ASettingsKeys& keys) override;
    std::vector<TProxyRecord> ProxyRecords() override;
};

class TPortMapperSystem : public TAppContainerComponent {
public:
    // At most this many mappings exist; also the most one load reads.
    static constexpr int MaxMappings = 1024;

    std::string ClassName() const override { return "TPortMapperSystem"; }
    // True while fewer than MaxMappings exist.
    bool CanCreateChild() const override;
    std::unique_ptr<TAppComponent> CreateItem() override;
    int GetMaxItemCount() const override { return MaxMappings; }
};

} // namespace corvan
