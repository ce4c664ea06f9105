#pragma once

#include "NetBuffer.h"
#include "SocketThread.h"
#include "TlsEngine.h"

#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <sys/types.h>
#include <vector>

// The socket transport: one outgoing TCP connection per TMySocket, run by a worker
// thread. Every event reaches the owner on the GUI thread while the worker waits for
// the handler to return.

enum TErrorType {
    ERR_SOCKET,
    ERR_INTERNAL,
    ERR_WARNING,
    ERR_PROXY,
    ERR_PROTOCOL,
    ERR_CONNTIMEOUT,
    ERR_LOGIN,
};

enum TProxyType {
    P_NONE,
    P_SOCKS4,
    P_SOCKS5,
    P_HTTPS,
    P_HTTP,
};

using TNotifyEvent = std::function<void(TObject* Sender)>;
using TOnError =
    std::function<void(TObject* Sender, TErrorType ErrorType, const QString& ErrorMsg)>;
// Buffer is valid only until the handler returns; copy what you keep.
using TOnReceive = std::function<void(TObject* Sender, const void* Buffer, uint32_t BufLen)>;
using TOnRecv =
    std::function<void(TObject* Sender, int Socket, const void* Buffer, uint32_t BufLen)>;
using TOnAdvPktParse =
    std::function<void(TObject* Sender, const void* Buffer, uint32_t BufLen, bool Incoming)>;
using TOnTlsError = std::function<void(TObject* Sender, const QString& Reason)>;

// The connection and the worker loop. Create it with std::make_shared (see
// TSocketThread). All public operations are called on the GUI thread.
class TCustomSocket : public TSocketThread {
public:
    // One recv delivers at most this many bytes in one receive event.
    static constexpr uint32_t ReceiveBufferSize = 131070;
    // More than this waiting to be sent is a lost connection: a peer that asks for
    // answers faster than it takes them must not make the queue grow without end.
    static constexpr uint64_t MaxQueuedBytes = 1024 * 1024;
    // TCP keep-alive and user time-out of every connection, so that a link that died
    // without a reset is found by the kernel too, and unacknowledged data cannot sit
    // for the kernel's default of about 15 minutes.
    static constexpr int KeepAliveIdleSeconds = 60;
    static constexpr int KeepAliveIntervalSeconds = 10;
    static constexpr int KeepAliveProbes = 3;
    static constexpr int UserTimeoutMs = 30000;
    // How long a close after sending waits for the peer to close its side.
    static constexpr int CloseLingerMs = 2000;

    // How host names are looked up; tests put a lookup of their own here.
    using TResolver = int32_t (*)(const QString& Host, int* Error);

    TCustomSocket();
    ~TCustomSocket() override;

    // Opens a socket and starts the worker, which resolves Host and connects to Port.
    // Does nothing while Working, or once the worker has been started. When the socket
    // cannot be opened, DoError is raised here, directly, and the worker never starts.
    void Connect();
    // Adopts an already connected socket and starts the worker without connecting.
    // The worker closes the socket when it ends.
    void StartWork(int Socket);
    // Queues a copy of Len bytes (at most 65,535 per call) and wakes the worker, which
    // sends them at once. Nothing happens for Len 0, once the connection has ended or
    // been closed, or after the queue has overflowed. Data that would take the queue
    // beyond MaxQueuedBytes is not queued: the worker reports the connection as lost
    // (DoDisconnect).
    void SendData(const void* Buffer, uint32_t Len);
    // Requests termination, shuts the socket down (which stops the worker without
    // another event) and clears Working. Connected is not cleared.
    void Close();
    // Sends what is queued, then closes the connection: the worker shuts its sending
    // side down, waits up to CloseLingerMs for the peer to close and ends. From the
    // call on, SendData queues nothing and the worker raises no event but DoDataSent.
    void CloseWhenSent();
    bool ClosingWhenSent() const { return FCloseWhenSent.load(); }
    // Bytes queued and not yet sent.
    uint64_t Queued();
    // The worker has ended (after an event, a close or an error).
    bool Ended() const { return FEnded.load(); }
    // Asks the worker to run a TLS handshake before it reads or sends anything more;
    // from then on every byte goes through TLS. Call it from a receive event, with
    // nothing queued. The outcome arrives as DoTlsReady or DoTlsFailed.
    void StartTls(const TTlsSettings& Settings);

