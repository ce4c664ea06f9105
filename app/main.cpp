#include "Application.h"
#include "DataFolder.h"
#include "MainWindow.h"
#include "QtDesktop.h"
#include "SignalCloser.h"
#include "Unit1.h"

int main(int argc, char** argv) {
    TApplication::PrepareWebView();
    TApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("velora"));
    QApplication::setApplicationDisplayName(QStringLiteral("Velora"));
    // The tray icon or the balloon popup must not keep the program alive, nor
    // may closing a dialog end it: the program ends when the main window closes.
    QApplication::setQuitOnLastWindowClosed(false);

    TSignalCloser closer;
    TQtDesktop desktop;
    app.OnException = [&desktop](const QString& text) {
        desktop.ReportError(text);
    };
    TForm1 form(desktop, DataFolder());
    closer.OnSignal = [&desktop] {
        desktop.CloseWindow();
    };
    desktop.Window().OnClosed = [] {
        QCoreApplication::quit();
    };
    desktop.Show();
    return app.exec();
}
