#pragma once
// The DNS proxy service as a settings component ("Proxy-DNS"). It holds and persists the
// service's settings; the server it starts is not part of this unit yet, so enabling the
// service records the running state only.

#include "app/ServiceComponent.h"

#include <cstdint>

namespace corvan {

class TDNSProxySystem : public TServiceComponent {
public:
    ~TDNSProxySystem() override;

    std::string ClassName() const override { return "TDNSProxySystem"; }
    // Keys in order: Enabled, ServerIP, ResolveMethod (one byte; a stored value outside
    // 0..255 loads as 0), ResolveServer, RecurseServer, Recurse.
    void LoadSettings(TIniFile& ini, const std::string& section) override;
    void SaveSettings(TIniFile& ini, const std::string& section) override;

    std::string ServerIP;
    uint8_t ResolveMethod = 0; // 0: the system's name lookup; 1: through ResolveServer
    std::string ResolveServer;
    bool RecurseServer = true;
    bool Recurse = true;
};

} // namespace corvan
