#pragma once

// TJabberClient: the client side of one XMPP account over plain TCP. It opens one
// connection at a time through a TMySocket of its own, logs in by itself with SASL
// DIGEST-MD5 (binding its resource and starting a session), and hands every incoming
// message, presence and iq stanza to its owner as text: the rendering of the stanza,
// one element per line, each line ended by CR LF. It keeps no roster, presence list or
// message store.
//
// Everything here runs on the GUI thread: the socket hands its events there and waits
// until the handler has returned, so handlers run one at a time and nothing is locked.
// Events are optional handlers raised only when set, always with the client as Sender.

#include "JabberSock.h"
#include "ReconnectPolicy.h"
#include "StanzaFramer.h"

#include <QObject>
#include <QString>
#include <QStringDecoder>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>

class TJabberClient;
class TKvXmlNode;

using TOnConnect = std::function<void(TJabberClient* Sender)>;
using TOnDisconnect = std::function<void(TJabberClient* Sender)>;
using TOnConnectError = std::function<void(TJabberClient* Sender)>;
using TOnReceiveData = std::function<void(TJabberClient* Sender, const QString& SendStr)>;
using TOnSendData = std::function<void(TJabberClient* Sender, const QString& SendStr)>;
using TOnJabberOnline = std::function<void(TJabberClient* Sender)>;
using TOnGetRoster = std::function<void(TJabberClient* Sender, const QString& RosterList)>;
using TOnGetBookMarks = std::function<void(TJabberClient* Sender, const QString& BookMarks)>;
using TOnMessage = std::function<void(TJabberClient* Sender, const QString& XMLMessage)>;
using TOnIQ = std::function<void(TJabberClient* Sender, const QString& XMLMessage)>;
using TOnPresence = std::function<void(TJabberClient* Sender, const QString& Presence)>;
using TOnLoginEror = std::function<void(TJabberClient* Sender, const QString& Error)>;
using TOnSecurityError = std::function<void(TJabberClient* Sender, const QString& Reason)>;

class TSaslClient;

// When the client encrypts the stream with STARTTLS.
enum class TEncryption {
    // Never logs in without TLS.
    Required,
    // TLS whenever the server offers it; without it only mechanisms that never reveal
    // the password.
    IfOffered,
    // Never starts TLS, for an old exchange; the password still never goes in clear.
    Never,
};

// A failure raised to the caller, e.g. "Big String for send"; what() is the text in
// UTF-8.
class EJabberError : public std::runtime_error {
public:
    explicit EJabberError(const QString& Message);
};

class TJabberClient : public QObject, public TObject {
public:
    // Server "xmpp.velora.example", port 5222, resource "tolvin", no socket.
    explicit TJabberClient(QObject* AOwner = nullptr);
    // Releases the socket of the current connection, which closes it; no event.
    ~TJabberClient() override;
    TJabberClient(const TJabberClient&) = delete;
    TJabberClient& operator=(const TJabberClient&) = delete;

    // Host name or dotted IPv4 address of the server.
    QString JabberServer() const { return FJabberServer; }
    void SetJabberServer(const QString& Value) { FJabberServer = Value; }
    uint16_t JabberPort() const { return FJabberPort; }
    void SetJabberPort(uint16_t Value) { FJabberPort = Value; }
    // The user part, "@" and the server part; split by Connect.
    QString JID() const { return FJID; }
    void SetJID(const QString& Value) { FJID = Value; }
    QString Password() const { return FPassword; }
    void SetPassword(const QString& Value) { FPassword = Value; }
    // The resource to bind.
    QString Resources() const { return FResource; }
    void SetResources(const QString& Value) { FResource = Value; }
    // STARTTLS policy; IfOffered by default.
    TEncryption Encryption() const { return FEncryption; }
    void SetEncryption(TEncryption Value) { FEncryption = Value; }
    // A PEM file of issuers trusted besides the system's; empty for none.
    void SetCaFile(const QString& Value) { FCaFile = Value; }
    // The SHA-256 fingerprint (hex, colons allowed) the server certificate must have;
    // when set, it replaces the issuer and name checks. Empty for none.
    void SetCertificateFingerprint(const QString& Value) { FFingerprint = Value; }
    // The stream runs over TLS.
    bool Encrypted() const { return FEncrypted; }

