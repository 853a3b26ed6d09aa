#pragma once
// The DNS proxy service's views as models: its status frame and its settings dialog.

#include "component/EditorFrames.h"
#include "component/StatusFrame.h"
#include "component/UserInterface.h"

#include <vector>

namespace corvan {

class TDNSProxySystem;

// "DNS Proxy Server active." or "DNS Proxy Server not active."; Request Count, Up-Time,
// Refused Clients, Cache Hits and Cached Names ("-" while stopped); Enable, Disable, Settings...;
// picture blue running, gray stopped.
class TframeDNSProxyStatus : public AStatusFrame {
public:
    explicit TframeDNSProxyStatus(TDNSProxySystem& service);
    void Update(const TDNSProxySystem& service);
};

// The "DNS Proxy Settings" dialog (tabs Server and Resolver). The port field is text: empty,
// malformed or outside 1..65535 reads back as 53.
class TfrmDNSProxySettings : public ASettingsForm {
public:
    static constexpr int kFallbackPort = 53;
    static constexpr const char* kMethodSystemCaption = "Use WinSock to resolve names.";
    static constexpr const char* kMethodServerCaption = "Resolve names through another DNS server.";
    static constexpr const char* kServerCaption = "DNS Server:";
    static constexpr const char* kServerPortCaption = "Port:";
    static constexpr const char* kRecurseServerCaption = "Request recursive lookups from server.";
    static constexpr const char* kRecurseCaption = "Do recursive lookups.";
    static constexpr const char* kPortCaption = "Port:";
    // "DNS Server:" takes a host name or address and an optional ":port".
    static constexpr size_t kMaxResolveServerLength = TframeEditProxyServer::kMaxHostLength + 6;
    // Keystrokes of "DNS Server:": no blanks (a host name has none).
    static bool ResolveServerKeyAccepted(char c) { return c != ' '; }

    std::string Caption() const override { return "DNS Proxy Settings"; }
    std::vector<std::string> Tabs() const { return {"Server", "Resolver"}; }

    TframeEditServerIP ServerIP;
    std::string ServerPort;
    uint8_t ResolveMethod = 0; // 0 or 1: which of the two choices is selected
    std::string ResolveServer;
    bool RecurseServer = true;
    bool Recurse = true;
    TframeEditAllowedClients AllowedClients;

    // The server field and both check boxes matter only for method 1.
    bool ResolverFieldsEnabled() const { return ResolveMethod == 1; }

    void LoadFrom(const TDNSProxySystem& service);
    // OK: copies every field back into the service.
    void SaveTo(TDNSProxySystem& service) const;
    std::string ValidationError() const override { return AllowedClients.ValidationError(); }
};

} // namespace corvan
