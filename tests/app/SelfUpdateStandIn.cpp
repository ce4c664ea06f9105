// The installed "old" program of the self-update end-to-end tests: the real
// window logic on the real Qt desktop. Its user answers Yes to the update
// prompt in the first run and No in every later one (a program put back by
// the update script runs again). What the user is asked and told goes, one
// line each, to the file named by VELORA_STANDIN_LOG:
//   start <pid>        at start, before anything else
//   confirm <text>     an update prompt
//   message <text>     a message box; then the update check runs once more
//   files <names>      what the working directory holds while the box is open
//   checked again      after that second check
// Any error that reaches the event loop ends it with code 2.
#include "Application.h"
#include "DataFolder.h"
#include "MainWindow.h"
#include "QtDesktop.h"
#include "Unit1.h"

#include <QDir>
#include <QFile>
#include <QTimer>
#include <cstdio>
#include <functional>
#include <utility>

namespace {

QString LogPath() {
    return QFile::decodeName(qgetenv("VELORA_STANDIN_LOG"));
}

void Log(const QByteArray& line) {
    QFile file(LogPath());
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write(line + '\n');
}

bool FirstRun() {
    QFile file(LogPath());
    return !file.open(QIODevice::ReadOnly) || !file.readAll().contains("start ");
}

class TScriptedUserDesktop : public TQtDesktop {
public:
    explicit TScriptedUserDesktop(bool yes) : FYes(yes) {}

    // Called once, on the first message box.
    std::function<void()> OnFirstMessage;

    bool Confirm(const QString& text) override {
        Log("confirm " + text.toUtf8());
        return FYes;
    }
    void MessageBox(const QString& text) override {
        Log("message " + text.toUtf8());
        const QStringList files =
            QDir().entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
        Log("files " + files.join(u' ').toUtf8());
        if (OnFirstMessage)
            std::exchange(OnFirstMessage, nullptr)();
    }

private:
    bool FYes;
};

} // namespace

int main(int argc, char** argv) {
    const bool firstRun = FirstRun();
    Log("start " + QByteArray::number(QCoreApplication::applicationPid()));
    TApplication::PrepareWebView();
    TApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    app.OnException = [](const QString& text) {
        std::fprintf(stderr, "%s\n", qPrintable(text));
        QCoreApplication::exit(2);
    };
    TScriptedUserDesktop desktop(firstRun);
    TForm1 form(desktop, DataFolder());
    // The test's own publisher key stands in for the one a release build carries.
    form.wuWebUpdate1->SetPublicKey(qgetenv("VELORA_TEST_PUBLIC_KEY"));
    // A later check in the same run, once the first one has ended.
    desktop.OnFirstMessage = [&form] {
        QTimer::singleShot(0, [&form] {
            form.wuWebUpdate1->CheckForAnUpdate();
            Log("checked again");
        });
    };
    desktop.Window().OnClosed = [] {
        QCoreApplication::quit();
    };
    desktop.Show();
    return app.exec();
}
