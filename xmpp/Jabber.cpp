#include "Jabber.h"

#include "DigestMd5.h"
#include "KvXml.h"
#include "SaslClient.h"
#include "jbconst.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QLocale>
#include <QRandomGenerator>
#include <optional>

namespace {

// Removes every character up to U+0020 at both ends.
QString Trim(const QString& Text) {
    qsizetype begin = 0;
    qsizetype end = Text.size();
    while (begin < end && Text[begin].unicode() <= 0x20)
        ++begin;
    while (end > begin && Text[end - 1].unicode() <= 0x20)
        --end;
    return Text.mid(begin, end - begin);
}

QString Xmlns(const TKvXmlNode* Node) {
    return Node ? Node->Params().Values(QStringLiteral("xmlns")) : QString();
}

const TKvXmlNode* Child(const TKvXmlNode* Node, const QString& Name) {
    return Node->Children().NodeByName(Name);
}

// Text for an XML attribute value in double quotes, or for element content.
QString XmlEscaped(const QString& Value) {
    return Value.toHtmlEscaped();
}

QByteArray FromBase64(const QString& Text) {
    return QByteArray::fromBase64(Text.trimmed().toLatin1());
}

// Sixteen random bytes as 32 lowercase hexadecimal digits.
QString RandomCnonce() {
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(words), sizeof words).toHex());
}

} // namespace

EJabberError::EJabberError(const QString& Message) : std::runtime_error(Message.toStdString()) {}

TJabberClient::TJabberClient(QObject* AOwner)
    : QObject(AOwner), FJabberServer(jbconst::DefaultJabberServer),
      FJabberPort(jbconst::DefaultJabberPort), FResource(jbconst::DefaultResource) {
    for (QTimer* timer : {&FAttemptTimer, &FIdleTimer, &FPingTimer})
        timer->setSingleShot(true);
    connect(&FAttemptTimer, &QTimer::timeout, this, [this] { AttemptTimedOut(); });
    connect(&FIdleTimer, &QTimer::timeout, this, [this] { SendPing(); });
    connect(&FPingTimer, &QTimer::timeout, this, [this] { LoseConnection(); });
}

TJabberClient::~TJabberClient() {
    ReleaseSocket();
}

void TJabberClient::Connect(uint8_t MyStatus) {
    FUserStatus = MyStatus;
    if (FConnected) {
        // A presence on a stream that is not logged in yet would be a protocol error.
        if (FJabberOnLine)
            SendPresence();
        return;
    }
    if (FConnecting)
        return; // a slow lookup or connect is left to finish
    ReleaseSocket();
    FStreamError.clear();
    XMLStr.Clear();
    FDecoder = QStringDecoder(QStringDecoder::Utf8);
    FSessionId.clear();
    FExpectedRspAuth.clear();
    FRspAuthSeen = false;
    FEncrypted = false;
    FMechanism.clear();
    FSasl.reset();

    const qsizetype at = FJID.indexOf(u'@');
    FUserName = at < 0 ? QString() : FJID.left(at);
    FUserServer = at < 0 ? FJID : FJID.mid(at + 1);

    FSocket = std::make_unique<TMySocket>();
    FSocket->SetHost(FJabberServer);
    FSocket->SetPort(FJabberPort);
    FSocket->OnConnectError = [this](TObject* Sender) {
        SocketConnectError(Sender);
    };
    FSocket->OnConnectProc = [this](TObject* Sender) {
        SocketConnected(Sender);
    };
    FSocket->OnDisconnect = [this](TObject* Sender) {
        SocketDisconnected(Sender);
    };
    FSocket->OnReceiveProc = [this](TObject* Sender, int Socket, const void* Buffer,
                                    uint32_t BufLen) {
        SocketReceive(Sender, Socket, Buffer, BufLen);
    };
    FSocket->OnPktParseA = [this](TObject* Sender, const void* Buffer, uint32_t BufLen,
                                  bool Incoming) {
        SocketPktParse(Sender, Buffer, BufLen, Incoming);
    };
    FSocket->OnError = [this](TObject* Sender, TErrorType ErrorType, const QString& ErrorMsg) {
        SocketError(Sender, ErrorType, ErrorMsg);
    };
    FConnecting = true;
    FAttemptTimer.start(FAttemptTimeout);
    FSocket->OnTlsReady = [this](TObject* Sender) {
        SocketTlsReady(Sender);
    };
    FSocket->OnTlsError = [this](TObject* Sender, const QString& Reason) {
        SocketTlsError(Sender, Reason);
    };
    FSocket->Connect();
}