    // The socket is connected and the stream header was sent.
    bool Connected() const { return FConnected; }
    // The session is established: the server confirmed the session request, or
    // answered with a roster.
    bool JabberOnline() const { return FJabberOnLine; }
    // JID before its first "@" (empty when it has none) and after it (the whole JID
    // when it has none), as of the last Connect.
    QString UserName() const { return FUserName; }
    QString UserServer() const { return FUserServer; }

    // While online: sends one presence stanza and nothing else (the owner's
    // keep-alive). While the connection is open but the session not yet established,
    // or while an attempt is still under way, does nothing. Otherwise releases a
    // socket left from an earlier attempt, empties the receive buffer, splits JID and
    // starts a new connection to JabberServer:JabberPort on a new socket; the outcome
    // arrives as OnConnect or OnConnectError. An attempt that is not online within
    // AttemptTimeout is ended: OnConnectError before the connection is open,
    // OnDisconnect after. The owner checks that JID and Password are set.
    void Connect(uint8_t MyStatus);
    // While Connected: sends the stream's closing tag, releases the socket (which
    // closes the connection once the tag has left), clears Connected and JabberOnline
    // and raises OnDisconnect. Otherwise does nothing.
    void Disconnect();
    // A connection attempt has started and has neither failed nor opened the stream.
    bool Connecting() const { return FConnecting; }
    // While online, pings the server now; no answer within PingTimeout is a lost
    // connection. For a link that may have died unnoticed (after a suspend).
    void CheckLink();
    // The condition of the stream error that ended the last connection (for example
    // "conflict": the same resource logged in elsewhere); empty when none did.
    QString StreamError() const { return FStreamError; }

    // The dead-link timing; the defaults come from TReconnectPolicy. A new ping
    // interval counts from now.
    void SetPingInterval(std::chrono::milliseconds Value);
    void SetPingTimeout(std::chrono::milliseconds Value) { FPingTimeout = Value; }
    void SetAttemptTimeout(std::chrono::milliseconds Value) { FAttemptTimeout = Value; }

    // Sends Str as UTF-8 with every control character except CR and LF replaced by
    // "?", then raises OnSendData with Str as given. Throws EJabberError "Big String
    // for send" (nothing sent, no event) when the bytes exceed 65,534. Without a
    // socket, or for an empty text, nothing is sent and nothing is raised.
    void SendStr(const QString& Str);
    // Value with every character below 32 other than CR and LF replaced by "?".
    static QString DeleteBadSymbols(const QString& Value);
    // Cuts one complete top-level element off the front of Value (see TStanzaFramer)
    // and returns it; returns empty when none is complete. Value loses leading white
    // space and comments or declarations before the element in any case.
    QString StrForParsing(QString& Value);

    // Asks for the roster; the answer raises OnIQ and OnGetRoster.
    void GetRoster();
    // Asks for the private bookmark storage; the answer raises OnIQ only.
    void GetBookMarks();
    // Sends a message from UserName@UserServer; the body is escaped, empty attributes
    // are left out. Throws EJabberError "Big String for send" for a too long text.
    void SendMessage(const QString& strTo, const QString& strType, const QString& strBody);

