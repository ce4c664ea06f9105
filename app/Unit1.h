#pragma once

#include "CallHistory.h"
#include "Deployment.h"
#include "FallbackSave.h"
#include "IdHTTP.h"
#include "LineListener.h"
#include "ReconnectPolicy.h"
#include "TextFile.h"
#include "wuDesktop.h"
#include "wuWebUpdate.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>

class TAutostart;
class TCallHistoryModel;
class TDesktopOperations;
class TJabberClient;
class TPasswordStore;

// What the window uses of the desktop session besides drawing. Each part is
// optional; without it the control that needs it is disabled.
struct TDesktopServices {
    TPasswordStore* Passwords = nullptr; // the secret store: "Zapamatovat heslo"
    QString AutostartFolder;             // "Spouštět po přihlášení" writes its entry here
    QString Program;                     // the executable that entry starts
};

// The main window's logic: start-up, settings, call history, call records
// from the local listener and from messages, the tray and shutdown.
// Everything it shows goes through the desktop operations it is given, so the
// same code runs in the program and, headless, in the tests. All of it runs on
// the GUI thread.
class TForm1 : public QObject {
public:
    // Sets the components up and runs FormCreate. An error in FormCreate ends
    // it at that step and goes to the default error report; the window is
    // still usable. dataFolder holds data.ini and historie.dat; userFolder,
    // the per-user data folder, takes whichever of them cannot be written
    // there on closing (none when empty); a copy left there that is newer
    // than the one in dataFolder is the one read. Once created, the window
    // asks the secret store for a remembered password.
    TForm1(TDesktopOperations& desktop, QString dataFolder, QObject* parent = nullptr,
           QString userFolder = QString(), TDesktopServices services = {});
    ~TForm1() override;
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    void FormCreate();

    // Closing. Both ways save the settings and the history each on its own
    // (SaveOnClose) and stop the listener, so that the program may end.
    //
    // The window is closed: the user is told in a message box of a file that
    // went to the per-user folder. When a file could not be saved anywhere the
    // user is asked whether to end anyway; No throws TCloseCancelled and the
    // window stays open with the listener running again.
    void FormClose();
    // The system asks the program to end (SIGTERM, SIGINT), possibly while a
    // dialog is open: the messages go to standard error and the process ends,
    // with exit status 1 when a file could not be saved anywhere.
    void FormTerminate();

    struct TSaveOnClose {
        TSaveResult Settings; // data.ini
        TSaveResult History;  // historie.dat
        bool Lost() const { return !Settings.Saved() || !History.Saved(); }
        // What the user is told, one text a file that did not land where it belongs.
        QStringList Messages() const;
    };
    // Writes the window geometry, the listener port and the user's address to
    // data.ini and history_list to historie.dat, each into the data folder or,
    // when that fails, into the per-user folder; a failure of one never skips
    // the other. Then stops the listener. Shows nothing.
    TSaveOnClose SaveOnClose();

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
    // Stops Timer1, enables the password box (keeping the password) and shows why the
    // login was not attempted (certificate, missing TLS, no usable mechanism).
    void JabberClient1SecurityError(TJabberClient* Sender, const QString& Reason);
    // Hands the keys "sifrovani", "otisk" and "ca" to the client.
    void SetUpEncryption();
    // Whether the stanza's sender has the exchange's bare address (data.ini
    // "ustredna", compared without regard to case). True for every stanza when
    // no address is configured; false for text that is not a stanza.
    bool IsFromExchange(const QString& XMLMessage) const;
    // The XMPP client, owned by the window: server and port from the
    // deployment, resource "velora" until the first login click.
    TJabberClient* const JabberClient1;

    // Keeping the session alive. From a login click with address and password
    // until a refused login, a "conflict" (the account logged in elsewhere) or
    // a click that drops the session, a lost connection or a failed attempt is
    // followed by another login after the policy's backoff; the status panel
    // counts the wait down. A login click while waiting tries at once.
    TReconnectPolicy Reconnect;
    bool ReconnectPending() const { return FReconnectTimer.isActive(); }
    // The machine woke from suspend or the network came back: a waiting login
    // happens now, and a session that stood is checked with a ping.
    void SessionWake();

    void Npovda1Click();
    void Verze1Click();
    void Timer1Timer();

    // Handles one call record "kdo:kam:kod:typ:nazev:odkaz". Only event code
    // "1" is handled: four history entries under a key of the call's own (its
    // time stamp, or with " #2", " #3", … when a call of the same second is in
    // the history already), the last-call fields, the "Nova karta" link for
    // types "2" and "3", and a balloon.
    void nacti(const QString& record);
    // The record is the text of the message root's first child: an element
    // with no content or exactly one text or CDATA node, or a text node.
    // Throws std::runtime_error for anything else, a parse error included;
    // nothing is handled then. With an exchange address configured, messages
    // from any other sender are ignored first (IsFromExchange).
    void JabberClient1Message(QObject* Sender, const QString& XMLMessage);

    // Open last_odkaz and bring the window forward (a hidden window stays hidden).
    void TrayIcon1Click();
    void TrayIcon1BalloonClick();
    // Hides a shown window and shows a hidden one.
    void TrayIcon1DblClick();
    void Novakarta1Click();

    // "Historie hovorů": shows the history window over history_list.
    void Historiehovor1Click();
    // A call opened in the history window: its link goes to the web view (as a tray click's
    // does) and the main window comes forward, shown if it was hidden.
    void HistoryOpen(int row);

    // The history time stamp's clock; tests set it.
    std::function<QDateTime()> Now = [] {
        return QDateTime::currentDateTime();
    };

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

