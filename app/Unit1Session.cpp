// Session control of the main window: the login button, the timer tick, the
// user menu entry and the XMPP client's events.
#include "DesktopOperations.h"
#include "Jabber.h"
#include "Unit1.h"
#include "VersionInfo.h"

#include <QXmlStreamReader>

namespace {

const QString kLogin = QStringLiteral("Přihlásit");
const QString kLogout = QStringLiteral("Odhlásit");
const QString kOnline = QStringLiteral("online");
const QString kOffline = QStringLiteral("offline");
const QString kWaiting = QStringLiteral("offline – nové připojení za %1 s");
const QString kTakenOver = QStringLiteral("Přihlášení bylo převzato jiným připojením");
// The stream error a server sends when the same resource logs in elsewhere.
const QString kConflict = QStringLiteral("conflict");

} // namespace

void TForm1::SetUpSession() {
    JabberClient1->SetJabberPort(FDeployment.ServerPort);
    JabberClient1->SetJabberServer(FDeployment.Server);
    JabberClient1->SetResources(QStringLiteral("velora"));
    JabberClient1->OnConnect = [this](TJabberClient* Sender) {
        JabberClient1Connect(Sender);
    };
    JabberClient1->OnDisconnect = [this](TJabberClient* Sender) {
        JabberClient1Disconnect(Sender);
    };
    JabberClient1->OnConnectError = [this](TJabberClient* Sender) {
        JabberClient1ConnectError(Sender);
    };
    JabberClient1->OnJabberOnline = [this](TJabberClient* Sender) {
        JabberClient1JabberOnline(Sender);
    };
    JabberClient1->OnPresence = [this](TJabberClient* Sender, const QString& Presence) {
        JabberClient1Presence(Sender, Presence);
    };
    JabberClient1->OnIQ = [this](TJabberClient* Sender, const QString& XMLMessage) {
        JabberClient1IQ(Sender, XMLMessage);
    };
    JabberClient1->OnLoginError = [this](TJabberClient* Sender, const QString& Error) {
        JabberClient1LoginError(Sender, Error);
    };
    JabberClient1->OnMessage = [this](TJabberClient* Sender, const QString& XMLMessage) {
        JabberClient1Message(Sender, XMLMessage);
    };
    JabberClient1->OnSecurityError = [this](TJabberClient* Sender, const QString& Reason) {
        JabberClient1SecurityError(Sender, Reason);
    };
    FReconnectTimer.setSingleShot(true);
    connect(&FReconnectTimer, &QTimer::timeout, this, [this] { ReconnectTick(); });
}

void TForm1::ScheduleReconnect() {
    FReconnectAt.setRemainingTime(Reconnect.NextDelay());
    ReconnectTick();
}

void TForm1::ReconnectTick() {
    const qint64 left = FReconnectAt.remainingTime();
    if (left <= 0) {
        FReconnectTimer.stop();
        ReconnectNow();
        return;
    }
    FDesktop.SetStatusText(0, kWaiting.arg((left + 999) / 1000));
    // Wake when the whole seconds shown change.
    const qint64 next = left % 1000 == 0 ? 1000 : left % 1000;
    FReconnectTimer.start(int(next));
}

void TForm1::ReconnectNow() {
    FReconnectTimer.stop();
    if (!FStayOnline || JabberClient1->JID().isEmpty() || JabberClient1->Password().isEmpty())
        return;
    FDesktop.SetStatusText(0, kOffline);
    JabberClient1->Connect(1);
    // The ticks keep the session alive once it is online.
    FDesktop.SetTimerEnabled(true);
}

void TForm1::SessionWake() {
    if (ReconnectPending())
        ReconnectNow();
    else if (JabberClient1->JabberOnline())
        JabberClient1->CheckLink();
}

void TForm1::SetUpEncryption() {
    const QString mode = FDeployment.Encryption.trimmed().toLower();
    // A value that is none of the three is taken as the strictest.
    JabberClient1->SetEncryption(mode == u"pokud-nabizi" ? TEncryption::IfOffered
                                 : mode == u"ne"         ? TEncryption::Never
                                                         : TEncryption::Required);
    JabberClient1->SetCaFile(FDeployment.CaFile);
    JabberClient1->SetCertificateFingerprint(FDeployment.Fingerprint);
}

void TForm1::Button1Click() {
    jabber_heslo = FDesktop.Caption(TControl::Edit1);
    JabberClient1->SetJID(jabber_jmeno);
    JabberClient1->SetPassword(jabber_heslo);
    JabberClient1->SetResources(LocalComputerName() + QStringLiteral(" velora"));
    if (JabberClient1->JID().isEmpty() || JabberClient1->Password().isEmpty())
        return;
    FStayOnline = true;
    if (ReconnectPending()) {
        Reconnect.Reset();
        ReconnectNow();
        return;
    }
    if (JabberClient1->Connected()) {
        FDesktop.SetEnabled(TControl::Edit1, true);
        // Dropped on purpose: no retry, the tick below logs in afresh.
        FLoggingOut = true;
        JabberClient1->Disconnect();
        FLoggingOut = false;
        FDesktop.SetTimerEnabled(false);
    }
    // A stopped timer starts a fresh interval; a running one goes on, so a
    // click before the first tick still leaves that tick to the update check.
    FDesktop.SetTimerEnabled(true);
}

