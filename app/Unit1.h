#pragma once

#include "Deployment.h"
#include "TextFile.h"

#include <QObject>
#include <QString>
#include <QStringList>

class TDesktopOperations;
class TJabberClient;

// The main window's logic: start-up, settings, call history and shutdown.
// Everything it shows goes through the desktop operations it is given, so the
// same code runs in the program and, headless, in the tests. All of it runs on
// the GUI thread.
class TForm1 : public QObject {
public:
    // Sets the components up and runs FormCreate. An error in FormCreate ends
    // it at that step and goes to the default error report; the window is
    // still usable. dataFolder holds data.ini and historie.dat.
    TForm1(TDesktopOperations& desktop, QString dataFolder, QObject* parent = nullptr);
    ~TForm1() override;
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    void FormCreate();
    // Writes data.ini, saves historie.dat, stops the listener. Throws when a
    // file cannot be written; the window then stays open.
    void FormClose();

    // Session control. The login button hands address, password and resource
    // to JabberClient1 and restarts Timer1; later ticks connect or keep the
    // session alive and show it in status panel 0; the client's events switch
    // the login controls. Timer1Timer (below) is the tick: the first one runs
    // the update check and then stops Timer1, so an error the check throws
    // leaves the timer running; later ones call Connect(1) when address and
    // password are set, and on an open connection show "online" and call it
    // once more, otherwise show "offline".
    //
    // Hands jabber_jmeno, the password box's text and "<computer name> velora"
    // to the client. With both address and password set it starts Timer1 (a
    // running timer goes on unchanged), after dropping an open connection.
    void Button1Click();
    // Asks for a new telephone number; it reaches the client with the next
    // login click.
    void U6ivatel1Click();
    void JabberClient1Connect(TJabberClient* Sender);
    // Also shows "offline": the session is gone.
    void JabberClient1Disconnect(TJabberClient* Sender);
    void JabberClient1ConnectError(TJabberClient* Sender);
    void JabberClient1JabberOnline(TJabberClient* Sender);
    void JabberClient1Presence(TJabberClient* Sender, const QString& Presence);
    void JabberClient1IQ(TJabberClient* Sender, const QString& XMLMessage);
    // Stops Timer1, empties and enables the password box, shows "chyba prihlaseni".
    void JabberClient1LoginError(TJabberClient* Sender, const QString& Error);
    // Whether the stanza's sender has the exchange's bare address (data.ini
    // "ustredna", compared without regard to case). True for every stanza when
    // no address is configured; false for text that is not a stanza.
    bool IsFromExchange(const QString& XMLMessage) const;
    // The XMPP client, owned by the window: server and port from the
    // deployment, resource "velora" until the first login click.
    TJabberClient* const JabberClient1;

    void Npovda1Click();
    void Verze1Click();
    void Timer1Timer();

    // The deployment's hosts and pages, read in FormCreate.
    const TDeployment& Deployment() const { return FDeployment; }
    QString DataFilePath(const QString& name) const;

    // Fields of the window.
    QString last_kdo;
    QString last_kam;
    QString last_odkaz;
    QString last_typ;
    QString last_new;
    QString jabber_jmeno;
    QString jabber_heslo; // never stored on disk
    bool jabber_online = false;

    // State kept for the whole run.
    QStringList history_list;
    TTextEncoding history_encoding = TTextEncoding::Locale;
    int listen_port = 1024;
    QString running_version;
    bool first_tick = false;

private:
    TDesktopOperations& FDesktop;
    QString FDataFolder;
    TDeployment FDeployment;

    // Wires JabberClient1's events.
    void SetUpSession();
    // The first tick's update check.
    void RunUpdateCheck();
};
