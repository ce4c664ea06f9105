// The installed "old" program of the self-update end-to-end test: the real
// window logic on the real Qt desktop, whose user answers Yes to the update
// prompt. Any error that reaches the event loop ends it with code 2.
#include "Application.h"
#include "DataFolder.h"
#include "MainWindow.h"
#include "QtDesktop.h"
#include "Unit1.h"

#include <cstdio>

namespace {

class TYesDesktop : public TQtDesktop {
public:
    bool Confirm(const QString&) override { return true; }
};

} // namespace

int main(int argc, char** argv) {
    TApplication::PrepareWebView();
    TApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    app.OnException = [](const QString& text) {
        std::fprintf(stderr, "%s\n", qPrintable(text));
        QCoreApplication::exit(2);
    };
    TYesDesktop desktop;
    TForm1 form(desktop, DataFolder());
    // The test's own publisher key stands in for the one a release build carries.
    form.wuWebUpdate1->SetPublicKey(qgetenv("VELORA_TEST_PUBLIC_KEY"));
    desktop.Window().OnClosed = [] {
        QCoreApplication::quit();
    };
    desktop.Show();
    return app.exec();
}