void TJabberClient::Disconnect() {
    if (!FConnected)
        return;
    if (FSocket) {
        SendStr(QStringLiteral("</stream:stream>"));
        FSocket->CloseAfterSending();
    }
    ReleaseSocket();
    SocketDisconnected(nullptr);
}

void TJabberClient::LoseConnection() {
    const bool connected = FConnected;
    ReleaseSocket();
    FConnecting = false;
    if (connected)
        SocketDisconnected(nullptr);
}

void TJabberClient::AttemptTimedOut() {
    if (FJabberOnLine)
        return;
    if (FConnected) {
        LoseConnection();
        return;
    }
    if (!FConnecting)
        return;
    ReleaseSocket();
    SocketConnectError(nullptr);
}

void TJabberClient::CheckLink() {
    if (FJabberOnLine && !FPingTimer.isActive())
        SendPing();
}

void TJabberClient::SendPing() {
    if (!FJabberOnLine)
        return;
    FPingId = NewID();
    SendStr(QStringLiteral("<iq type=\"get\" id=\"%1\" to=\"%2\"><ping xmlns=\"%3\"/></iq>")
                .arg(FPingId, FUserServer, jbconst::NsPing));
    FPingTimer.start(FPingTimeout);
}

void TJabberClient::SetPingInterval(std::chrono::milliseconds Value) {
    FPingInterval = Value;
    if (FIdleTimer.isActive())
        FIdleTimer.start(FPingInterval);
}

void TJabberClient::NoteTraffic() {
    FPingTimer.stop();
    if (FJabberOnLine)
        FIdleTimer.start(FPingInterval);
}

void TJabberClient::ReleaseSocket() {
    // FSocket is none before the object goes, as handlers may look at it.
    std::unique_ptr<TMySocket> old = std::move(FSocket);
    if (old)
        ++FGeneration;
    FAttemptTimer.stop();
    FIdleTimer.stop();
    FPingTimer.stop();
    old.reset();
}

void TJabberClient::LoginError(const QString& Text) {
    Disconnect();
    if (OnLoginError)
        OnLoginError(this, Text);
}

void TJabberClient::SecurityError(const QString& Reason) {
    Disconnect();
    if (OnSecurityError)
        OnSecurityError(this, Reason);
}

void TJabberClient::SocketConnected(TObject*) {
    FConnected = true;
    FConnecting = false;
    SendStr(StreamHeader());
    if (OnConnect)
        OnConnect(this);
}

void TJabberClient::SocketConnectError(TObject*) {
    FConnecting = false;
    FAttemptTimer.stop();
    if (OnConnectError)
        OnConnectError(this);
}

void TJabberClient::SocketDisconnected(TObject*) {
    if (!FConnected && !FJabberOnLine)
        return; // reported once per connection
    FConnected = false;
    FConnecting = false;
    FJabberOnLine = false;
    FAttemptTimer.stop();
    FIdleTimer.stop();
    FPingTimer.stop();
    if (OnDisconnect)
        OnDisconnect(this);
}

void TJabberClient::SocketReceive(TObject*, int, const void* Buffer, uint32_t BufLen) {
    NoteTraffic();
    ParseData(Buffer, BufLen);
}

void TJabberClient::SocketError(TObject* Sender, TErrorType, const QString&) {
    if (FConnected) {
        ReleaseSocket();
        SocketDisconnected(Sender);
    } else {
        SocketConnectError(Sender);
    }
}

void TJabberClient::SocketPktParse(TObject*, const void* Buffer, uint32_t BufLen, bool Incoming) {
    if (OnPktParseA)
        OnPktParseA(this, Buffer, BufLen, Incoming);
}

void TJabberClient::SocketTlsReady(TObject*) {
    // A new stream begins over TLS; nothing of the old one is kept.
    FEncrypted = true;
    XMLStr.Clear();
    FDecoder = QStringDecoder(QStringDecoder::Utf8);
    SendStr(StreamHeader());
}

