#pragma once
// The DNS proxy service as a settings component ("Proxy-DNS"). It holds and persists the
// service's settings; the server it starts is not part of this unit yet, so enabling the
// service records the running state only.

#include "component/ServiceComponent.h"

#include <cstdint>

namespace corvan {

class TDNSProxySystem : public TServiceComponent {
public:
    std::string ClassName() const override { return "TDNSProxySystem"; }

    std::string ServerIP;
    uint8_t ResolveMethod = 0; // 0: the system's name lookup; 1: through ResolveServer
    std::string ResolveServer;
    bool RecurseServer = true;
    bool Recurse = true;

protected:
    // Enabled, ServerIP, ResolveMethod (one byte; a stored value outside 0..255 loads as
    // 0), ResolveServer, RecurseServer, Recurse.
    void SettingsKeys(ASettingsKeys& keys) override;
};

} // namespace corvan