    bool Working() const { return FWorking.load(); }
    // Set once the connection has been established; nothing clears it again.
    bool Connected() const { return FConnected.load(); }
    // Queued sending: SendData only queues and the worker sends. Always true.
    bool Assync() const { return FAssync; }
    // The host the worker connects to: a dotted IPv4 address or a host name.
    QString Host() const;
    void SetHost(const QString& Value);
    uint16_t Port() const { return FPort.load(); }
    void SetPort(uint16_t Value) { FPort.store(Value); }
    // The socket handle; -1 when there is none (before Connect, and after Close).
    int Socket() const { return FSocket.load(); }
    // The IPv4 address (network byte order) that the lookup of Host gave; -1 when it
    // failed or has not run.
    int32_t Ip() const { return FIp.load(); }
    // The error code of the last failure: errno for socket calls; for a failed host
    // lookup, the getaddrinfo code without its sign.
    uint16_t LastError() const { return FLastError.load(); }

    // Looks a host up: a dotted IPv4 address is taken as it is, anything else is
    // resolved (IPv4, first address). Returns the address in network byte order, or -1
    // (all bits set) when there is none; Error then holds the lookup's code.
    static int32_t ResolveHost(const QString& Host, int* Error = nullptr);
    // Replaces the lookup (nullptr restores ResolveHost). For tests.
    static void SetResolver(TResolver Resolver);

protected:
    void Execute() override;
    void Stop() override;

    // The event slots, run on the GUI thread. The base closes the socket on a
    // failure or a disconnect and does nothing otherwise.
    virtual void DoError();
    virtual void DoConnect();
    virtual void DoConnectError();
    virtual void DoDisconnect();
    virtual void DoReceive();
    virtual void DoDataSent();
    // The handshake asked for by StartTls is done; FTlsFailure is empty.
    virtual void DoTlsReady();
    // The handshake failed (FTlsFailure says why, in Czech); the base closes the socket.
    virtual void DoTlsFailed();

    // The data delivered by DoReceive.
    const void* Buffer = nullptr;
    uint32_t BufLen = 0;
    QString FLastErrMsg;
    QString FTlsFailure;

private:
    // Everything the worker does on Socket; the caller closes it afterwards.
    void Work(int Socket);
    // Connects Socket to Ip and Port; false (with LastError set) when that failed or
    // termination was requested meanwhile.
    bool ConnectSocket(int Socket, int32_t Ip);
    // Looks Host up on a thread of its own and waits for it or for termination, so
    // that a hung name server never holds the worker (and the process) back.
    int32_t LookUp(int* Error);
    enum class TReceived { Data, Nothing, End };
    // One recv and what follows it: whether it gave data, nothing (the socket is
    // empty for now), or the worker must end.
    TReceived ReceiveOnce(int Socket);
    // Sends queued data until the socket takes no more; false when the worker must end.
    bool FlushSendQueue(int Socket);
    // The end of a CloseWhenSent: shuts sending down and waits for the peer's close.
    void Linger(int Socket);
    // Reports the connection as lost, unless termination was requested.
    void Lost(int Error);
    void WakeWorker();
    void DrainWakeUp();
    // The transport under the worker: plain recv/send, or through TLS once it runs.
    // Same results as recv/send; with TLS a receive may give -1 with EAGAIN when the
    // bytes held no application data yet.
    ssize_t TransportRecv(int Socket, char* Data, size_t Size);
    ssize_t TransportSend(int Socket, const char* Data, size_t Size);
    // Runs the handshake that StartTls asked for, if any; false when the worker must
    // end (failed, closed, or termination requested).
    bool RunPendingTls(int Socket);
    // Sends what TLS has produced; false on a socket error. With Wait it returns once
    // everything has left, otherwise when the socket takes no more.
    bool SendTlsOutput(int Socket, bool Wait);
    // Whether TLS records wait to be sent.
    bool TlsOutputPending() const;
    // One recv straight into the TLS engine's input; same results as recv.
    ssize_t ReceiveIntoTls(int Socket);

