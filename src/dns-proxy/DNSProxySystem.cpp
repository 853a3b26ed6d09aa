#include "dns-proxy/DNSProxySystem.h"

namespace corvan {

void TDNSProxySystem::SettingsKeys(ASettingsKeys& keys) {
    keys.String("ServerIP", ServerIP, "");
    keys.Byte("ResolveMethod", ResolveMethod, 0, 0);
    keys.String("ResolveServer", ResolveServer, "");
    keys.Bool("RecurseServer", RecurseServer, true);
    keys.Bool("Recurse", Recurse, true);
}

} // namespace corvan