    // The socket connected; raised after the stream header was handed to it.
    TOnConnect OnConnect;
    // Raised when JabberOnline turns true.
    TOnJabberOnline OnJabberOnline;
    // The connection was lost (closed or reset by the server, a receive or send error,
    // a ping without answer, a stream error, too much left unsent, more than 1 MiB
    // received without completing a stanza, an attempt that took too long), Disconnect
    // closed it, or a login was refused (then followed by OnLoginError). Raised once
    // per connection.
    TOnDisconnect OnDisconnect;
    // The connection could not be made: the name did not resolve, the server refused
    // or did not answer, or the attempt took longer than AttemptTimeout.
    TOnConnectError OnConnectError;
    // After SendStr handed a text to the socket, with the text as given.
    TOnSendData OnSendData;
    // Once for every stanza cut from the stream, before it is parsed, with its text
    // (apostrophes around attribute values turned into double quotes). A failure in
    // this handler leaves ParseData.
    TOnReceiveData OnReceiveData;
    // An iq with a roster query arrived (result or push); after OnIQ.
    TOnGetRoster OnGetRoster;
    // Stored, never raised.
    TOnGetBookMarks OnGetBookMarks;
    // A message stanza arrived, whatever its type.
    TOnMessage OnMessage;
    // Any iq stanza arrived; raised before the client's own handling of it. The client
    // answers every get and set itself: a ping and a roster push with an empty result,
    // anything else with the error service-unavailable.
    TOnIQ OnIQ;
    // A presence stanza arrived, available or not.
    TOnPresence OnPresence;
    // Relayed from the socket, which never raises it.
    TOnAdvPktParse OnPktParseA;
    // The server refused the login; always right after OnDisconnect. Error is the
    // rendering of the refusing stanza (failure, iq error, or a challenge whose
    // rspauth does not prove that the server knows the password).
    TOnLoginEror OnLoginError;
    // The login was not attempted, or stopped before any password-derived byte, for a
    // reason of security or of what the server offers: a certificate that failed its
    // check, no TLS under "required", no usable mechanism. Always right after
    // OnDisconnect; Reason is for the user, in Czech.
    TOnSecurityError OnSecurityError;

    // Shows the diagnostic that framing gives when cutting a stanza fails for lack of
    // memory; the owner points it at a message box. Not called when unset.
    std::function<void(const QString& Text)> ShowDiagnostic;

protected:
    // The operations below are the client's own steps; they are reachable for tests.

    // Decodes a received chunk (a character split between chunks is carried over),
    // appends it to the receive buffer and dispatches every complete stanza by its
    // element name. A failure while handling a stanza (a stream error, a refused
    // login, a stanza that is not XML, a failure in an owner's handler) ends the
    // handling of that stanza silently; the stanzas after it are still dispatched,
    // unless the connection was dropped meanwhile.
    void ParseData(const void* Buffer, uint32_t BufLen);

    // Ten lowercase hexadecimal digits that change with time.
    QString NewID() const;
    // Lowercase hexadecimal MD5 of Text without the characters up to U+0020 at both
    // ends, every character taken as one byte ("?" outside ASCII).
    static QString MD5Hex(const QString& Text);
    // Disconnect, then OnLoginError with Text.
    void LoginError(const QString& Text);

    // Disconnect, then OnSecurityError with Reason.
    void SecurityError(const QString& Reason);
    // Every DIGEST-MD5 answer uses this cnonce instead of fresh random digits (tests).
    void SetFixedCnonce(const QString& Value) { FFixedCnonce = Value; }

    // 0 when DIGEST-MD5 is among the offered mechanisms, else 1 for PLAIN, else 2.
    static int ChooseMechanism(const TKvXmlNode* Features);
    // Sends auth for DIGEST-MD5 (Code 0) or PLAIN (Code 1), without initial response.
    void SendAuth(int Code);
    // The Base64 answer to a DIGEST-MD5 challenge (Base64), or empty for the
    // server's rspauth challenge. Remembers the rspauth that the server must send.
    QString DigestResponse(const QString& Challenge);
    void SendBind(const QString& Resource);
    void SendIqAuth();
    QString IqAuthDigest() const;
    // <presence> with priority 5, on three lines.
    void SendPresence();
    // The stream's opening text, sent on connecting and after SASL success.
    QString StreamHeader() const;