void TForm1::Timer1Timer() {
    if (first_tick) {
        first_tick = false;
        // Stopped only once the check has returned: ticks that come while its
        // dialogs are open, or after it failed, are ordinary ticks.
        RunUpdateCheck();
        FDesktop.SetTimerEnabled(false);
        UpdateCheckDone();
        return;
    }
    if (!JabberClient1->JID().isEmpty() && !JabberClient1->Password().isEmpty())
        JabberClient1->Connect(1);
    // Online means logged in: an open stream that is still logging in is not.
    if (JabberClient1->JabberOnline()) {
        FDesktop.SetStatusText(0, kOnline);
        JabberClient1->Connect(1);
    } else if (!ReconnectPending()) {
        FDesktop.SetStatusText(0, kOffline);
    }
}

void TForm1::U6ivatel1Click() {
    jabber_jmeno =
        FDesktop.InputBox(QStringLiteral("Telefonni cislo"),
                          QStringLiteral("Zadejte telefonni číslo včetně mezinárodní předvolby"),
                          QStringLiteral("00420"));
    if (!jabber_jmeno.contains(u'@'))
        jabber_jmeno += u'@' + FDeployment.Domain;
}

void TForm1::JabberClient1Connect(TJabberClient*) {
    jabber_online = true;
    FDesktop.SetEnabled(TControl::Edit1, false);
    FDesktop.SetCaption(TControl::Button1, kLogout);
}

void TForm1::JabberClient1Presence(TJabberClient*, const QString&) {
    FDesktop.SetEnabled(TControl::Edit1, false);
    FDesktop.SetCaption(TControl::Button1, kLogout);
}

void TForm1::JabberClient1JabberOnline(TJabberClient*) {
    jabber_online = true;
    Reconnect.Online();
    FDesktop.SetStatusText(0, kOnline);
}

void TForm1::JabberClient1IQ(TJabberClient*, const QString&) {
    jabber_online = true;
}

void TForm1::JabberClient1Disconnect(TJabberClient*) {
    jabber_online = false;
    FDesktop.SetEnabled(TControl::Edit1, true);
    FDesktop.SetCaption(TControl::Button1, kLogin);
    FDesktop.SetTimerEnabled(false);
    // "online" must not stay.
    FDesktop.SetStatusText(0, kOffline);
    Reconnect.Lost();
    if (FLoggingOut)
        return;
    if (JabberClient1->StreamError() == kConflict) {
        // Logging in again would only throw the other connection out in turn.
        FStayOnline = false;
        FDesktop.SetStatusText(0, kTakenOver);
        return;
    }
    if (FStayOnline)
        ScheduleReconnect();
}

void TForm1::JabberClient1ConnectError(TJabberClient*) {
    jabber_online = false;
    FDesktop.SetCaption(TControl::Button1, kLogin);
    FDesktop.SetTimerEnabled(false);
    if (FStayOnline)
        ScheduleReconnect();
    else
        FDesktop.SetStatusText(0, kOffline);
}

void TForm1::JabberClient1LoginError(TJabberClient*, const QString&) {
    StopSession();
    FDesktop.SetCaption(TControl::Edit1, QString());
    FDesktop.MessageBox(QStringLiteral("chyba prihlaseni"));
}

void TForm1::JabberClient1SecurityError(TJabberClient*, const QString& Reason) {
    // Not a wrong password: the box keeps it for the next try. No retry by itself:
    // a refused certificate would only refuse again, with a box each time.
    StopSession();
    FDesktop.MessageBox(Reason);
}

void TForm1::StopSession() {
    FStayOnline = false;
    FReconnectTimer.stop();
    Reconnect.Reset();
    FDesktop.SetStatusText(0, kOffline);
    jabber_online = false;
    FDesktop.SetEnabled(TControl::Edit1, true);
    FDesktop.SetCaption(TControl::Button1, kLogin);
    FDesktop.SetTimerEnabled(false);
}

bool TForm1::IsFromExchange(const QString& XMLMessage) const {
    if (FDeployment.Exchange.isEmpty())
        return true;
    QXmlStreamReader reader(XMLMessage);
    // Only the sender matters; a prefix without its declaration must not stop it.
    reader.setNamespaceProcessing(false);
    while (!reader.atEnd() && !reader.isStartElement())
        reader.readNext();
    if (!reader.isStartElement())
        return false;
    const QString from = reader.attributes().value(QStringLiteral("from")).toString();
    return from.section(u'/', 0, 0).compare(FDeployment.Exchange, Qt::CaseInsensitive) == 0;
}