void TJabberClient::SocketTlsError(TObject*, const QString& Reason) {
    SecurityError(Reason);
}

QString TJabberClient::StreamHeader() const {
    return QStringLiteral("<?xml version=\"1.0\"?> <stream:stream xmlns:stream=\"%1\" "
                          "version=\"1.0\" xmlns=\"jabber:client\" to=\"%2\" xml:lang=\"en\" "
                          "xmlns:xml=\"%3\">")
        .arg(jbconst::NsStreams, XmlEscaped(FUserServer), jbconst::NsXml);
}

void TJabberClient::SendStr(const QString& Str) {
    if (!FSocket || Str.isEmpty())
        return;
    const QByteArray bytes = DeleteBadSymbols(Str).toUtf8();
    if (bytes.size() > jbconst::MaxSendBytes)
        throw EJabberError(jbconst::ErrBigString);
    FSocket->SendData(bytes.constData(), uint32_t(bytes.size()));
    if (OnSendData)
        OnSendData(this, Str);
}

QString TJabberClient::DeleteBadSymbols(const QString& Value) {
    QString result = Value;
    for (QChar& c : result)
        if (c.unicode() < 32 && c != u'\r' && c != u'\n')
            c = u'?';
    return result;
}

QString TJabberClient::NewID() const {
    const QDateTime now = QDateTime::currentDateTime();
    const double days = double(QDate(1899, 12, 30).daysTo(now.date())) +
                        now.time().msecsSinceStartOfDay() / 86400000.0;
    const double value = QRandomGenerator::global()->bounded(1000) + days;
    return MD5Hex(QLocale::system().toString(value, 'g', 15)).left(10);
}