    // Set by StartTls, taken by the worker: handed over whole, without a lock the worker
    // would take on every pass.
    std::atomic<TTlsSettings*> FTlsRequest{nullptr};
    std::unique_ptr<TTlsEngine> FTls; // the worker's, once the handshake is done

    std::atomic<int> FSocket{-1};
    std::atomic<int32_t> FIp{-1};
    bool FDoConnect = false;
    std::atomic<bool> FWorking{false};
    std::atomic<bool> FConnected{false};
    std::atomic<bool> FEnded{false};
    std::atomic<bool> FOverflow{false};
    std::atomic<bool> FCloseWhenSent{false};
    const bool FAssync = true;
    TNetBuffer FBuffer;
    bool FDataSentEvent = false; // guarded by FBuffer's lock
    QString FHost;
    std::atomic<uint16_t> FPort{0};
    std::atomic<uint16_t> FLastError{0};

    // Guards FHost, which the worker reads, and the socket handle between Close and
    // the worker's final close, so that Close never shuts down a handle whose number
    // may already have been reused.
    mutable std::mutex FHandleLock;
    int FWorkerSocket = -1; // the handle the worker owns and closes when it ends
    int FWakeUp = -1;       // eventfd that SendData and Close signal
    std::vector<char> FReceiveBuffer;
};

// Destination and proxy settings. No proxy protocol is spoken: the worker connects to
// ProxyHost/ProxyPort (the inherited Host/Port), which the facade sets to its target.
class TProxySocket : public TCustomSocket {
public:
    TProxySocket() = default;

    // At this level Host and Port name the destination.
    QString Host() const;
    void SetHost(const QString& Value);
    uint16_t Port() const { return FDestPort; }
    void SetPort(uint16_t Value) { FDestPort = Value; }
    // The host and port the worker resolves and connects to.
    QString ProxyHost() const { return TCustomSocket::Host(); }
    void SetProxyHost(const QString& Value) { TCustomSocket::SetHost(Value); }
    uint16_t ProxyPort() const { return TCustomSocket::Port(); }
    void SetProxyPort(uint16_t Value) { TCustomSocket::SetPort(Value); }
    // Stored only.
    QString ProxyUser() const { return FProxyUser; }
    void SetProxyUser(const QString& Value) { FProxyUser = Value; }
    QString ProxyPass() const { return FProxyPass; }
    void SetProxyPass(const QString& Value) { FProxyPass = Value; }
    bool ProxyAuth() const { return FProxyAuth; }
    void SetProxyAuth(bool Value) { FProxyAuth = Value; }
    // While false, no connect and no receive event reaches the owner.
    bool ProxyReady() const { return FProxyReady; }
    void SetProxyReady(bool Value) { FProxyReady = Value; }
    // Look the destination up on the worker before connecting; a failure there is not
    // reported.
    bool ProxyResolve() const { return FProxyResolve.load(); }
    void SetProxyResolve(bool Value) { FProxyResolve.store(Value); }
    // The destination's address from that lookup; -1 when it failed or did not run.
    int32_t DestIp() const { return FDestIp.load(); }

protected:
    void Execute() override;

private:
    QString FDestHost; // guarded by FDestLock: the worker reads it
    mutable std::mutex FDestLock;
    std::atomic<int32_t> FDestIp{-1};
    uint16_t FDestPort = 0;
    QString FProxyUser;
    QString FProxyPass;
    bool FProxyAuth = false;
    bool FProxyReady = false;
    std::atomic<bool> FProxyResolve{false};
};

// Events as handlers, each raised on the GUI thread with this object as Sender, only
// when set.
class TEventSocket : public TProxySocket {
public:
    TEventSocket() = default;

    TNotifyEvent OnConnect;      // connected; only when ProxyReady
    TOnError OnError;            // after Close; always ERR_SOCKET
    TNotifyEvent OnConnectError; // after Close
    TNotifyEvent OnDisconnect;   // after Close
    TOnReceive OnReceive;        // only when ProxyReady
    TNotifyEvent OnDataSent;
    TNotifyEvent OnTlsReady; // the handshake asked for by StartTls is done
    TOnTlsError OnTlsError;  // after Close; the reason in Czech

protected:
    void DoError() override;
    void DoConnect() override;
    void DoConnectError() override;
    void DoDisconnect() override;
    void DoReceive() override;
    void DoDataSent() override;
    void DoTlsReady() override;
    void DoTlsFailed() override;
};

