#include "Application.h"
#include "Autostart.h"
#include "DataFolder.h"
#include "KeychainPasswordStore.h"
#include "MainWindow.h"
#include "QtDesktop.h"
#include "SessionWakeUps.h"
#include "SignalCloser.h"
#include "SingleInstance.h"
#include "Translations.h"
#include "Unit1.h"
#include "VersionInfo.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    // The update script asks the new program this before it keeps it.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("velora %s\n", qPrintable(FileVersionText()));
        return 0;
    }
    TApplication::PrepareWebView();
    TApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("velora"));
    QApplication::setApplicationDisplayName(QStringLiteral("Velora"));
    // The tray icon or the balloon popup must not keep the program alive, nor
    // may closing a dialog end it: the program ends when the main window closes.
    QApplication::setQuitOnLastWindowClosed(false);

    // A second start only brings the running program's window forward; it
    // touches no file of the running one.
    TSingleInstance instance(TSingleInstance::RuntimeFolder());
    if (!instance.TryLock()) {
        instance.HandOver(5000);
        return 0;
    }
    // Listening before the window is made: a later start during the first
    // start's telephone prompt still gets its answer.
    instance.Listen();
    InstallCzechTranslations(app);

    TSignalCloser closer;
    TQtDesktop desktop;
    app.OnException = [&desktop](const QString& text) {
        desktop.ReportError(text);
    };
    // The window's logic takes the signal as soon as it exists, even inside the first-start
    // prompt; before that and after it there is nothing to save.
    closer.OnSignal = [&desktop] {
        if (desktop.OnTerminate)
            desktop.OnTerminate();
        else
            desktop.EndProcess(0);
    };
    TKeychainPasswordStore passwords;
    TForm1 form(desktop, DataFolder(), nullptr, UserDataFolder(),
                {&passwords, TAutostart::DefaultFolder(), QCoreApplication::applicationFilePath()});
    // Made here, not by the window: the system bus and the network service start
    // threads of their own that only the running program needs.
    TSessionWakeUps wakeUps(QDBusConnection::systemBus(), [&form] { form.SessionWake(); });
    instance.OnActivate = [&form] {
        form.Zobrazit1Click();
    };
    desktop.Window().OnClosed = [] {
        QCoreApplication::quit();
    };
    desktop.Show();
    return app.exec();
}