QString TJabberClient::MD5Hex(const QString& Text) {
    const QString trimmed = Trim(Text);
    QByteArray bytes(trimmed.size(), '?');
    for (qsizetype i = 0; i < trimmed.size(); ++i)
        if (trimmed[i].unicode() < 128)
            bytes[i] = char(trimmed[i].unicode());
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

// --- Receiving -------------------------------------------------------------------

void TJabberClient::ParseData(const void* Buffer, uint32_t BufLen) {
    const QString text = FDecoder.decode(QByteArrayView(static_cast<const char*>(Buffer), BufLen));
    XMLStr.Append(text);
    const quint64 generation = FGeneration;
    while (!XMLStr.IsEmpty() && generation == FGeneration) {
        QString stanza = NextStanza();
        if (stanza.isEmpty())
            break;
        stanza = DoubleQuoteAttributes(stanza);
        if (OnReceiveData)
            OnReceiveData(this, stanza);
        try {
            Dispatch(stanza);
        } catch (...) {
            // Whatever fails here (the client's own "Error Connect" and "Protokol
            // Error", an owner's handler) ends this stanza without a word; the next
            // one may be a call.
        }
    }
    if (XMLStr.PendingLength() > jbconst::MaxReceiveBuffer) {
        XMLStr.Clear();
        LoseConnection();
    }
}

QString TJabberClient::StrForParsing(QString& Value) {
    TStanzaFramer framer;
    framer.Append(Value);
    QString stanza;
    try {
        stanza = framer.Next();
    } catch (const std::exception& e) {
        Diagnose(Value, QString::fromUtf8(e.what()));
        return {};
    }
    Value = framer.Pending();
    return stanza;
}

QString TJabberClient::NextStanza() {
    try {
        return XMLStr.Next();
    } catch (const std::exception& e) {
        // Only an exhausted resource gets here; the buffer is left as it was.
        Diagnose(XMLStr.Pending(), QString::fromUtf8(e.what()));
        return {};
    }
}

void TJabberClient::Diagnose(const QString& Buffer, const QString& Message) {
    if (!ShowDiagnostic)
        return;
    // Buffer, the head collected so far (none: a cut is made in one step) and the
    // backup, which is the buffer itself since nothing was changed.
    ShowDiagnostic(QStringLiteral("ERROR: Send me THIS ERROR %1\r\r%2"
                                  "1\r\r\r%2\r\r\r \r%3")
                       .arg(jbconst::DiagnosticContact, Buffer, Message));
}

void TJabberClient::Dispatch(const QString& Stanza) {
    TKvXML D(this);
    D.SetText(Stanza);
    const TKvXmlNode* R = D.Nodes().Root();
    if (!R)
        throw EJabberError(jbconst::ErrProtocol);
    std::optional<QString> rendered;
    const std::function<QString()> rendering = [&] {
        if (!rendered)
            rendered = D.Text();
        return *rendered;
    };
    const QString name = R->Name();

    if (name == u"stream:error") {
        // The server ends the stream; say so at once rather than wait for its close.
        const TKvXmlNode* condition = R->Children().Count() > 0 ? R->Children().Node(0) : nullptr;
        FStreamError = condition ? condition->Name() : QStringLiteral("undefined-condition");
        Disconnect();
        throw EJabberError(jbconst::ErrConnect);
    }
    if (name == u"failure") {
        if (Xmlns(R) == jbconst::NsTls)
            SecurityError(QStringLiteral("Server odmítl zahájit šifrované spojení."));
        else
            LoginError(rendering());
        throw EJabberError(jbconst::ErrProtocol);
    }
    if (name == u"stream:features") {
        if (NegotiateTls(R))
            return;
        if (const TKvXmlNode* mechanisms = Child(R, QStringLiteral("mechanisms"))) {
            if (Xmlns(mechanisms) != jbconst::NsSasl)
                throw EJabberError(jbconst::ErrConnect);
            StartSasl(mechanisms);
        } else if (FMechanism.isEmpty() && !Child(R, QStringLiteral("bind")) &&
                   !Child(R, QStringLiteral("auth"))) {
            // Nothing to log in with (a relay may have cut STARTTLS out, and with it
            // everything a server offers only over TLS): say so instead of waiting.
            SecurityError(QStringLiteral("Server nenabízí žádný podporovaný způsob přihlášení."));
            throw EJabberError(jbconst::ErrProtocol);
        }
        if (Xmlns(Child(R, QStringLiteral("bind"))) == jbconst::NsBind)
            SendBind(FResource);
    } else if (name == u"proceed") {
        if (Xmlns(R) == jbconst::NsTls)
            StartTls();
    } else if (name == u"challenge") {
        if (FSasl)
            AnswerSaslChallenge(R, rendering);
        else
            AnswerChallenge(R, rendering);
    } else if (name == u"success") {
        if (Xmlns(R) == jbconst::NsSasl) {
            if (!ServerProven(R)) {
                LoginError(rendering());
                throw EJabberError(jbconst::ErrProtocol);
            }
            SendStr(StreamHeader());
        }
    } else if (name == u"iq") {
        HandleIq(R, rendering);
    } else if (name == u"message") {
        if (OnMessage)
            OnMessage(this, rendering());
    } else if (name == u"presence") {
        if (OnPresence)
            OnPresence(this, rendering());
    }
}

void TJabberClient::HandleIq(const TKvXmlNode* R, const std::function<QString()>& Rendering) {
    const QString id = R->Params().Values(QStringLiteral("id"));
    const QString type = R->Params().Values(QStringLiteral("type"));

    if (OnIQ)
        OnIQ(this, Rendering());

    if (type == u"get" || type == u"set")
        AnswerIq(R, id, type);

    if (id == jbconst::IdBind) {
        FSessionId = NewID();
        SendStr(QStringLiteral("<iq type=\"set\" id=\"%1\" ><session xmlns=\"%2\"/></iq>")
                    .arg(FSessionId, jbconst::NsSession));
    }

    // Servers answer the session request with an empty result as often as with a
    // session child; either confirms it.
    const bool sessionChild = Xmlns(Child(R, QStringLiteral("session"))) == jbconst::NsSession;
    const bool sessionAnswer = !FSessionId.isEmpty() && id == FSessionId;
    if (type == u"result" && (sessionChild || sessionAnswer) && !FJabberOnLine) {
        FJabberOnLine = true;
        SendPresence();
        FAttemptTimer.stop();
        NoteTraffic();
        if (OnJabberOnline)
            OnJabberOnline(this);
    }

    if (id == jbconst::IdAuthStart) {
        if (type == u"error") {
            LoginError(Rendering());
            FJabberOnLine = false;
            FConnected = false;
        } else {
            SendIqAuth();
        }
    }

    if (id == jbconst::IdAuthRequest) {
        if (type == u"result") {
            GetRoster();
            GetBookMarks();
        } else if (type == u"error") {
            LoginError(Rendering());
            FJabberOnLine = false;
            FConnected = false;
        }
    }

    if (Xmlns(Child(R, QStringLiteral("query"))) == jbconst::NsRoster) {
        if (!FJabberOnLine) {
            FJabberOnLine = true;
            FAttemptTimer.stop();
            NoteTraffic();
            if (OnJabberOnline)
                OnJabberOnline(this);
        }
        if (OnGetRoster)
            OnGetRoster(this, Rendering());
    }
}

void TJabberClient::AnswerIq(const TKvXmlNode* R, const QString& Id, const QString& Type) {
    // Attribute values are kept as written, so they go back escaped as they came.
    const QString from = R->Params().Values(QStringLiteral("from"));
    const QString to = from.isEmpty() ? QString() : QStringLiteral(" to=\"%1\"").arg(from);
    const bool ping = Xmlns(Child(R, QStringLiteral("ping"))) == jbconst::NsPing;
    const bool rosterPush =
        Type == u"set" && Xmlns(Child(R, QStringLiteral("query"))) == jbconst::NsRoster;
    if (ping || rosterPush)
        SendStr(QStringLiteral("<iq type=\"result\" id=\"%1\"%2/>").arg(Id, to));
    else
        SendStr(QStringLiteral("<iq type=\"error\" id=\"%1\"%2><error type=\"cancel\">"
                               "<service-unavailable xmlns=\"%3\"/></error></iq>")
                    .arg(Id, to, jbconst::NsStanzas));
}

// --- Login -----------------------------------------------------------------------

int TJabberClient::ChooseMechanism(const TKvXmlNode* Features) {
    const TKvXmlNode* mechanisms = Child(Features, QStringLiteral("mechanisms"));
    if (!mechanisms)
        return 2;
    bool plain = false;
    for (const TKvXmlNode* node : mechanisms->Children()) {
        if (node->Name() != u"mechanism")
            continue;
        const QString offered = node->AsString();
        if (offered.compare(jbconst::MechDigestMd5, Qt::CaseInsensitive) == 0)
            return 0;
        if (offered.compare(jbconst::MechPlain, Qt::CaseInsensitive) == 0)
            plain = true;
    }
    return plain ? 1 : 2;
}

void TJabberClient::SendAuth(int Code) {
    SendStr(QStringLiteral("<auth xmlns=\"%1\" mechanism=\"%2\"/>")
                .arg(jbconst::NsSasl, Code == 0 ? jbconst::MechDigestMd5 : jbconst::MechPlain));
}

void TJabberClient::AnswerChallenge(const TKvXmlNode* R,
                                    const std::function<QString()>& Rendering) {
    const QString challenge = R->AsString();
    if (!RspAuthValid(challenge)) {
        LoginError(Rendering());
        throw EJabberError(jbconst::ErrProtocol);
    }
    const QString answer = DigestResponse(challenge);
    FRspAuthSeen = FRspAuthSeen || (!FExpectedRspAuth.isEmpty() && answer.isEmpty());
    if (answer.isEmpty())
        SendStr(QStringLiteral("<response xmlns=\"%1\"/>").arg(jbconst::NsSasl));
    else
        SendStr(
            QStringLiteral("<response xmlns=\"%1\">%2</response>").arg(jbconst::NsSasl, answer));
}

bool TJabberClient::RspAuthValid(const QString& Challenge) const {
    const QString decoded = QString::fromLatin1(QByteArray::fromBase64(Challenge.toLatin1()));
    if (!decoded.startsWith(u"rspauth"))
        return true;
    const QString offered = ParseChallenge(decoded).Value(u"rspauth");
    return !FExpectedRspAuth.isEmpty() &&
           offered.compare(FExpectedRspAuth, Qt::CaseInsensitive) == 0;
}

QString TJabberClient::DigestResponse(const QString& Challenge) {
    const QString decoded = QString::fromLatin1(QByteArray::fromBase64(Challenge.toLatin1()));
    const TDirectiveList directives = ParseChallenge(decoded);
    if (decoded.startsWith(u"rspauth"))
        return {};
    const TDigestParams params{
        FUserName,
        FUserServer,
        FPassword,
        directives.Value(u"nonce"),
        FFixedCnonce.isEmpty() ? RandomCnonce() : FFixedCnonce,
        jbconst::NonceCount,
        jbconst::DigestUriPrefix + FUserServer,
    };
    FExpectedRspAuth = DigestMd5RspAuth(params);
    return QString::fromLatin1(DigestMd5Answer(params).toBase64());
}

void TJabberClient::SendBind(const QString& Resource) {
    SendStr(QStringLiteral("<iq type=\"set\" id=\"%1\" ><bind xmlns=\"%2\"><resource>%3</resource>"
                           "</bind></iq>")
                .arg(jbconst::IdBind, jbconst::NsBind, XmlEscaped(Resource)));
}

// --- Encryption and the mechanisms beside DIGEST-MD5 -------------------------------

bool TJabberClient::NegotiateTls(const TKvXmlNode* Features) {
    if (FEncrypted || FEncryption == TEncryption::Never)
        return false;
    if (Xmlns(Child(Features, QStringLiteral("starttls"))) == jbconst::NsTls) {
        SendStr(QStringLiteral("<starttls xmlns=\"%1\"/>").arg(jbconst::NsTls));
        return true;
    }
    if (FEncryption == TEncryption::Required) {
        SecurityError(QStringLiteral("Server nenabízí šifrované spojení a nastavení "
                                     "(sifrovani=vyzadovat) bez něj přihlášení nedovoluje."));
        throw EJabberError(jbconst::ErrProtocol);
    }
    return false;
}

void TJabberClient::StartTls() {
    if (!FSocket || FEncrypted)
        return;
    TTlsSettings settings{FUserServer, FCaFile, {}};
    if (!FFingerprint.trimmed().isEmpty()) {
        settings.Fingerprint = TTlsEngine::ParseFingerprint(FFingerprint.trimmed());
        if (settings.Fingerprint.isEmpty()) {
            SecurityError(QStringLiteral("Nastavený otisk certifikátu (otisk) není platný "
                                         "otisk SHA-256: %1")
                              .arg(FFingerprint));
            throw EJabberError(jbconst::ErrProtocol);
        }
    }
    FSocket->StartTls(settings);
}

void TJabberClient::StartSasl(const TKvXmlNode* Mechanisms) {
    QStringList offered;
    for (const TKvXmlNode* node : Mechanisms->Children())
        if (node->Name() == u"mechanism")
            offered << node->AsString().trimmed();
    FMechanism = ChooseSaslMechanism(offered, FEncrypted);
    if (FMechanism.isEmpty()) {
        const bool onlyPlain = offered.contains(jbconst::MechPlain, Qt::CaseInsensitive);
        SecurityError(onlyPlain ? QStringLiteral("Server nabízí jen přihlášení, které by poslalo "
                                                 "heslo nešifrovaně; bez šifrování se "
                                                 "nepřihlásím.")
                                : QStringLiteral("Server nenabízí žádný podporovaný způsob "
                                                 "přihlášení (nabízí: %1).")
                                      .arg(offered.join(QStringLiteral(", "))));
        throw EJabberError(jbconst::ErrProtocol);
    }
    if (FMechanism == jbconst::MechDigestMd5) {
        SendAuth(0);
        return;
    }
    FSasl = std::make_unique<TSaslClient>(FMechanism, FUserName, FPassword);
    const std::optional<QByteArray> initial = FSasl->Start();
    if (!initial) {
        SecurityError(
            QStringLiteral("Přihlášení %1 nelze zahájit: %2").arg(FMechanism, FSasl->Error()));
        throw EJabberError(jbconst::ErrProtocol);
    }
    // "=" is an initial response that is present and empty.
    const QString data =
        initial->isEmpty() ? QStringLiteral("=") : QString::fromLatin1(initial->toBase64());
    SendStr(QStringLiteral("<auth xmlns=\"%1\" mechanism=\"%2\">%3</auth>")
                .arg(jbconst::NsSasl, FMechanism, data));
}

void TJabberClient::AnswerSaslChallenge(const TKvXmlNode* R,
                                        const std::function<QString()>& Rendering) {
    const std::optional<QByteArray> answer = FSasl->Step(FromBase64(R->AsString()));
    if (!answer) {
        LoginError(Rendering());
        throw EJabberError(jbconst::ErrProtocol);
    }
    if (answer->isEmpty())
        SendStr(QStringLiteral("<response xmlns=\"%1\"/>").arg(jbconst::NsSasl));
    else
        SendStr(QStringLiteral("<response xmlns=\"%1\">%2</response>")
                    .arg(jbconst::NsSasl, QString::fromLatin1(answer->toBase64())));
}

bool TJabberClient::ServerProven(const TKvXmlNode* Success) const {
    const QString data = Success->AsString().trimmed();
    const QByteArray additional = data == u"=" ? QByteArray() : FromBase64(data);
    if (FSasl)
        return FSasl->Finish(additional);
    if (FMechanism != jbconst::MechDigestMd5)
        return false;
    if (additional.isEmpty())
        return FRspAuthSeen;
    // The rspauth may come as the additional data of success instead of a challenge.
    return additional.startsWith("rspauth") && RspAuthValid(data);
}

void TJabberClient::SendIqAuth() {
    TKvXML D(this);
    TKvXmlNode* iq = D.Nodes().AddOpenTag(QStringLiteral("iq"));
    iq->Params().SetValues(QStringLiteral("type"), QStringLiteral("set"));
    iq->Params().SetValues(QStringLiteral("id"), jbconst::IdAuthRequest);
    iq->Params().SetValues(QStringLiteral("to"), FUserServer);
    TKvXmlNode* query = iq->Children().AddOpenTag(QStringLiteral("query"));
    query->Params().SetValues(QStringLiteral("xmlns"), jbconst::NsIqAuth);
    query->Children().AddLeaf(QStringLiteral("username"))->SetAsString(FUserName);
    query->Children().AddLeaf(QStringLiteral("digest"))->SetAsString(IqAuthDigest());
    query->Children().AddLeaf(QStringLiteral("resource"))->SetAsString(FResource);
    SendStr(D.Text());
}

QString TJabberClient::IqAuthDigest() const {
    return MD5Hex(Trim(FUnicalID) + Trim(FPassword));
}

// --- Presence, roster, bookmarks, messages ----------------------------------------

void TJabberClient::SendPresence() {
    TKvXML D(this);
    TKvXmlNode* presence = D.Nodes().AddOpenTag(QStringLiteral("presence"));
    presence->Children().AddLeaf(QStringLiteral("priority"))->SetAsInteger(5);
    SendStr(D.Text());
}

void TJabberClient::GetRoster() {
    TKvXML D(this);
    TKvXmlNode* iq = D.Nodes().AddOpenTag(QStringLiteral("iq"));
    iq->Params().SetValues(QStringLiteral("type"), QStringLiteral("get"));
    iq->Params().SetValues(QStringLiteral("id"), NewID());
    iq->Children()
        .AddLeaf(QStringLiteral("query"))
        ->Params()
        .SetValues(QStringLiteral("xmlns"), jbconst::NsRoster);
    SendStr(D.Text());
}

void TJabberClient::GetBookMarks() {
    TKvXML D(this);
    TKvXmlNode* iq = D.Nodes().AddOpenTag(QStringLiteral("iq"));
    iq->Params().SetValues(QStringLiteral("type"), QStringLiteral("get"));
    iq->Params().SetValues(QStringLiteral("id"), NewID());
    TKvXmlNode* query = iq->Children().AddOpenTag(QStringLiteral("query"));
    query->Params().SetValues(QStringLiteral("xmlns"), jbconst::NsPrivate);
    query->Children()
        .AddLeaf(QStringLiteral("storage"))
        ->Params()
        .SetValues(QStringLiteral("xmlns"), jbconst::NsBookmarks);
    SendStr(D.Text());
}

void TJabberClient::SendMessage(const QString& strTo, const QString& strType,
                                const QString& strBody) {
    TKvXML D(this);
    TKvXmlNode* message = D.Nodes().AddOpenTag(QStringLiteral("message"));
    message->Params().SetValues(QStringLiteral("from"), FUserName + u'@' + FUserServer);
    message->Params().SetValues(QStringLiteral("to"), strTo);
    message->Params().SetValues(QStringLiteral("type"), strType);
    message->Params().SetValues(QStringLiteral("id"), NewID());
    message->Children().AddLeaf(QStringLiteral("body"))->SetAsDisplayString(strBody);
    SendStr(D.Text());
}
