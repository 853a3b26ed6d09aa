#include "proxy/UDPProxy.h"

#include "util/Ticks.h"

#include <algorithm>
#include <map>
#include <mutex>

namespace corvan {

namespace {
bool SameSource(const TSocketAddr& a, const TSocketAddr& b) {
    return a.AddrFamily == b.AddrFamily && a.Addr == b.Addr && a.Port == b.Port;
}

// This program's association sockets, by family and local port, with the passes their
// datagrams carry (1 + those of the source they forward for): a datagram sent from one of them
// has come through one of this program's mappings already. OwnDatagramPortsLock guards the
// table; a leaf lock (the mappers of the program share the main thread, tests use others).
// Leaked, so that a mapper closed during static destruction still finds it.
struct TOwnDatagramPorts {
    std::mutex OwnDatagramPortsLock;
    std::map<std::pair<TIPAddressFamily, uint16_t>, int> Passes;
};
TOwnDatagramPorts& OwnDatagramPorts() {
    static TOwnDatagramPorts* t = new TOwnDatagramPorts;
    return *t;
}

// The passes of a datagram from source: those of the association it was sent from, when that
// is one of this program's (from an address of this machine); else 0.
int DatagramPasses(const TSocketAddr& source) {
    TSocketAddr from = UnmapIP4(source);
    int passes;
    {
        TOwnDatagramPorts& t = OwnDatagramPorts();
        std::lock_guard lock(t.OwnDatagramPortsLock);
        auto it = t.Passes.find({from.AddrFamily, from.Port});
        if (it == t.Passes.end())
            return 0;
        passes = it->second;
    }
    // Asked only now: this takes a system call or two, and most sources are not ours.
    return IsThisMachineClient(from) ? passes : 0;
}
} // namespace

TUDPPortMapperClient::TUDPPortMapperClient(TUDPPortMapper& mapper) : FMapper(mapper) {
    BufferPackets = false;
    MaxBufferedPackets = 0;
    MaxPacketSize = kUDPMapperPacketSize;
}

TUDPPortMapperClient::~TUDPPortMapperClient() {
    if (FOwnPort == 0)
        return;
    TOwnDatagramPorts& t = OwnDatagramPorts();
    std::lock_guard lock(t.OwnDatagramPortsLock);
    for (TIPAddressFamily family : {TIPAddressFamily::iaIP4, TIPAddressFamily::iaIP6})
        if (FOwnFamily == family || FOwnBothFamilies)
            t.Passes.erase({family, FOwnPort});
}

void TUDPPortMapperClient::EnterOwnPort(int passes) {
    TSocketAddr local;
    if (SocketGetSockName(SocketHandle(), local) != 0)
        return;
    local = UnmapIP4(local);
    // Bound to the IPv6 any address, the socket takes both families: it sends to an IPv4
    // address written mapped into IPv6 from the same port number, which the system holds for
    // it in IPv4 as well.
    bool both = local.AddrFamily == TIPAddressFamily::iaIP6 && IsUnspecified(local);
    TOwnDatagramPorts& t = OwnDatagramPorts();
    std::lock_guard lock(t.OwnDatagramPortsLock);
    t.Passes[{local.AddrFamily, local.Port}] = passes;
    if (both)
        t.Passes[{TIPAddressFamily::iaIP4, local.Port}] = passes;
    FOwnFamily = local.AddrFamily;
    FOwnBothFamilies = both;
    FOwnPort = local.Port;
}

void TUDPPortMapperClient::TriggerPacketAvailable() {
    FMapper.RelayReplies(*this);
}

TUDPPortMapper::TUDPPortMapper() {
    BufferPackets = false;
    MaxBufferedPackets = 0;
    MaxPacketSize = kUDPMapperPacketSize;
    FIdleTimer.OnTimer = [this](TTimerHandle*) { ExpireIdle(MonotonicMillis()); };
}

TUDPPortMapper::~TUDPPortMapper() {
    CloseAssociations();
}

void TUDPPortMapper::SetActive(bool value) {
    if (!value) {
        CloseAssociations();
        ForgetDestination();
        AUDPSocket::SetActive(false); // cancels a pending lookup: its answer is dropped
        return;
    }
    AUDPSocket::SetActive(true);
    PrepareDestination(MonotonicMillis());
}

bool TUDPPortMapper::DestAddress(TSocketAddr& address) const {
    address = FAddress;
    return FHaveAddress;
}

bool TUDPPortMapper::DestAddress(uint32_t& address) const {
    address = FAddress.AddrIP4();
    return FHaveAddress;
}

void TUDPPortMapper::PrepareDestination(int64_t now) {
    if (FHaveAddress || DestLookupPending())
        return;
    TSocketAddr literal;
    if (IsIPLiteral(DestHost, literal)) {
        FAddress = literal;
        FHaveAddress = true;
        FLiteralAddress = true;
        return;
    }
    // Looked up before the first datagram, so that it seldom has to wait.
    if (!DestHost.empty() && !RetryWaitRunning(now))
        StartDestLookup(now);
}

void TUDPPortMapper::ForgetDestination() {
    FHaveAddress = false;
    FLiteralAddress = false;
    FAddress = {};
    FLastFailure = -1;
    FDropped += FWaiting.size();
    FWaiting.clear();
}

bool TUDPPortMapper::RetryWaitRunning(int64_t now) const {
    return FLastFailure >= 0 && now - FLastFailure < RetryIntervalMs;
}

void TUDPPortMapper::StartDestLookup(int64_t now) {
    if (FDelivering)
        return;
    try {
        StartHostLookup(DestHost, kUDPMapperLookupMethod, true);
    } catch (const std::exception&) {
        // No worker thread to be had, say: as good as a failed lookup.
        LookupFailed(now);
    }
}

void TUDPPortMapper::RefreshIfDue(int64_t now) {
    if (FLiteralAddress || DestLookupPending() || now - FAddressTime < RefreshIntervalMs ||
        RetryWaitRunning(now))
        return;
    StartDestLookup(now);
}

void TUDPPortMapper::LookupFailed(int64_t now) {
    FLastFailure = now;
    FDropped += FWaiting.size();
    FWaiting.clear();
}

void TUDPPortMapper::DoHostResolvedAll(int error, const std::string& host,
                                       const TSocketAddrArray& addresses) {
    if (host != DestHost || Terminated())
        return;
    int64_t now = MonotonicMillis();
    const TSocketAddr* address = error == 0 ? PreferredDatagramAddress(addresses) : nullptr;
    if (address == nullptr) {
        // A known address stays in use; only the waiting datagrams are lost.
        LookupFailed(now);
        return;
    }
    FAddress = *address;
    FAddress.Port = 0;
    FHaveAddress = true;
    FAddressTime = now;
    FLastFailure = -1;
    std::deque<TWaitingDatagram> waiting = std::move(FWaiting);
    FWaiting.clear();
    FDelivering = true;
    try {
        for (const TWaitingDatagram& datagram : waiting)
            Forward(datagram.Source, datagram.Data.data(), static_cast<int>(datagram.Data.size()),
                    now);
    } catch (...) {
        FDelivering = false;
        throw;
    }
    FDelivering = false;
}

TUDPPortMapperClient* TUDPPortMapper::FindAssociation(const TSocketAddr& source) const {
    for (const auto& client : FClients)
        if (SameSource(client->SourceAddress, source))
            return client.get();
    return nullptr;
}

TDatagramRead ReadWholeDatagram(AUDPSocket& socket, std::vector<char>& buffer, TSocketAddr& from,
                                int& len) {
    buffer.resize(static_cast<size_t>(std::max(socket.MaxPacketSize, 1)));
    try {
        if (!socket.ReadPacket(buffer.data(), static_cast<int>(buffer.size()), from, len))
            return TDatagramRead::None;
    } catch (const ESocket&) {
        return TDatagramRead::Failed;
    }
    // Nothing is queued, so the datagram came from the system, which flagged a cut one.
    return socket.ErrorCode() == WSAEMSGSIZE ? TDatagramRead::Cut : TDatagramRead::Whole;
}

bool TUDPPortMapper::ReadWhole(AUDPSocket& socket, TSocketAddr& from, int& len, bool& skipped) {
    TDatagramRead read = ReadWholeDatagram(socket, FDatagram, from, len);
    if (read == TDatagramRead::Cut)
        ++FDropped;
    skipped = read == TDatagramRead::Cut || read == TDatagramRead::Failed;
    return read != TDatagramRead::None;
}

void TUDPPortMapper::TriggerPacketAvailable() {
    AUDPSocket::TriggerPacketAvailable();
    for (int i = 0; i < kUDPMapperBurst; ++i) {
        if (Terminated())
            return;
        TSocketAddr source;
        int len = 0;
        bool skipped = false;
        if (!ReadWhole(*this, source, len, skipped))
            return;
        if (skipped || (Admission && !Admission->Admit(source)))
            continue;
        Forward(source, FDatagram.data(), len, MonotonicMillis());
    }
    // More may wait: continue after the other sockets of the thread had their turn.
    PostSocketEvent(READY_READ);
}

void TUDPPortMapper::Forward(const TSocketAddr& source, const char* data, int len, int64_t now) {
    TUDPPortMapperClient* client = FindAssociation(source);
    if (client == nullptr) {
        if (!FHaveAddress) {
            Wait(source, data, len, now);
            return;
        }
        int passes = DatagramPasses(source);
        if (passes >= kMappingLoopPasses) {
            // Passed on once more, it would come round again, each time on a new socket.
            ++FDropped;
            LoopLog.Tell("Datagram from " + SocketAddrStr(source) + " port " +
                             std::to_string(source.Port) + " dropped",
                         now);
            return;
        }
        RefreshIfDue(now);
        try {
            client = &CreateAssociation(source, now, passes + 1);
        } catch (const ESocket&) {
            // No socket to be had (descriptors ran out) or the port does not resolve.
            ++FDropped;
            return;
        }
    }
    Touch(*client, now);
    try {
        client->Send(data, len);
    } catch (const ESocket&) {
        // The system refused the datagram: it is lost, the association goes on.
    }
}

void TUDPPortMapper::Wait(const TSocketAddr& source, const char* data, int len, int64_t now) {
    bool pending = DestLookupPending();
    if (!pending && (DestHost.empty() || RetryWaitRunning(now))) {
        ++FDropped;
        return;
    }
    // Queued before the lookup starts, so that even an answer given at once keeps the order.
    if (FWaiting.size() < MaxWaitingDatagrams)
        FWaiting.push_back(TWaitingDatagram{source, std::string(data, static_cast<size_t>(len))});
    else
        ++FDropped;
    if (!pending)
        StartDestLookup(now);
}

TUDPPortMapperClient& TUDPPortMapper::CreateAssociation(const TSocketAddr& source, int64_t now,
                                                        int passes) {
    if (MaxAssociations > 0 && FClients.size() >= MaxAssociations) {
        auto oldest =
            std::min_element(FClients.begin(), FClients.end(),
                             [](const auto& a, const auto& b) { return a->LastUse < b->LastUse; });
        CloseAssociation(oldest->get());
    }
    auto client = std::make_unique<TUDPPortMapperClient>(*this);
    client->SourceAddress = source;
    client->MaxPacketSize = MaxPacketSize;
    client->LastActivity = now;
    client->SetHost(DestHost);
    client->SetPort(DestPort);
    // Bound to the any address of the destination's family, so that the socket is of that
    // family (no local address would make one IPv6 socket for both).
    client->SetLocalHost(FAddress.AddrFamily == TIPAddressFamily::iaIP6 ? "::" : "0.0.0.0");
    client->SetActive(true);
    client->EnterOwnPort(passes);
    // The mapper's address: the association's Send never looks anything up.
    client->ResolveTo(FAddress);
    FClients.push_back(std::move(client));
    if (FSweepDue < 0)
        ScheduleSweep(now);
    return *FClients.back();
}

void TUDPPortMapper::RelayReplies(TUDPPortMapperClient& client) {
    for (int i = 0; i < kUDPMapperBurst; ++i) {
        if (Terminated() || client.Terminated())
            return;
        TSocketAddr from;
        int len = 0;
        bool skipped = false;
        if (!ReadWhole(client, from, len, skipped))
            return;
        // Skipped: an ICMP error for an earlier datagram (the destination port was closed,
        // say) or a datagram too long; that one is lost, the association goes on.
        if (skipped)
            continue;
        Touch(client, MonotonicMillis());
        try {
            SendTo(client.SourceAddress, FDatagram.data(), len);
        } catch (const ESocket&) {
            // Only without the send queue; the answer is lost.
        }
    }
    client.PostSocketEvent(READY_READ);
}

void TUDPPortMapper::Touch(TUDPPortMapperClient& client, int64_t now) {
    client.LastActivity = now;
    client.LastUse = ++FUseCount;
}

void TUDPPortMapper::CloseAssociation(TUDPPortMapperClient* client) {
    auto it = std::find_if(FClients.begin(), FClients.end(),
                           [client](const auto& c) { return c.get() == client; });
    if (it == FClients.end())
        return;
    std::unique_ptr<TUDPPortMapperClient> closing = std::move(*it);
    FClients.erase(it);
    closing->SetActive(false);
}

void TUDPPortMapper::CloseAssociations() {
    std::vector<std::unique_ptr<TUDPPortMapperClient>> closing = std::move(FClients);
    FClients.clear();
    for (auto& client : closing)
        client->SetActive(false);
    closing.clear();
    FIdleTimer.SetTimerActive(false);
    FSweepDue = -1;
}

void TUDPPortMapper::ExpireIdle(int64_t now) {
    if (IdleTimeoutMs > 0) {
        std::erase_if(FClients, [&](const std::unique_ptr<TUDPPortMapperClient>& client) {
            if (now - client->LastActivity < IdleTimeoutMs)
                return false;
            client->SetActive(false);
            return true;
        });
    }
    ScheduleSweep(now);
}

void TUDPPortMapper::ScheduleSweep(int64_t now) {
    FIdleTimer.SetTimerActive(false);
    FSweepDue = -1;
    if (IdleTimeoutMs <= 0 || FClients.empty())
        return;
    int64_t oldest = FClients.front()->LastActivity;
    for (const auto& client : FClients)
        oldest = std::min(oldest, client->LastActivity);
    FSweepDue = oldest + IdleTimeoutMs;
    // At least 1 ms: a due sweep runs on the next tick, not in a loop.
    FIdleTimer.SetTimerInterval(static_cast<int>(std::max<int64_t>(FSweepDue - now, 1)));
    FIdleTimer.SetTimerActive(true);
}

} // namespace corvan
