#include "proxy/TCPProxy.h"

namespace corvan {

namespace {

// An outbound client that owns its SOCKS5 proxy component. A proxy component records the
// clients that use it, so each connection (each thread) gets one of its own rather than
// sharing the mapper's.
class TTCPPortMapperDestClient : public TkelTCPClient {
public:
    std::unique_ptr<TkelSocks5Proxy> OwnedProxy; // destroyed first: it detaches itself
};

} // namespace

// --- TTCPPortMapper ---------------------------------------------------------------------------

TTCPPortMapper::TTCPPortMapper(const std::string& listenPort, int clientTimeout) {
    ClientMode = cmThread;
    SetListenPort(listenPort);
    ClientTimeout = clientTimeout;
    SetMaxBacklog(kTCPMapperBacklog);
}

TTCPPortMapper::~TTCPPortMapper() {
    ShutdownClients();
}

std::unique_ptr<TTCPServerClient> TTCPPortMapper::CreateClient() {
    if (OnCreateClient)
        if (std::unique_ptr<TTCPServerClient> client = OnCreateClient(this))
            return client;
    return std::make_unique<TTCPPortMapperServerClient>(this);
}

std::unique_ptr<ATCPClient> TTCPPortMapper::CreateDestClient(TTCPServerClient* client) {
    if (OnCreateDestClient)
        if (std::unique_ptr<ATCPClient> dest = OnCreateDestClient(this, client))
            return dest;
    auto dest = std::make_unique<TTCPPortMapperDestClient>();
    dest->SetHost(DestHost);
    dest->SetPort(DestPort);
    dest->TimeOut = DestTimeOut;
    dest->ReadEventTrigger = -1;
    dest->WriteBufferLimit = -1;
    if (Socks5.InUse()) {
        dest->OwnedProxy = std::make_unique<TkelSocks5Proxy>(Socks5.Trimmed());
        dest->SetProxy(dest->OwnedProxy.get());
    }
    dest->SetStreamMode(smBlockWaitMessage);
    dest->RunInThread = false;
    dest->SetActive(true); // connects, or raises why it could not
    return dest;
}

// --- TTCPPortMapperServerClient ---------------------------------------------------------------

void TTCPPortMapperServerClient::Execute() {
    auto& mapper = static_cast<TTCPPortMapper&>(*Server());
    TSocketStream& stream = *GetStream();
    // A client may end its request before the destination is reached: that end must not
    // close the connection its answer comes back on.
    stream.Socket()->SetAllowHalfClose(true);
    // The accepted connection closes at once, whichever way this ends, without waiting for
    // the main thread to free the client.
    struct TCloseNow {
        ATCPClientSocket* Socket;
        ~TCloseNow() { Socket->Close(false); }
    } closeNow{stream.Socket()};
    stream.OnCopyProgress = [this](AStream&, AStream*, AStream*, int64_t, bool& abort) {
        abort = Terminated();
    };
    if (Terminated())
        return;
    std::unique_ptr<ATCPClient> dest = mapper.CreateDestClient(this);
    if (!dest)
        return;
    struct TDeactivate {
        ATCPClient& Dest;
        ~TDeactivate() {
            try {
                if (TSocketStream* s = Dest.Stream())
                    s->Timeout = kTCPMapperCloseWaitMs;
                Dest.SetActive(false);
            } catch (const std::exception&) {
                // The connection is going anyway.
            }
        }
    } deactivate{*dest};
    if (!dest->Active()) {
        dest->SetStreamMode(smBlockWaitMessage);
        dest->RunInThread = false;
        dest->SetActive(true);
    }
    TSocketStream* destStream = dest->GetStream();
    if (!Terminated() && destStream && destStream->Connected() && stream.Connected())
        RelayTunnel(*destStream, mapper.RelayBufferSize, nullptr);
}

} // namespace corvan