    void SocketConnected(TObject* Sender);
    void SocketConnectError(TObject* Sender);
    void SocketDisconnected(TObject* Sender);
    void SocketReceive(TObject* Sender, int Socket, const void* Buffer, uint32_t BufLen);
    void SocketPktParse(TObject* Sender, const void* Buffer, uint32_t BufLen, bool Incoming);
    // The socket could not open or look up: a failed attempt before the stream was
    // open, a lost connection after.
    void SocketError(TObject* Sender, TErrorType ErrorType, const QString& ErrorMsg);
    void SocketTlsReady(TObject* Sender);
    void SocketTlsError(TObject* Sender, const QString& Reason);

private:
    // Dispatches one stanza; throws to end the pass.
    void Dispatch(const QString& Stanza);
    void HandleIq(const TKvXmlNode* R, const std::function<QString()>& Rendering);
    void AnswerChallenge(const TKvXmlNode* R, const std::function<QString()>& Rendering);
    // Whether an rspauth challenge proves that the server knows the password.
    bool RspAuthValid(const QString& Challenge) const;
    // Sends STARTTLS when it is due; refuses when the policy needs TLS and the
    // server has none. True when the features need nothing more now.
    bool NegotiateTls(const TKvXmlNode* Features);
    void StartTls();
    // Picks the strongest usable mechanism and sends its auth.
    void StartSasl(const TKvXmlNode* Mechanisms);
    void AnswerSaslChallenge(const TKvXmlNode* R, const std::function<QString()>& Rendering);
    // Whether <success> (with its additional data) ends a login whose server proved
    // that it knows the password.
    bool ServerProven(const TKvXmlNode* Success) const;
    QString NextStanza();
    void Diagnose(const QString& Buffer, const QString& Message);
    void ReleaseSocket();
    // Answers an iq get or set as the client's own: ping and roster push with an
    // empty result, anything else with service-unavailable.
    void AnswerIq(const TKvXmlNode* R, const QString& Id, const QString& Type);
    // Drops the connection at once (no closing tag) and raises OnDisconnect; for a
    // link that is dead or a server that broke the stream.
    void LoseConnection();
    void AttemptTimedOut();
    void SendPing();
    // Something arrived: the link is alive.
    void NoteTraffic();

    QString FUserName;
    QString FUserServer;
    QString FUnicalID;
    QString FJabberServer;
    uint16_t FJabberPort;
    QString FJID;
    QString FPassword;
    std::unique_ptr<TMySocket> FSocket;
    bool FConnected = false;
    bool FJabberOnLine = false;
    QString FResource;
    uint8_t FUserStatus = 0;
    // The receive buffer: decoded text not yet cut into stanzas.
    TStanzaFramer XMLStr;
    QStringDecoder FDecoder{QStringDecoder::Utf8};
    // Id of the last session request; an iq result with it confirms the session.
    QString FSessionId;
    // The rspauth that the answered challenge calls for; empty before the answer.
    QString FExpectedRspAuth;

    bool FConnecting = false;
    QString FStreamError;
    // Counts released sockets, so that a pass over received data can tell that its
    // connection was dropped by a handler.
    quint64 FGeneration = 0;
    std::chrono::milliseconds FPingInterval = TReconnectPolicy::PingInterval;
    std::chrono::milliseconds FPingTimeout = TReconnectPolicy::PingTimeout;
    std::chrono::milliseconds FAttemptTimeout = TReconnectPolicy::AttemptTimeout;
    QTimer FAttemptTimer; // from Connect until online
    QTimer FIdleTimer;    // while online: since data last arrived
    QTimer FPingTimer;    // a ping waits for its answer
    QString FPingId;
    // The server sent that rspauth as a challenge.
    bool FRspAuthSeen = false;
    QString FFixedCnonce;
    TEncryption FEncryption = TEncryption::IfOffered;
    QString FCaFile;
    QString FFingerprint;
    bool FEncrypted = false;
    // The mechanism of the running login; empty before the auth.
    QString FMechanism;
    std::unique_ptr<TSaslClient> FSasl;
};