// The socket the XMPP client holds: one connection attempt per object. It owns a
// TEventSocket and relays its events with itself as Sender. Everything here runs on
// the GUI thread.
//
// The object may be released at any time, also from inside one of its own handlers:
// release closes the connection at once, and no further event is raised.
class TMySocket : public TObject {
public:
    TMySocket();
    ~TMySocket() override;
    TMySocket(const TMySocket&) = delete;
    TMySocket& operator=(const TMySocket&) = delete;

    QString Host() const { return FHost; }
    void SetHost(const QString& Value) { FHost = Value; }
    uint16_t Port() const { return fPort; }
    void SetPort(uint16_t Value) { fPort = Value; }

    // Starts connecting to Host:Port and returns at once. Does nothing when connected
    // or while an attempt is under way; an object connects at most once.
    virtual void Connect();
    // When connected: raises OnDisconnect, then closes the connection. Otherwise does
    // nothing.
    void Disconnect();
    // Queues a copy of BufLen bytes (at most 65,535 per call) to be sent in order.
    // Nothing is queued once the connection has ended; more than MaxQueuedBytes
    // waiting is a lost connection (OnDisconnect).
    void SendData(const void* Buf, uint32_t BufLen);
    // Releasing the object after this call sends what is queued before the connection
    // is closed; no event is raised from the call on.
    void CloseAfterSending();
    // Turns the connection into TLS (STARTTLS): call it from OnReceiveProc once the
    // server agreed, with nothing queued. OnTlsReady or OnTlsError follows.
    void StartTls(const TTlsSettings& Settings);

    // The adopted socket handle when there is one, otherwise the worker's (-1 when none).
    int ClientSocket() const;
    // Adopts an already connected socket and starts receiving on it.
    void SetClientSocket(int Value);
    // True from the moment the connection was established; stays true after it ended.
    bool Connected() const;

    // No proxy protocol is spoken: ProxyType always reads P_NONE, and Connect
    // overwrites ProxyHost and ProxyPort with Host and Port.
    TProxyType ProxyType() const { return P_NONE; }
    void SetProxyType(TProxyType) {}
    QString ProxyHost() const;
    void SetProxyHost(const QString& Value);
    uint16_t ProxyPort() const;
    void SetProxyPort(uint16_t Value);
    QString ProxyUser() const;
    void SetProxyUser(const QString& Value);
    QString ProxyPass() const;
    void SetProxyPass(const QString& Value);
    bool ProxyAuth() const;
    void SetProxyAuth(bool Value);
    bool ProxyResolve() const;
    void SetProxyResolve(bool Value);

    // The connection attempt was refused or failed.
    TNotifyEvent OnConnectError;
    // The connection was lost: the peer closed or reset it, receiving or sending
    // failed, or too much waited to be sent; or Disconnect was called while connected.
    TNotifyEvent OnDisconnect;
    // Stored only; never raised.
    TOnAdvPktParse OnPktParseA;
    // Opening the socket or resolving the host failed; always ERR_SOCKET with an
    // empty message. A receive or send error on a connection is OnDisconnect.
    TOnError OnError;
    // Data arrived: Socket is ClientSocket; one call carries at most 131,070 bytes.
    TOnRecv OnReceiveProc;
    // The connection is established.
    TNotifyEvent OnConnectProc;
    // Once after connecting when the queue is found empty, then once each time the
    // queue has drained after new data.
    TNotifyEvent OnDataSent;
    // The TLS handshake is done and the server's certificate passed its check.
    TNotifyEvent OnTlsReady;
    // The TLS handshake or the certificate check failed; the connection is closed and
    // nothing more was sent. Reason is for the user, in Czech.
    TOnTlsError OnTlsError;

private:
    QString FHost;
    uint16_t fPort = 0;
    std::shared_ptr<TEventSocket> FEventSocket;
    int FSocket = -1;
    // Expires with this object, so that a relay can tell whether the owner released
    // it from inside the handler it just ran.
    std::shared_ptr<int> FAlive = std::make_shared<int>(0);
};
