#pragma once
// The port mappings' views as models: the list's status frame, a mapping's status frame and
// the mapping's settings dialog.

#include "component/EditorFrames.h"
#include "component/StatusFrame.h"
#include "component/UserInterface.h"

#include <vector>

namespace corvan {

class TPortMapSystem;
class TPortMapperSystem;

// The list's view: "No mappings configured." or "<n> mapping(s) defined." over
// "<m> mapping(s) active.".
class TframePortMapperStatus : public AStatusFrame {
public:
    TframePortMapperStatus();
    void Update(const TPortMapperSystem& list);
};

// A mapping's view: a heading; Destination, Up-Time, Connections, Refused Clients; Enable, Disable,
// Settings..., Delete; the state picture. The buttons act on the mapping given here, which
// must outlive every click (the window stops clicking once the mapping is removed).
class TframePortMapStatus : public AStatusFrame {
public:
    explicit TframePortMapStatus(TPortMapSystem& mapping);
    void Update(const TPortMapSystem& mapping);
};

// The "Port Mapping Settings" dialog. Port fields are text: a port of 0 shows empty, and
// text that is empty, not a number or outside 0..65535 reads back as 0 (the mapping is then
// not configured and says so). "Allowed clients:" (on the Server tab) must parse, or OK is
// not taken.
class TfrmPortMapSettings : public ASettingsForm {
public:
    // The protocol list: index 0 "TCP" (stored as 3), index 1 "UDP" (stored as 4).
    static const std::vector<std::string>& ProtocolItems();

    std::string Caption() const override { return "Port Mapping Settings"; }
    // The tabs shown. Per-connection bandwidth limits and a log file have no effect on a
    // mapping, so their tabs are not offered.
    std::vector<std::string> Tabs() const { return {"Server", "Destination", "Proxy"}; }

    // -1 when the stored protocol is neither TCP nor UDP: nothing is selected and OK keeps
    // the stored value unless the user picks one.
    int ProtocolIndex = 0;
    std::string ServerPort;
    TframeEditServerIP ServerIP; // used by TCP and UDP mappings alike
    TframeEditAllowedClients AllowedClients;
    std::string DestHost;
    std::string DestPort;
    bool UseSocksProxy = false; // "Use a Socks5 proxy for outbound connections."
    TframeEditProxyServer SocksProxy;

    void LoadFrom(const TPortMapSystem& mapping);
    // OK: copies every field back into the mapping.
    void SaveTo(TPortMapSystem& mapping) const;
    // The check box enables or greys the proxy group.
    void SetUseSocksProxy(bool value);
    std::string ValidationError() const override { return AllowedClients.ValidationError(); }

    // A port field's text: "" for 0.
    static std::string PortText(int port);
    // A port field's value: 0 for empty, malformed or out-of-range text.
    static int ParsePort(const std::string& text);
};

} // namespace corvan
