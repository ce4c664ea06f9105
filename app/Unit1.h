#pragma once

#include "CallHistory.h"
#include "Deployment.h"
#include "LineListener.h"
#include "TextFile.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <functional>

class TDesktopOperations;

// The main window's logic: start-up, settings, call history, call records
// from the local listener and from messages, the tray and shutdown.
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

    void Npovda1Click();
    void Verze1Click();
    void Timer1Timer();

    // Handles one call record "kdo:kam:kod:typ:nazev:odkaz". Only event code
    // "1" is handled: four history entries under one time stamp, the last-call
    // fields, the "Nova karta" link for types "2" and "3", and a balloon.
    void nacti(const QString& record);
    // The record is the text of the message root's first child: an element
    // with no content or exactly one text or CDATA node, or a text node.
    // Throws std::runtime_error for anything else, a parse error included;
    // nothing is handled then.
    void JabberClient1Message(QObject* Sender, const QString& XMLMessage);

    // Open last_odkaz and bring the window forward (a hidden window stays hidden).
    void TrayIcon1Click();
    void TrayIcon1BalloonClick();
    // Hides a shown window and shows a hidden one.
    void TrayIcon1DblClick();
    void Novakarta1Click();

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

private:
    // Only http and https links reach the web view; anything else, and the
    // empty link, shows a blank page.
    void NavigateToLink(const QString& link);

    TDesktopOperations& FDesktop;
    QString FDataFolder;
    TDeployment FDeployment;
};
