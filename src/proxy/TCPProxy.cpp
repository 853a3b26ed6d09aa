#include "proxy/TCPProxy.h"

#include "net/OwnConnections.h"
#include "net/Outbound.h"
#include "util/Strings.h"
#include "util/Ticks.h"

#include <climits>

namespace corvan {

namespace {

// A connect that failed, in the words the client thread's log gives it (OpenOutbound's
// failure after "Client execute error: ").
void LogConnectFailure(TTCPServerClient* client, int error, bool expired) {
    client->Log(ltError, std::string("Client execute error: ") +
                             (expired ? "Connect timed out"
                                      : "Connect failed: " + SocketErrorMessage(error)));
}

// The connection served has come round through this program's own mappings so often that they
// lead round in a loop: it is refused (logged) rather than passed on once more.
bool GoesRound(TTCPPortMapper& mapper, TTCPServerClient* client) {
    if (ServedPasses() < kMappingLoopPasses)
        return false;
    client->Log(ltError, "Client execute error: " + TMappingLoopLog::Text("Loop refused"));
    mapper.LoopLog.Tell("Connection from " + SocketAddrStr(client->RemoteAddr()) + " refused",
                        MonotonicMillis());
    return true;
}

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

bool TTCPPortMapper::ServesOnRelayLoops() {
    // Anything that may block, or that a hook does per connection, needs a thread.
    if (OnCreateDestClient || OnCreateClient || OnClientExecute || Socks5.InUse() ||
        !CloseRefusedAtAccept || !IsIPLiteral(std::string(TrimBlanks(DestHost)), FDestAddr))
        return false;
    int port = ParseIntDef(TrimBlanks(DestPort), -1);
    if (port < 1 || port > 65535)
        return false;
    FDestAddr.Port = static_cast<uint16_t>(port);
    return true;
}

bool TTCPPortMapper::LoopOutbound(TTCPServerClient* client, TRelayEnd& outbound,
                                  TRelayEndHook& onEnd, int& bufferSize) {
    bufferSize = RelayBufferSize;
    if (GoesRound(*this, client))
        return false;
    TSocketHandle h;
    try {
        h = AllocateSocketHandle(FDestAddr.AddrFamily, TIPProtocol::ipTCP, true);
    } catch (const ESocketLib& e) {
        // The code a client thread's connect attempt gives the same failure.
        LogConnectFailure(client, e.ErrorCode != 0 ? e.ErrorCode : WSAEINVAL, false);
        return false;
    }
    bool own = false;
    if (ConnectOwnConnection(h, FDestAddr, own) != 0) {
        int error = SocketGetLastError();
        if (error != WSAEWOULDBLOCK && error != WSAEINPROGRESS) {
            if (own)
                UnregisterOwnConnection(h);
            SocketClose(h);
            LogConnectFailure(client, error, false);
            return false;
        }
    }
    outbound.Handle = h;
    outbound.OwnConnection = own;
    outbound.Connecting = true;
    outbound.ConnectTimeoutMs = DestTimeOut;
    outbound.TimeoutMs = DestTimeOut;
    onEnd = [client](const TRelayTotals& totals) {
        if (totals.ConnectError != 0)
            LogConnectFailure(client, totals.ConnectError, totals.ConnectExpired);
    };
    return true;
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
    if (Terminated() || GoesRound(mapper, this))
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
        options.ConnectUnwatched = true; // a relay takes it as it stands
        // As on a relay loop: a client reset before it sent a byte has nothing to carry and
        // ends the connect; one that sent bytes, or only ended its sending, is carried once
        // the connection stands (an end does not bring the connect's deadline forward).
        options.Client = stream.Socket();
        options.EndedClientWaitMs = INT_MAX;
        options.ClientBytesOutliveIt = true;
        try {
            own = OpenOutbound({mapper.DestHost, mapper.DestPort, mapper.Socks5, {}}, options);
        } catch (const EOutbound& e) {
            if (e.ClientReset)
                return; // the client left: nobody to tell, as on a relay loop
            throw;
        }
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
