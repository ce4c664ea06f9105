// Desktop integration of the main window: the tray menu, the close button
// with a system tray, the remembered password, autostart and the built-in
// help.
#include "Autostart.h"
#include "BuiltInHelp.h"
#include "DesktopOperations.h"
#include "Jabber.h"
#include "PasswordStore.h"
#include "Unit1.h"

#include <QPointer>
#include <exception>

namespace {

const QString kLogout = QStringLiteral("Odhlásit");

// A Czech message, the system's reason after a colon when there is one.
QString WithReason(const QString& text, const QString& reason) {
    return reason.isEmpty() ? text + u'.' : text + QStringLiteral(": ") + reason;
}

QString StoreUnavailable(const QString& reason) {
    return WithReason(QStringLiteral("Heslo nelze zapamatovat, úložiště hesel systému "
                                     "(Secret Service) není dostupné"),
                      reason);
}

} // namespace

void TForm1::SetUpDesktop() {
    FDesktop.OnCloseQuery = [this](bool& CanClose) {
        FormCloseQuery(CanClose);
    };
    FDesktop.OnTrayMenu = [this] {
        TrayIcon1Popup();
    };
    FDesktop.OnLoadFailed = [this](const QString& url) {
        WebBrowser1LoadFailed(url);
    };
    // A session that came online proves its password: that one is remembered.
    JabberClient1->OnJabberOnline =
        [this, online = JabberClient1->OnJabberOnline](TJabberClient* Sender) {
            if (online)
                online(Sender);
            RememberPassword();
        };

    if (!FServices.AutostartFolder.isEmpty())
        FAutostart = std::make_unique<TAutostart>(FServices.AutostartFolder, FServices.Program);
    FDesktop.SetEnabled(TControl::Spoustet1, FAutostart != nullptr);
    FDesktop.SetChecked(TControl::Spoustet1, FAutostart && FAutostart->Enabled());

    FDesktop.SetChecked(TControl::CheckBox1, false);
    ReadStoredPassword();
}

void TForm1::ReadStoredPassword() {
    if (!FServices.Passwords) {
        FDesktop.SetEnabled(TControl::CheckBox1, false);
        FDesktop.SetHint(TControl::CheckBox1, StoreUnavailable(QString()));
        return;
    }
    // The window may be gone before the store answers.
    QPointer<TForm1> self(this);
    FServices.Passwords->Read(jabber_jmeno, [self](const TPasswordStore::TResult& result) {
        if (!self)
            return;
        self->FStoredPasswordRead = true;
        switch (result.Status) {
        case TPasswordStore::TStatus::Done:
            self->FStoredPassword = result.Password;
            self->FDesktop.SetCaption(TControl::Edit1, result.Password);
            self->FDesktop.SetChecked(TControl::CheckBox1, true);
            self->LogInWithStoredPassword();
            break;
        case TPasswordStore::TStatus::NotFound:
            break;
        case TPasswordStore::TStatus::Unavailable:
        case TPasswordStore::TStatus::Failed:
            self->FDesktop.SetEnabled(TControl::CheckBox1, false);
            self->FDesktop.SetHint(TControl::CheckBox1, StoreUnavailable(result.Error));
            break;
        }
    });
}

void TForm1::UpdateCheckDone() {
    FUpdateCheckDone = true;
    LogInWithStoredPassword();
}

void TForm1::LogInWithStoredPassword() {
    if (!FUpdateCheckDone || !FStoredPasswordRead || FStoredPassword.isEmpty() || FAutoLoginDone)
        return;
    FAutoLoginDone = true;
    // The user may have logged in by hand meanwhile.
    if (JabberClient1->Connected() || FDesktop.Caption(TControl::Edit1).isEmpty())
        return;
    Button1Click();
}

void TForm1::RememberPassword() {
    if (!FServices.Passwords || !FDesktop.Checked(TControl::CheckBox1))
        return;
    const QString account = JabberClient1->JID();
    const QString password = JabberClient1->Password();
    if (password.isEmpty() || (account == jabber_jmeno && password == FStoredPassword))
        return;
    QPointer<TForm1> self(this);
    FServices.Passwords->Write(
        account, password, [self, account, password](const TPasswordStore::TResult& result) {
            if (!self)
                return;
            if (result.Status == TPasswordStore::TStatus::Done) {
                if (account == self->jabber_jmeno)
                    self->FStoredPassword = password;
                return;
            }
            self->FDesktop.SetChecked(TControl::CheckBox1, false);
            self->FDesktop.MessageBox(WithReason(
                QStringLiteral("Heslo se nepodařilo uložit do úložiště hesel"), result.Error));
        });
}

void TForm1::CheckBox1Click() {
    if (!FServices.Passwords)
        return;
    if (FDesktop.Checked(TControl::CheckBox1)) {
        if (JabberClient1->JabberOnline())
            RememberPassword();
        return;
    }
    FStoredPassword.clear();
    QPointer<TForm1> self(this);
    FServices.Passwords->Remove(jabber_jmeno, [self](const TPasswordStore::TResult& result) {
        if (!self || result.Status == TPasswordStore::TStatus::Done)
            return;
        self->FDesktop.MessageBox(
            WithReason(QStringLiteral("Uložené heslo se nepodařilo odstranit"), result.Error));
    });
}

void TForm1::FormCloseQuery(bool& CanClose) {
    if (!FDesktop.HasSystemTray())
        return;
    CanClose = false;
    FHiddenToTray = true;
    FDesktop.SetVisible(false);
    if (!FToldAboutTray) {
        FToldAboutTray = true;
        FDesktop.ShowNotice(QStringLiteral("Velora běží dál v oznamovací oblasti."));
    }
}

void TForm1::Zobrazit1Click() {
    FHiddenToTray = false;
    FDesktop.SetVisible(true);
    BringWindowForward();
}

void TForm1::TrayIcon1Popup() {
    FDesktop.SetCaption(TControl::Prihlasit1, FDesktop.Caption(TControl::Button1) == kLogout
                                                  ? kLogout
                                                  : QStringLiteral("Přihlásit se"));
}

void TForm1::Prihlasit1Click() {
    if (FDesktop.Caption(TControl::Button1) != kLogout &&
        FDesktop.Caption(TControl::Edit1).isEmpty()) {
        Zobrazit1Click();
        return;
    }
    Button1Click();
}

void TForm1::Konec1Click() {
    FDesktop.CloseWindow();
}

void TForm1::Spoustet1Click() {
    if (!FAutostart)
        return;
    const bool wanted = FDesktop.Checked(TControl::Spoustet1);
    try {
        FAutostart->SetEnabled(wanted);
    } catch (const std::exception& e) {
        FDesktop.SetChecked(TControl::Spoustet1, FAutostart->Enabled());
        FDesktop.MessageBox(QString::fromUtf8(e.what()));
    }
}

void TForm1::WebBrowser1LoadFailed(const QString& url) {
    if (url == FDeployment.HelpPage())
        FDesktop.ShowHtml(BuiltInHelpPage(FDataFolder));
}
