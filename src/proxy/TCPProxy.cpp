#include "proxy/TCPProxy.h"

#include "net/Outbound.h"

namespace corvan {

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
    // The hook's client when it supplies one, else a connection of the mapper's own.
    std::unique_ptr<ATCPClient> supplied;
    if (mapper.OnCreateDestClient)
        supplied = mapper.OnCreateDestClient(&mapper, this);
    TOutboundConnection own;
    if (supplied && !supplied->Active()) {
        supplied->SetStreamMode(smBlockWaitMessage);
        supplied->RunInThread = false;
        supplied->SetActive(true);
    } else if (!supplied) {
        TOutboundOptions options;
        options.TimeOut = mapper.DestTimeOut;
        own = OpenOutbound({mapper.DestHost, mapper.DestPort, mapper.Socks5, {}}, options);
    }
    TSocketStream* dest = supplied ? supplied->GetStream() : own.Stream.get();
    struct TCloseGracefully {
        ATCPClient* Supplied;
        TSocketStream* Dest;
        ~TCloseGracefully() {
            try {
                if (Dest)
                    Dest->Timeout = kTCPMapperCloseWaitMs;
                if (Supplied)
                    Supplied->SetActive(false);
                else if (Dest)
                    Dest->Close();
            } catch (const std::exception&) {
                // The connection is going anyway.
            }
        }
    } closeGracefully{supplied.get(), dest};
    if (!Terminated() && dest && dest->Connected() && stream.Connected())
        RelayTunnel(*dest, mapper.RelayBufferSize, nullptr);
}

} // namespace corvan