    // The local line listener; started in FormCreate, stopped in FormClose.
    LineListener IdTCPServer1;

    // State kept for the whole run.
    CallHistory history_list;
    TTextEncoding history_encoding = TTextEncoding::Locale;
    int listen_port = 1024;
    QString running_version;
    bool first_tick = false;

    // Self-update. The first tick runs wuWebUpdate1's check; after it has read
    // the product's information page, wuWebUpdate1AfterGetInfo offers a newer
    // version and, on Yes, aktualizace downloads it, writes and starts the
    // update script and ends the program. An error in writing the script or in
    // the download passes on to the tick; the program keeps running.
    //
    // Asks "Mate nainstalovanou verzi …" when the page offers a version newer
    // than running_version, and runs aktualizace on Yes.
    void wuWebUpdate1AfterGetInfo(TwuWebUpdate* Sender);
    // Once an update could not be installed in this run (no public key, a
    // program folder that cannot be written), no update is offered again.
    bool update_refused = false;
    // Keeps the component's own dialog shut.
    void wuWebUpdate1BeforeShowInfo(TwuWebUpdate* Sender, bool& ShowInfo, bool& CheckForUpdate);
    // Downloads the new executable, checks the publisher's signature, puts it
    // into the working directory as "velora_new" beside the script
    // "update.sh", closes the window, starts the script and ends the
    // process. An unsigned file is deleted and "Aktualizace nemá platný
    // podpis, nebyla nainstalována." shown; a program folder that cannot be
    // written is reported before the download. When closing or starting
    // fails it shows "Nepodarilo se spustit aktualizaci" and returns. IdHTTP1
    // is released when it leaves, whichever way.
    void aktualizace();
    // ProgressBar1 follows IdHTTP1's download.
    void IdHTTP1WorkBegin(TIdHTTP* ASender, TWorkMode AWorkMode, std::int64_t AWorkCountMax);
    void IdHTTP1Work(TIdHTTP* ASender, TWorkMode AWorkMode, std::int64_t AWorkCount);
    void IdHTTP1WorkEnd(TIdHTTP* ASender, TWorkMode AWorkMode);
    // Desktop integration: the tray menu, the close button with a system tray,
    // the remembered password, autostart and the built-in help.
    //
    // The user closes the window: with a system tray it hides there and the
    // program goes on (the first time in a run a notice says so); without one
    // it closes as designed.
    void FormCloseQuery(bool& CanClose);
    // Tray menu "Zobrazit", and a later start of the program: the window is
    // shown, restored and brought to the front.
    void Zobrazit1Click();
    // The tray menu is about to open: its login entry reads "Odhlásit" while
    // the login button does, else "Přihlásit se".
    void TrayIcon1Popup();
    // Does what the login button does; with an empty password box it shows
    // the window instead, so the password can be typed.
    void Prihlasit1Click();
    // Tray menu "Konec": closes the window with the designed close steps.
    void Konec1Click();
    // "Zapamatovat heslo": ticked, the password is stored once a login with it
    // succeeds (at once when online); unticked, the stored one is removed.
    void CheckBox1Click();
    // "Spouštět po přihlášení": writes or removes the autostart entry.
    void Spoustet1Click();
    // The help page could not be loaded: the built-in help shows instead.
    void WebBrowser1LoadFailed(const QString& url);
    // After the first tick's update check: with a remembered password the
    // window logs in by itself.
    void UpdateCheckDone();

    // Its information page is set from the deployment just before the check.
    std::unique_ptr<TwuDesktop> FUpdateDesktop; // what wuWebUpdate1 asks of the desktop
    std::unique_ptr<TwuWebUpdate> wuWebUpdate1;
    // Null once the self-update has used it.
    std::unique_ptr<TIdHTTP> IdHTTP1;

private:
    // Only http and https links reach the web view; anything else, and the
    // empty link, shows a blank page.
    void NavigateToLink(const QString& link);

    TDesktopOperations& FDesktop;
    // Made when the history window is first shown; told of every change of history_list.
    std::unique_ptr<TCallHistoryModel> FHistoryModel;
    QString FDataFolder;
    QString FUserFolder;
    TDeployment FDeployment;
    TDesktopServices FServices;
    std::unique_ptr<TAutostart> FAutostart; // null without an autostart folder
    QString FStoredPassword;                // what the secret store holds for jabber_jmeno
    bool FStoredPasswordRead = false;
    bool FUpdateCheckDone = false;
    bool FAutoLoginDone = false;
    bool FHiddenToTray = false; // the close button hid the window
    bool FToldAboutTray = false;

    // Wires JabberClient1's events.
    void SetUpSession();
    void ScheduleReconnect();
    void ReconnectTick();
    void ReconnectNow();
    QTimer FReconnectTimer;
    QDeadlineTimer FReconnectAt;
    bool FStayOnline = false;
    bool FLoggingOut = false;
    // Tells the window when the machine resumes or the network returns.
    // The first tick's update check.
    void RunUpdateCheck();
    // Creates wuWebUpdate1 and IdHTTP1 and wires their events.
    void SetUpUpdate();
    // Wires the tray menu, the close query, the web view's failures, the
    // remembered password and autostart; runs after FormCreate.
    void SetUpDesktop();
    void ReadStoredPassword();
    void LogInWithStoredPassword();
    // Stores the password of the session that is online, when asked to.
    void RememberPassword();
    // A refused login ends the session for good: no retry, the controls offline.
    void StopSession();
    // Restores, raises and activates the window.
    void BringWindowForward();
};
