#pragma once

#include "Deployment.h"
#include "TextFile.h"

#include <QObject>
#include <QString>
#include <QStringList>

class TDesktopOperations;

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
};
