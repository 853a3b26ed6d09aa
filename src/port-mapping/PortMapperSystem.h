#pragma once
// The port mappings: TPortMapperSystem is the list ("Proxy-PortMapper"), TPortMapSystem
// one mapping ("Proxy-PortMapper.Items.N", its up-stream record in "...Items.N-SocksProxy").
// A mapping starts by asking its MapperFactory for a running mapper (PortMapperFactory.h)
// and stops by destroying it. Main thread only.

#include "component/ServiceComponent.h"
#include "proxy/PortMapperFactory.h"
#include "util/DateTime.h"

#include <cstdint>

namespace corvan {

// The socket layer's name of a protocol ordinal in upper case: "TCP", "UDP", "RAW"; empty
// for every other ordinal.
std::string ProtocolDisplayName(uint8_t protocol);

class TPortMapSystem : public TServiceComponent {
public:
    // The mapper's ClientTimeout and its outbound connections' TimeOut (three minutes).
    static constexpr int kClientTimeoutMs = 180000;

    TPortMapSystem();
    // Stops the mapper.
    ~TPortMapSystem() override;

    std::string ClassName() const override { return "TPortMapSystem"; }

    uint8_t ServerProtocol = mpTCP;
    int ServerPort = 0;
    std::string ServerIP; // bind address for TCP and UDP alike; empty: every local address
    std::string DestHost;
    int DestPort = 0;
    // Who may use the mapping (net/AllowedClients.h); empty: this machine and the local
    // networks.
    std::string AllowedClients;
    TProxyServerInfo SocksProxy;

    // Builds the running mapper. Empty: no network layer in this program, and a start
    // records the running state only. TPortMapperSystem hands its own factory to every
    // child it gets.
    TPortMapperFactory MapperFactory;
    // The local clock of the start time and up-time; tests replace it.
    std::function<TDateTime()> Clock = Now;

    // ServerPort and DestPort at least 1 and DestHost not blank.
    bool IsConfigured() const;
    // ServerProtocol is TCP or UDP: the only mappings that can start.
    bool HasKnownProtocol() const;
    // The mapper's parameters from the settings.
    TPortMapperParams MapperParams() const;
    // Whether a mapper runs (false before the factory is set, even while Active).
    bool HasMapper() const { return FMapper != nullptr; }
    // Open TCP connections; 0 when stopped or for UDP.
    int Connections() const;
    // TCP connections or UDP datagrams refused since the start; 0 when stopped.
    uint64_t RefusedCount() const;
    // Up-time text of a running mapping ("0:00:00" when stopped).
    std::string UptimeText() const;

    // Configured: protocol name, " Port ", ServerPort ("TCP Port 8080"); else "<New Mapping>".
    std::string GetDisplayName() const override;
    bool CanDelete() const override { return true; }
    // A configured mapping asks first (Yes deletes, No keeps it); an unconfigured one goes
    // without asking. The component is destroyed when deleted.
    void Delete() override;
    // The "Port Mapping Settings" dialog (TfrmPortMapSettings); on OK the values are copied
    // back and, once loaded from a file, saved at once. True only for OK.
    bool EditSettings() override;
    void UpdateDisplay() override;

    // An unknown protocol, a listening port outside 1..65535, a blank destination host or a
    // destination port outside 1..65535 (so no mapping listens on a port the system picks),
    // an AllowedClients entry that does not parse (its message).
    std::string StartRefusal() const override;
    // "Port mapping on port <ServerPort> to <DestHost>:<DestPort>".
    std::string ServiceTitle() const override;
    // "host:port" of the destination, an IPv6 address in brackets (as written or not).
    std::string DestinationText() const;

    // The confirmation text of Delete.
    std::string DeleteConfirmationText() const;
    // Why a mapping with an unknown protocol does not start (an error box's text).
    std::string UnknownProtocolText() const;

protected:
    // Raises EPortMapping with NotStartedText when StartRefusal has a reason (the mapping
    // stays stopped); otherwise gets the running mapper from MapperFactory and records the
    // start time. A factory failure passes on and leaves the mapping stopped with no mapper.
    void DoEnable() override;
    // Destroys the mapper.
    void DoDisable() override;

    // Enabled, ServerProtocol (one byte; a stored value outside 0..255 loads as 0, which
    // never starts), ServerPort, ServerIP, DestHost, DestPort, AllowedClients; then
    // "<section>-SocksProxy".
    void SettingsKeys(ASettingsKeys& keys) override;
    std::vector<TProxyRecord> ProxyRecords() override;

private:
    std::unique_ptr<APortMapper> FMapper;
    TDateTime FStartTime = 0;
};

class TPortMapperSystem : public TAppContainerComponent {
public:
    // At most this many mappings exist; also the most one load reads.
    static constexpr int kMaxMappings = 1024;

    TPortMapperSystem();

    std::string ClassName() const override { return "TPortMapperSystem"; }

    // Given to every mapping added to the list (PortMapperFactory.h). Set it before the
    // settings are loaded; changing it later reaches only mappings added afterwards.
    TPortMapperFactory MapperFactory;

    // True while fewer than kMaxMappings exist.
    bool CanCreateChild() const override;
    // A new mapping edited in its settings dialog: added on OK, discarded on Cancel (null);
    // null at once when kMaxMappings exist.
    TAppComponent* CreateChild() override;
    std::unique_ptr<TAppComponent> CreateItem() override;
    int GetMaxItemCount() const override { return kMaxMappings; }
    void ChildAdded(TAppComponent* child) override;
    void UpdateDisplay() override;

    // Mappings that run now.
    int ActiveCount() const;
};

} // namespace corvan
